// Every case of every case file is a test of its own, named after its file
// and its label (outputs.AFileTheUserMayNotWriteIsRefused), and so is each
// run of an `each` case (its value ends the name), so that one case can be
// run alone and is reported by name; each file must hold the number
// of cases given here, so that one that cannot be read fails rather than
// passes with nothing run.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <utility>

#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

constexpr std::pair<const char*, std::size_t> kCaseFiles[] = {
    {"command_line.cases", 21}, {"operations.cases", 35}, {"hostile.cases", 88},
    {"outputs.cases", 59},      {"killed_runs.cases", 9},  {"mapped_files.cases", 46},
};

TEST(CaseFiles, HoldTheirCases) {
    for (const auto& [file, count] : kCaseFiles) EXPECT_EQ(readScenarios(file).size(), count) << file;
}

// A label as a test name: its words, each begun with a capital, letters and
// digits only, then the value of a run of an `each` case; a name taken
// already gets a number.
std::string testName(const std::string& label, std::set<std::string>& taken, const std::string& value) {
    std::string name;
    bool wordStart = true;
    for (const char c : label + (value.empty() ? "" : " _" + value)) {
        const bool kept = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
        if (kept) name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        wordStart = !kept;
    }
    const std::string base = name;
    for (int number = 2; !taken.insert(name).second; ++number) name = base + std::to_string(number);
    return name;
}

class CaseTest : public ::testing::Test {
public:
    explicit CaseTest(Scenario scenario) : scenario_(std::move(scenario)) {}
    void TestBody() override { runScenario(scenario_); }

private:
    Scenario scenario_;
};

const bool registered = [] {
    for (const auto& [file, count] : kCaseFiles) {
        const std::string suite = std::string(file).substr(0, std::string(file).find('.'));
        std::set<std::string> taken;
        for (const Scenario& scenario : readScenarios(file)) {
            for (Scenario& run : eachRun(scenario)) {
                const std::string path = std::string(TANDREL_TEST_DATA_DIR) + "/" + file;
                const std::string name = testName(run.label, taken, run.value);
                ::testing::RegisterTest(suite.c_str(), name.c_str(), nullptr, nullptr, path.c_str(), run.line,
                                        [run]() -> ::testing::Test* { return new CaseTest(run); });
            }
        }
    }
    return true;
}();

}  // namespace
}  // namespace tandrel::test
