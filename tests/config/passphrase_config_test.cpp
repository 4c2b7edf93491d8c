#include <gtest/gtest.h>

#include "config/passphrase_config.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

const std::string kHeading = "\nTandrel Version 1.0.0\nInformation found in config file: \"";

std::string entry(const std::string& name, const std::string& passphrase) {
    return "\n Project: \"" + name + "\"; Passphrase: \"" + passphrase + "\"";
}

class PassphraseFile : public ::testing::Test {
protected:
    // Writes the passphrase file, points the setting at it, and lists it.
    std::string listing(const std::string& content) {
        writeBytes(path(), content);
        setConfigFileSetting(path());
        PassphraseConfig config(kSettingsKeyPath);
        return capturedOutput([&] { EXPECT_TRUE(config.listConfig()); });
    }
    std::optional<std::string> lookup(const std::string& content, const char* project) {
        writeBytes(path(), content);
        setConfigFileSetting(path());
        PassphraseConfig config(kSettingsKeyPath);
        char passphrase[kLookupBufferSize];
        if (!config.lookupPassphrase(project, passphrase, sizeof passphrase)) return std::nullopt;
        return std::string(passphrase);
    }
    std::string path() const { return dir_.file("passphrases.txt"); }

    TempDir dir_;
};

TEST_F(PassphraseFile, ListingFollowsTheLineRules) {
    const std::string longPassphrase(300, 'k');
    const struct {
        const char* label;
        std::string content;
        std::string entries;
    } cases[] = {
        {"LF line ends", "\"a\" \"1\"\n\"b\" \"2\"\n", entry("a", "1") + entry("b", "2")},
        {"CR line ends", "\"a\" \"1\"\r\"b\" \"2\"\r", entry("a", "1") + entry("b", "2")},
        {"CR LF line ends", "\"a\" \"1\"\r\n\"b\" \"2\"\r\n", entry("a", "1") + entry("b", "2")},
        {"no final line end", "\"a\" \"1\"\n\"b\" \"2\"", entry("a", "1") + entry("b", "2")},
        {"comment line", "; \"x\" \"y\" \"z\" \"w\"\n\"a\" \"1\"\n", entry("a", "1")},
        {"comment after an entry", "\"a\" \"1\" ; \"x\" \"y\"\n", entry("a", "1")},
        {"three quotes", "\"a\" \"1\n\"b\" \"2\"\n", entry("b", "2")},
        {"four quotes, text around", "name: \"a\"=\"1\" trailing\n", entry("a", "1")},
        {"no separator", "\"a\"\"1\"", entry("a", "1")},
        {"tab separator", "\"a\"\t\"1\"", entry("a", "1")},
        {"six quotes", "\"v1\" \"v2\" \"v3\"\n",
         entry("v1", "v2") + entry(" ", " ") + entry("v2", "v3")},
        {"five quotes", "\"a\" \"b\" \"\n", entry("a", "b") + entry(" ", " ")},
        {"semicolon inside a value", "\"a;b\" \"1\"\n\"c\" \"2\"\n", entry("c", "2")},
        {"semicolon inside the passphrase", "\"a\" \"1;2\"\n", ""},
        {"empty passphrase", "\"a\" \"\"\n", entry("a", "")},
        {"empty name", "\"\" \"1\"\n", entry("", "1")},
        {"blanks kept", "\" a b \" \" p q \"\n", entry(" a b ", " p q ")},
        {"eight-bit bytes kept", "\"caf\xe9\" \"\xff\x80\"\n", entry("caf\xe9", "\xff\x80")},
        {"no entries", "just text\n; and a comment", ""},
        {"long passphrase cut to 255 bytes", "\"a\" \"" + longPassphrase + "\"\n",
         entry("a", longPassphrase.substr(0, 255))},
        {"last byte is the fourth quote", "\"a\" \"1\"", entry("a", "1")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(listing(c.content), kHeading + path() + "\"" + c.entries) << c.label;
    }
}

TEST_F(PassphraseFile, LookupIgnoresAsciiCaseAndTakesTheFirstMatch) {
    const std::string content = "\"Web\" \"first\"\r\n\"web\" \"second\"\r\n\"\xc9t\xe9\" \"accented\"\n";
    const struct {
        const char* project;
        std::optional<std::string> passphrase;
    } cases[] = {
        {"Web", "first"},
        {"WEB", "first"},
        {"wEb", "first"},
        {"\xc9t\xe9", "accented"},
        {"\xe9t\xe9", std::nullopt},  // only ASCII letters fold
        {"We", std::nullopt},
        {"Webs", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(lookup(content, c.project), c.passphrase) << c.project;
    EXPECT_EQ(lookup("\"a\" \"1\"\r\n\"Second\" \"2\"\r\n", "sECOND"), "2");
}

TEST_F(PassphraseFile, LookupReadsNamesAndPassphrasesOf1023BytesWhole) {
    const std::string name(1023, 'n');
    const std::string passphrase(1023, 'p');
    EXPECT_EQ(lookup("\"" + name + "\" \"" + passphrase + "\"\n", name.c_str()), passphrase);
}

struct ConfigurationCase {
    const char* label;
    bool setting;          // whether the setting exists
    bool fileExists;
    std::string content;   // of the passphrase file
    std::string printed;   // by construction and listing together
};

TEST_F(PassphraseFile, InvalidConfigurationsListNothing) {
    const std::string notValid = "\nThe config file is not valid, or could not be found.";
    const ConfigurationCase cases[] = {
        {"no setting", false, false, "", notValid},
        {"setting names a missing file", true, false, "", platform::kOpenFailedMessage + notValid},
        {"empty passphrase file", true, true, "", platform::kMappingFailedMessage + notValid},
    };
    for (const auto& c : cases) {
        fs::remove(path());
        if (c.fileExists) writeBytes(path(), c.content);
        if (c.setting) {
            setConfigFileSetting(path());
        } else {
            clearConfigFileSetting();
        }
        const auto output = capturedOutput([&] {
            PassphraseConfig config(kSettingsKeyPath);
            EXPECT_FALSE(config.valid()) << c.label;
            EXPECT_FALSE(config.listConfig()) << c.label;
            char passphrase[kLookupBufferSize];
            EXPECT_FALSE(config.lookupPassphrase("any", passphrase, sizeof passphrase)) << c.label;
        });
        EXPECT_EQ(output, c.printed) << c.label;
    }
}

}  // namespace
}  // namespace tandrel::test
