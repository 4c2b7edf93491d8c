// A committed encrypted file, made once with a fixed salt: every build must
// produce it byte for byte and restore it, so that no change can silently
// alter the format that users' stored files are in.
#include <gtest/gtest.h>

#include "container/operations.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

const fs::path kGolden = fs::path(TANDREL_TEST_DATA_DIR) / "golden";

std::uint32_t fixedSalt() { return 0x5EED1234; }

TEST(GoldenFile, EncryptionReproducesItByteForByte) {
    setConfigFileSetting((kGolden / "passphrases.txt").string());
    TempDir dir;
    const std::string out = dir.file("golden.txt.tdl");
    const std::string in = (kGolden / "golden.txt").string();
    int status = -1;
    const auto printed = capturedOutput([&] {
        PassphraseConfig config(kSettingsKeyPath);
        status = encryptFile(config, in.c_str(), out.c_str(), "Golden", fixedSalt);
    });
    ASSERT_EQ(status, 0) << printed;
    const std::string made = readBytes(out);
    if (made != readBytes(kGolden / "golden.txt.tdl")) {
        // Left in the build tree for inspection.
        writeBytes(fs::current_path() / "golden.txt.tdl.actual", made);
        FAIL() << "encrypted bytes differ from the committed golden file";
    }
}

TEST(GoldenFile, DecryptionRestoresIt) {
    setConfigFileSetting((kGolden / "passphrases.txt").string());
    TempDir dir;
    const auto run = runTool({"-decrypt", (kGolden / "golden.txt.tdl").string()}, dir.path());
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(dir.path() / "golden.txt"), readBytes(kGolden / "golden.txt"));
}

}  // namespace
}  // namespace tandrel::test
