// The passphrase file's rules as rows (tests/data/passphrase_file.rows): the
// scanner alone on an exact-size copy of the text, where the sanitizer sees
// any read past its end, and the configuration that finds the file through
// the per-user setting, maps it, lists it and looks projects up in it.
#include <gtest/gtest.h>

#include <algorithm>

#include "config/passphrase_config.h"
#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

// The scanner's entries, printed the way a listing prints them.
std::string scanned(const std::string& text, std::size_t count) {
    const std::vector<std::uint8_t> exact(text.begin(), text.end());
    std::vector<char> name(count), passphrase(count);
    std::string entries;
    PassphraseScanner(exact).walk(name.data(), passphrase.data(), count, [&] {
        entries += "\n Project: \"" + std::string(name.data()) + "\"; Passphrase: \"" + passphrase.data() + "\"";
        return false;
    });
    return entries;
}

TEST(PassphraseFile, Rows) {
    const auto rows = readRows("passphrase_file.rows");
    ASSERT_EQ(rows.size(), 49u);
    TempDir dir;
    const std::string path = dir.file("passphrases.txt");
    std::string heading;
    for (const auto& row : rows) {
        const std::string& verb = row[0];
        if (verb == "heading") heading = row[1].substr(0, row[1].find("{file}")) + path + "\"";
        if (verb == "scan") { EXPECT_EQ(scanned(row[1], std::stoul(row[2])), row[3]) << row[1]; }
        if (verb == "heading" || verb == "scan") continue;
        fs::remove(path);
        if (row[1] != "-") writeBytes(path, row[1]);
        verb == "unset" ? clearConfigFileSetting() : setConfigFileSetting(path);
        std::string found = "-";
        bool listed = false;
        const std::string printed = capturedOutput([&] {
            const PassphraseConfig config(kSettingsKeyPath);
            char passphrase[kLookupBufferSize];
            const std::string project = verb == "lookup" ? row[2] : "a";
            if (config.lookupPassphrase(project.c_str(), passphrase, sizeof passphrase)) found = passphrase;
            listed = config.listConfig();
        });
        // A lookup gives its answer; the rest are judged by what they print.
        const std::string expected = verb == "list" ? heading + row[2] : verb == "lookup" ? row[3] : row[2];
        EXPECT_EQ(verb == "lookup" ? found : printed, expected) << row[1];
        EXPECT_EQ(listed, verb == "list" || verb == "lookup") << row[1];
        if (verb == "list") { EXPECT_EQ(scanned(row[1], kListingBufferSize), row[2]) << row[1]; }
    }
    // A line of k quotes holds k - 3 entries; a walk that recounted the line
    // for each would take hours here.
    const std::string entries = scanned(std::string(500'000, '"'), 4);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), '\n'), 499'997);
}

}  // namespace
}  // namespace tandrel::test
