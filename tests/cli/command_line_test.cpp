// The command line as a user or a script meets it: the built executable,
// run in a scratch folder, judged by its exact output and exit status.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

const std::string kRule = "\n" + std::string(79, '-');
const std::string kBanner = kRule + "\n Tandrel Version 1.0.0" + "\n Published by Pellmark Software" + kRule +
                            "\n\nusage:\n"
                            "\n to encrypt: Tandrel -encrypt outfile infile projectname\n"
                            "\n to decrypt: Tandrel -decrypt infile\n"
                            "\n to verify contents of config file: Tandrel -config\n";
const std::string kNotValid = "\nThe config file is not valid, or could not be found.";

class CommandLine : public ::testing::Test {
protected:
    std::string passphraseFile() const { return dir_.file("passphrases.txt"); }
    std::string listingOf(const std::string& entries) const {
        return "\nTandrel Version 1.0.0\nInformation found in config file: \"" + passphraseFile() + "\"" +
               entries;
    }
    TempDir dir_;
};

TEST_F(CommandLine, UsageBannerWithoutTouchingTheConfiguration) {
    // The setting names a missing file: reading it would print a message.
    setConfigFileSetting(passphraseFile());
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"-encrypt", "a", "b"},
        {"-encrypt", "a", "b", "c", "d"},
        {"-decrypt"},
        {"-decrypt", "a", "b"},
        {"-CONFIG"},
        {"config"},
        {"--help"},
        {""},
    };
    for (const auto& args : usages) {
        const auto run = runTool(args, dir_.path());
        EXPECT_EQ(run.output, kBanner) << ::testing::PrintToString(args);
        EXPECT_EQ(run.status, 1) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{});
}

TEST_F(CommandLine, ListingModeIsFoundAnywhereInTheFirstArgument) {
    writeBytes(passphraseFile(), "\"Web\" \"secret\"\n");
    setConfigFileSetting(passphraseFile());
    const std::vector<std::vector<std::string>> listings = {
        {"-config"},
        {"-config", "extra", "words"},
        {"x-configx"},
        {"-encrypt-config", "a"},           // -encrypt needs five arguments
        {"-decrypt-config", "a", "b", "c"}, // -decrypt needs three
    };
    for (const auto& args : listings) {
        const auto run = runTool(args, dir_.path());
        EXPECT_EQ(run.output, listingOf("\n Project: \"Web\"; Passphrase: \"secret\"")) << args[0];
        EXPECT_EQ(run.status, 0) << args[0];
    }
}

TEST_F(CommandLine, ListingWithoutAValidConfiguration) {
    const struct {
        const char* label;
        bool setting;
        bool fileExists;
        std::string printed;
    } cases[] = {
        {"no setting", false, false, kNotValid},
        {"missing passphrase file", true, false, platform::kOpenFailedMessage + kNotValid},
        {"empty passphrase file", true, true, platform::kMappingFailedMessage + kNotValid},
    };
    for (const auto& c : cases) {
        fs::remove(passphraseFile());
        if (c.fileExists) writeBytes(passphraseFile(), "");
        if (c.setting) {
            setConfigFileSetting(passphraseFile());
        } else {
            clearConfigFileSetting();
        }
        const auto run = runTool({"-config"}, dir_.path());
        EXPECT_EQ(run.output, c.printed) << c.label;
        EXPECT_EQ(run.status, 2) << c.label;
    }
}

TEST_F(CommandLine, ListingShowsEveryEntryOfARealisticFile) {
    writeBytes(passphraseFile(),
               "; Passphrases for the team's projects\r\n"
               "\"Web\" = \"correct horse\"\r\n"
               "\"Payroll\"\t\"s3cr3t;not\"  ; the ; ends the count: no entry\r\n"
               "\"Empty\" \"\"\r\n"
               "\"Last\" \"no line end\"");
    setConfigFileSetting(passphraseFile());
    const auto run = runTool({"-config"}, dir_.path());
    EXPECT_EQ(run.output, listingOf("\n Project: \"Web\"; Passphrase: \"correct horse\""
                                    "\n Project: \"Empty\"; Passphrase: \"\""
                                    "\n Project: \"Last\"; Passphrase: \"no line end\""));
    EXPECT_EQ(run.status, 0);
}

TEST_F(CommandLine, ModesReadTheConfigurationFirst) {
    // A chosen mode builds the configuration before anything else, so the
    // missing passphrase file is reported before the operation's own output.
    setConfigFileSetting(passphraseFile());
    const std::string open = platform::kOpenFailedMessage;
    const struct {
        std::vector<std::string> args;
        std::string printed;
        int status;
    } cases[] = {
        {{"x-decrypt-x", "missing.enc"}, open + open + "\nERROR: Cannot open \"missing.enc\"", 3},
        {{"-encrypt", "out", "missing", "Web"}, open + "\nERROR: Passphrase not found for project \"Web\"", 2},
    };
    for (const auto& c : cases) {
        const auto run = runTool(c.args, dir_.path());
        EXPECT_EQ(run.output, c.printed) << c.args[0];
        EXPECT_EQ(run.status, c.status) << c.args[0];
    }
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tandrel::test
