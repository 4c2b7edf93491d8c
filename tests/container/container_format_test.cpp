// What the entry function cannot show: the exact bytes of an encryption with
// a fixed salt, and the name and text rules over every row of their tables.
#include <gtest/gtest.h>

#include "container/container_format.h"
#include "container/messages.h"
#include "container/operations.h"
#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

const fs::path kGolden = fs::path(TANDREL_TEST_DATA_DIR) / "golden";

// A committed encrypted file, made once with a fixed salt: every build must
// make it byte for byte, so no change can silently alter the format of the
// files users keep. (The case files show that it restores.)
TEST(GoldenFile, EncryptionReproducesItByteForByte) {
    setConfigFileSetting((kGolden / "passphrases.txt").string());
    TempDir dir;
    int status = -1;
    const auto printed = capturedOutput([&] {
        PassphraseConfig config(kSettingsKeyPath);
        status = encryptFile(config, (kGolden / "golden.txt").string().c_str(), dir.file("g.tdl").c_str(), "Golden",
                             [] { return std::uint32_t{0x5EED1234}; });
    });
    EXPECT_EQ(printed, "");
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(readBytes(dir.path() / "g.tdl") == readBytes(kGolden / "golden.txt.tdl"));
}

TEST(Rows, RestorableNameIsABareNameOrNothing) {
    const auto rows = readRows("stored_names.rows");
    ASSERT_EQ(rows.size(), 28u);
    for (const auto& row : rows) {
        const char* name = restorableName(row.at(0).c_str());
        EXPECT_EQ(name != nullptr ? std::string(name) : "-", row.at(1)) << row.at(0);
    }
}

TEST(Rows, PrintableTextShowsControlsEscaped) {
    const auto rows = readRows("printable.rows");
    ASSERT_EQ(rows.size(), 20u);
    for (const auto& row : rows) EXPECT_EQ(printableText(row.at(0).c_str()), row.at(1)) << row.at(0);
}

}  // namespace
}  // namespace tandrel::test
