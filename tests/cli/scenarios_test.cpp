// Every case file, each with the number of cases it must hold, so that a
// file that cannot be read fails rather than passes with nothing run; and a
// few runs of the built program itself.
#include <gtest/gtest.h>

#include <utility>

#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

// A case file and the number of cases it holds.
class Scenarios : public ::testing::TestWithParam<std::pair<const char*, std::size_t>> {};

TEST_P(Scenarios, EveryCaseHolds) {
    const auto scenarios = readScenarios(GetParam().first);
    ASSERT_EQ(scenarios.size(), GetParam().second);
    for (const Scenario& scenario : scenarios) runScenario(scenario);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios,
                         ::testing::Values(std::pair("command_line.cases", 20), std::pair("operations.cases", 118),
                                           std::pair("hostile.cases", 88), std::pair("outputs.cases", 69),
                                           std::pair("killed_runs.cases", 8),
                                           std::pair("mapped_files.cases", 44)),
                         [](const auto& info) {
                             std::string name = info.param.first;
                             return name.substr(0, name.find('.'));
                         });

// The built program, as a user starts it: what it prints on standard error
// arrives with its standard output, so an exact comparison shows that
// standard error stays empty.
TEST(BuiltProgram, RoundTripsAndShowsTheBanner) {
    TempDir dir;
    writeBytes(dir.path() / "passphrases.txt", "\"Web\" \"correct horse\"\n");
    setConfigFileSetting(dir.file("passphrases.txt"));
    writeBytes(dir.path() / "in.txt", "a short text");
    fs::create_directory(dir.path() / "out");
    // Its status and everything it printed.
    const auto tool = [](std::vector<std::string> args, const fs::path& folder) {
        args.insert(args.begin(), TANDREL_EXE);
        const auto result = testing::runProcess(args, folder.string());
        return std::pair(result.status, result.output);
    };
    EXPECT_EQ(tool({"-encrypt", "in.tdl", "in.txt", "Web"}, dir.path()), std::pair(0, std::string()));
    EXPECT_EQ(tool({"-decrypt", "../in.tdl"}, dir.path() / "out"), std::pair(0, std::string()));
    EXPECT_EQ(tool({"-help"}, dir.path()),
              std::pair(1, testing::printedForm(
                               "\n-------------------------------------------------------------------------------"
                               "\n Tandrel Version 1.0.0\n Published by Pellmark Software"
                               "\n-------------------------------------------------------------------------------"
                               "\n\nusage:\n\n to encrypt: Tandrel -encrypt outfile infile projectname\n"
                               "\n to decrypt: Tandrel -decrypt infile\n\n to verify contents of config file: "
                               "Tandrel -config\n")));
    EXPECT_EQ(readBytes(dir.path() / "out" / "in.txt"), "a short text");
}

}  // namespace
}  // namespace tandrel::test
