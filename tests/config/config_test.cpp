// The passphrase file's rules as rows (tests/data/passphrase_file.rows): the
// scanner alone on an exact-size copy of the text, where the sanitizer sees
// any read past its end, and the configuration that finds the file through
// the per-user setting, maps it, lists it and looks projects up in it.
#include <gtest/gtest.h>

#include "config/passphrase_config.h"
#include "platform/secure_wipe.h"
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
    ASSERT_EQ(rows.size(), 51u);
    TempDir dir;
    const std::string path = dir.file("passphrases.txt");
    const std::string heading = rows[0][1].substr(0, rows[0][1].find("{file}")) + path + "\"";  // the first row
    for (const auto& row : rows) {
        const std::string& verb = row[0];
        // The scanner alone, on its own buffers or on the listing's.
        if (verb == "scan" || verb == "list") {
            EXPECT_EQ(scanned(row[1], verb == "scan" ? std::stoul(row[2]) : kListingBufferSize), row.back()) << row[1];
        }
        if (verb == "heading" || verb == "scan") continue;
        if (row[1] != "-") writeBytes(path, row[1]);
        verb == "unset" ? clearConfigFileSetting() : setConfigFileSetting(row[1] == "-" ? dir.file("missing") : path);
        std::string found = "-";
        bool listed = false, leftBehind = false;
        const bool asks = verb == "lookup" || verb == "cut";
        const std::string printed = capturedOutput([&] {
            const PassphraseConfig config(kSettingsKeyPath);
            if (verb == "cut") {
                const std::string firstLine = std::to_string(row[1].find('\n') + 1);
                EXPECT_TRUE(systemLine({0, "", {"truncate", "passphrases.txt", firstLine}}, dir.path()));
            }
            char passphrase[kLookupBufferSize];
            const char* project = asks ? row[2].c_str() : "a";
            if (config.lookupPassphrase(project, passphrase, sizeof passphrase)) found = passphrase;
            secureWipe(passphrase, sizeof passphrase);
            listed = config.listConfig();
            leftBehind = stackHolds("correct horse");
        });
#ifndef _WIN32  // the Windows C runtime formats the listing through stack buffers of its own
        EXPECT_FALSE(leftBehind) << row[1];
#endif
        // A lookup gives its answer; the rest are judged by what they print.
        const std::string expected = verb == "list" ? heading + row[2] : asks ? row[3] : row[2];
        EXPECT_EQ(asks ? found : printed, expected) << row[1];
        EXPECT_EQ(listed, verb == "list" || verb == "lookup") << row[1];
    }
    // A line of k quotes holds k - 3 entries; a walk that recounted the line
    // for each would take hours here.
    EXPECT_EQ(scanned(std::string(500'000, '"'), 4).size(), 499'997u * 29);  // each entry 29 bytes
}

}  // namespace
}  // namespace tandrel::test
