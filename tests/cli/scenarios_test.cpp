// Every scenario file, each with the number of cases it must hold, so that a
// file that cannot be read fails rather than passes with nothing run.
#include <gtest/gtest.h>

#include "support/scenario.h"

namespace tandrel::test {
namespace {

struct ScenarioFile {
    const char* name;
    std::size_t cases;
};

class Scenarios : public ::testing::TestWithParam<ScenarioFile> {};

TEST_P(Scenarios, EveryCaseHolds) {
    const auto scenarios = readScenarios(GetParam().name);
    ASSERT_EQ(scenarios.size(), GetParam().cases);
    for (const Scenario& scenario : scenarios) runScenario(scenario);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, ::testing::Values(ScenarioFile{"outputs.cases", 31},
                                                           ScenarioFile{"killed_runs.cases", 8}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace
}  // namespace tandrel::test
