// Encryption and decryption through the built executable, as a user runs
// them: exact output, exit status, and which files exist afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "container/container_format.h"
#include "platform/platform.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

using Files = std::map<std::string, std::string>;  // name -> content

std::string patternOf(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + length) % 251);
    return bytes;
}

std::string cannotOpen(const std::string& path) { return "\nERROR: Cannot open \"" + path + "\""; }
std::string cannotCreate(const std::string& path) { return "\nERROR: Cannot create \"" + path + "\""; }
std::string damaged(const std::string& path) { return "\nERROR: \"" + path + "\" is damaged or truncated"; }
std::string noPassphrase(const std::string& project) {
    return "\nERROR: Passphrase not found for project \"" + project + "\"";
}
const std::string kVerificationFailed = "\nERROR: Decryption verification failed. File may be corrupt.";

void put32(std::string& file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
}

// Three folders: the plaintexts, where encryption runs, where decryption runs.
class Operations : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"plain", "sealed", "restored"}) fs::create_directory(dir_.path() / folder);
        writeBytes(passphraseFile(), "\"Web\" \"correct horse\"\n\"Other\" \"different\"\n");
        setConfigFileSetting(passphraseFile());
    }
    std::string passphraseFile() const { return dir_.file("passphrases.txt"); }
    fs::path folder(const char* name) const { return dir_.path() / name; }

    // Encrypts plain/<name> into sealed/<name>.tdl and returns the status.
    int seal(const std::string& name, const std::string& content, const std::string& project = "Web") {
        writeBytes(folder("plain") / name, content);
        const auto run = runTool({"-encrypt", name + ".tdl", (folder("plain") / name).string(), project},
                                 folder("sealed"));
        EXPECT_EQ(run.output, "") << name;
        return run.status;
    }
    std::string sealed(const std::string& name) const { return readBytes(folder("sealed") / (name + ".tdl")); }

    ToolRun unseal(const fs::path& encrypted) { return runTool({"-decrypt", encrypted.string()}, folder("restored")); }

    Files filesIn(const char* name) const {
        Files files;
        for (const auto& entry : fs::directory_iterator(folder(name))) {
            files[entry.path().filename().string()] =
                entry.is_regular_file() ? readBytes(entry.path()) : std::string("<folder>");
        }
        return files;
    }

    TempDir dir_;
};

TEST_F(Operations, RoundTripsEveryLengthAroundBlocksAndPages) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 80; ++n) lengths.push_back(n);
    for (std::size_t n : {4095u, 4096u, 4097u, 1u << 20}) lengths.push_back(n);
    for (std::size_t length : lengths) {
        const std::string name = "file" + std::to_string(length) + ".bin";
        const std::string content = patternOf(length);
        ASSERT_EQ(seal(name, content), 0) << length;
        const std::string encrypted = sealed(name);
        EXPECT_EQ(encrypted.size(), containerLength(length, name.size(), 3)) << length;
        if (length >= 16) {
            EXPECT_EQ(encrypted.find(content.substr(0, 16)), std::string::npos) << length;
        }

        const auto run = unseal(folder("sealed") / (name + ".tdl"));
        EXPECT_EQ(run.output, "") << length;
        EXPECT_EQ(run.status, 0) << length;
        EXPECT_EQ(readBytes(folder("restored") / name), content) << length;
    }
    EXPECT_EQ(filesIn("restored").size(), lengths.size());
}

TEST_F(Operations, StoresNameWithoutDirectoryAndProjectAsTyped) {
    fs::create_directory(folder("plain") / "dir");
    writeBytes(folder("plain") / "dir" / "report.txt", "quarterly");
    const auto run = runTool({"-encrypt", "out.tdl", (folder("plain") / "dir" / "report.txt").string(), "wEB"},
                             folder("sealed"));
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string file = sealed("out");
    EXPECT_EQ(file.substr(48, 8), std::string("\x0b\0\0\0\x04\0\0\0", 8));
    EXPECT_EQ(file.substr(56, 15), std::string("report.txt\0wEB\0", 15));
    EXPECT_EQ(file.size(), 71u + 16);  // 9 bytes of plaintext in two blocks

    // Backslashes separate too, whichever system encrypted the file. Where
    // the backslash is a separator, the name lies in folder "a".
    fs::create_directory(folder("sealed") / "a");
    writeBytes(folder("sealed") / "a\\b.txt", "x");
    ASSERT_EQ(runTool({"-encrypt", "back.tdl", "a\\b.txt", "Web"}, folder("sealed")).status, 0);
    EXPECT_EQ(sealed("back").substr(56, 6), std::string("b.txt\0", 6));
}

TEST_F(Operations, SameInputTwiceGivesDifferentFiles) {
    ASSERT_EQ(seal("same.txt", "identical content"), 0);
    const std::string first = sealed("same.txt");
    ASSERT_EQ(seal("same.txt", "identical content"), 0);
    EXPECT_NE(first, sealed("same.txt"));
}

TEST_F(Operations, EncryptFailuresCreateNothing) {
    writeBytes(folder("plain") / "input.txt", "some text");
    writeBytes(folder("plain") / "empty.txt", "");
    writeBytes(folder("sealed") / "existing", "keep");
    fs::create_directory(folder("sealed") / "adir");
    const std::string input = (folder("plain") / "input.txt").string();
    const struct {
        const char* label;
        std::vector<std::string> args;
        std::string printed;
        int status;
    } cases[] = {
        {"unknown project", {"out", input, "Nope"}, noPassphrase("Nope"), 2},
        {"missing input", {"out", "missing.txt", "Web"}, platform::kOpenFailedMessage + cannotOpen("missing.txt"), 3},
        {"empty input", {"out", (folder("plain") / "empty.txt").string(), "Web"},
         platform::kMappingFailedMessage + cannotOpen((folder("plain") / "empty.txt").string()), 3},
        {"folder as input", {"out", folder("plain").string(), "Web"},
         platform::kOpenFailedMessage + cannotOpen(folder("plain").string()), 3},
        {"output in a missing folder", {"nowhere/out", input, "Web"},
         platform::kOpenFailedMessage + cannotCreate("nowhere/out"), 3},
        {"output is a folder", {"adir", input, "Web"}, platform::kOpenFailedMessage + cannotCreate("adir"), 3},
        {"output is the input", {input, input, "Web"}, platform::kOpenFailedMessage + cannotCreate(input), 3},
        {"output is the passphrase file", {passphraseFile(), input, "Web"},
         platform::kOpenFailedMessage + cannotCreate(passphraseFile()), 3},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-encrypt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = runTool(args, folder("sealed"));
        EXPECT_EQ(run.output, c.printed) << c.label;
        EXPECT_EQ(run.status, c.status) << c.label;
        EXPECT_EQ(filesIn("sealed"), (Files{{"adir", "<folder>"}, {"existing", "keep"}})) << c.label;
    }
    EXPECT_EQ(readBytes(input), "some text");
    EXPECT_EQ(readBytes(passphraseFile()), "\"Web\" \"correct horse\"\n\"Other\" \"different\"\n");
}

TEST_F(Operations, EncryptWithoutConfigurationFindsNoPassphrase) {
    clearConfigFileSetting();
    writeBytes(folder("plain") / "input.txt", "text");
    const auto run = runTool({"-encrypt", "out", (folder("plain") / "input.txt").string(), "Web"}, folder("sealed"));
    EXPECT_EQ(run.output, noPassphrase("Web"));
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(filesIn("sealed").empty());
}

TEST_F(Operations, EncryptRefusesOutputsOfFourGibibytes) {
    // Sparse, so that no real space is used; the output would pass 4 GiB.
    const fs::path big = folder("plain") / "big.bin";
    writeBytes(big, "x");
    std::error_code error;
    fs::resize_file(big, (std::uint64_t{1} << 32) - 40, error);
    if (error) GTEST_SKIP() << "no sparse files here";
    const auto run = runTool({"-encrypt", "out", big.string(), "Web"}, folder("sealed"));
    EXPECT_EQ(run.output, platform::kTooLargeMessage + cannotOpen(big.string()));
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(filesIn("sealed").empty());
}

TEST_F(Operations, DecryptFailuresLeaveTheFolderAsItWas) {
    ASSERT_EQ(seal("secret.txt", "the plaintext, twenty-nine b."), 0);
    const std::string sound = sealed("secret.txt");
    const std::size_t cipher = 56 + 11 + 4;
    auto variant = [&](auto change) {
        std::string file = sound;
        change(file);
        return file;
    };
    auto withNames = [&](const std::string& name, const std::string& project) {
        std::string file = sound.substr(0, 56) + name + '\0' + project + '\0' + sound.substr(cipher);
        put32(file, 48, static_cast<std::uint32_t>(name.size() + 1));
        put32(file, 52, static_cast<std::uint32_t>(project.size() + 1));
        return file;
    };
    const std::string in = (folder("sealed") / "case.tdl").string();
    const struct {
        const char* label;
        std::string file;
        std::string printed;
        int status;
    } cases[] = {
        {"signature only", "TDL\x01", damaged(in), 3},
        {"header cut short", sound.substr(0, 40), damaged(in), 3},
        {"ciphertext cut short", sound.substr(0, sound.size() - 1), damaged(in), 3},
        {"length check fails", variant([](std::string& f) { put32(f, 8, 4000); }), damaged(in), 3},
        {"name runs past the end", variant([](std::string& f) { put32(f, 48, 1u << 30); }), damaged(in), 3},
        {"name has no NUL", variant([](std::string& f) { f[56 + 10] = 'x'; }), damaged(in), 3},
        {"project runs past the end", variant([](std::string& f) { put32(f, 52, 0xFFFFFFF0); }), damaged(in), 3},
        {"unknown project", withNames("secret.txt", "Elsewhere"), noPassphrase("Elsewhere"), 2},
        {"project with control bytes", withNames("secret.txt", "\x1b[2J"), noPassphrase("\\x1b[2J"), 2},
        {"name is ..", withNames("..", "Web"), cannotCreate(".."), 3},
        {"name is .", withNames(".", "Web"), cannotCreate("."), 3},
        {"name is a folder path", withNames("dir/", "Web"), cannotCreate("dir/"), 3},
        {"name ends in ..", withNames("a\\..", "Web"), cannotCreate("a\\.."), 3},
        {"name with a line feed", withNames("secret\n.txt", "Web"), cannotCreate("secret\\x0a.txt"), 3},
        {"name with DEL", withNames("secret\x7f", "Web"), cannotCreate("secret\\x7f"), 3},
        {"empty name", withNames("", "Web"), cannotCreate(""), 3},
        {"flipped ciphertext byte", variant([&](std::string& f) { f[cipher + 3] ^= 1; }), kVerificationFailed, 3},
        {"flipped digest byte", variant([](std::string& f) { f[20] ^= 0x80; }), kVerificationFailed, 3},
        {"changed salt", variant([](std::string& f) { f[12] ^= 1; }), kVerificationFailed, 3},
    };
    writeBytes(folder("restored") / "secret.txt", "an older file of that name");
    for (const auto& c : cases) {
        writeBytes(in, c.file);
        const auto run = unseal(in);
        EXPECT_EQ(run.output, c.printed) << c.label;
        EXPECT_EQ(run.status, c.status) << c.label;
        EXPECT_EQ(filesIn("restored"), (Files{{"secret.txt", "an older file of that name"}})) << c.label;
    }
}

TEST_F(Operations, StoredNameKeepsOnlyItsLastComponent) {
    ASSERT_EQ(seal("secret.txt", "payload"), 0);
    std::string file = sealed("secret.txt");
    const std::string hostile = "../x/secret.txt";
    std::string rebuilt = file.substr(0, 56) + hostile + '\0' + file.substr(56 + 11);
    put32(rebuilt, 48, static_cast<std::uint32_t>(hostile.size() + 1));
    writeBytes(folder("sealed") / "hostile.tdl", rebuilt);
    const auto run = unseal(folder("sealed") / "hostile.tdl");
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(filesIn("restored"), (Files{{"secret.txt", "payload"}}));
    EXPECT_FALSE(fs::exists(dir_.path() / "x"));
}

TEST_F(Operations, ChangedPassphraseFailsVerificationAndChangesNothing) {
    ASSERT_EQ(seal("notes.txt", "meeting notes"), 0);
    writeBytes(passphraseFile(), "\"WEB\" \"a new passphrase\"\n");
    writeBytes(folder("restored") / "notes.txt", "older notes");
    const auto run = unseal(folder("sealed") / "notes.txt.tdl");
    EXPECT_EQ(run.output, kVerificationFailed);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(filesIn("restored"), (Files{{"notes.txt", "older notes"}}));
}

TEST_F(Operations, LookupOnDecryptIgnoresLetterCase) {
    ASSERT_EQ(seal("notes.txt", "meeting notes", "wEb"), 0);
    EXPECT_EQ(unseal(folder("sealed") / "notes.txt.tdl").status, 0);
    EXPECT_EQ(readBytes(folder("restored") / "notes.txt"), "meeting notes");
}

TEST_F(Operations, FlipInTheFillOnlyBlockGoesUnnoticed) {
    // With a plaintext of whole blocks the last block deciphers to fill only.
    ASSERT_EQ(seal("blocks.bin", patternOf(16)), 0);
    std::string file = sealed("blocks.bin");
    file[file.size() - 2] ^= 1;
    writeBytes(folder("sealed") / "flipped.tdl", file);
    EXPECT_EQ(unseal(folder("sealed") / "flipped.tdl").status, 0);
    EXPECT_EQ(readBytes(folder("restored") / "blocks.bin"), patternOf(16));
}

TEST_F(Operations, DecryptOntoTheEncryptedFileItselfIsRefused) {
    ASSERT_EQ(seal("self.txt", "content"), 0);
    const std::string encrypted = sealed("self.txt");
    writeBytes(folder("restored") / "self.txt", encrypted);
    const auto run = runTool({"-decrypt", "self.txt"}, folder("restored"));
    EXPECT_EQ(run.output, platform::kOpenFailedMessage + cannotCreate("self.txt"));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(filesIn("restored"), (Files{{"self.txt", encrypted}}));
}

TEST_F(Operations, PlainFilesPassThroughAsScriptZnc) {
    const fs::path plain = folder("plain") / "notes.txt";
    for (const std::string content : {"plain text\n", "TDL\x02 another version", "TDL\x01\x01\0\0\0 reserved set"}) {
        writeBytes(plain, content);
        writeBytes(folder("restored") / "script.znc", "an older copy");
        const auto run = unseal(plain);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(filesIn("restored"), (Files{{"script.znc", content}}));
    }
}

TEST_F(Operations, PassThroughFailuresAreReported) {
    writeBytes(folder("plain") / "notes.txt", "plain text");
    writeBytes(folder("plain") / "empty.txt", "");
    fs::create_directory(folder("restored") / "script.znc");
    const struct {
        const char* label;
        std::string input;
        std::string printed;
    } cases[] = {
        {"script.znc is a folder", (folder("plain") / "notes.txt").string(),
         platform::kOpenFailedMessage + cannotCreate("script.znc")},
        {"missing input", "missing", platform::kOpenFailedMessage + cannotOpen("missing")},
        {"empty input", (folder("plain") / "empty.txt").string(),
         platform::kMappingFailedMessage + cannotOpen((folder("plain") / "empty.txt").string())},
    };
    for (const auto& c : cases) {
        const auto run = unseal(c.input);
        EXPECT_EQ(run.output, c.printed) << c.label;
        EXPECT_EQ(run.status, 3) << c.label;
        EXPECT_EQ(filesIn("restored"), (Files{{"script.znc", "<folder>"}})) << c.label;
    }
}

TEST_F(Operations, DecryptWithAMissingPassphraseFileSaysSoFirst) {
    ASSERT_EQ(seal("a.txt", "abc"), 0);
    setConfigFileSetting(dir_.file("gone.txt"));
    const auto run = unseal(folder("sealed") / "a.txt.tdl");
    EXPECT_EQ(run.output, platform::kOpenFailedMessage + noPassphrase("Web"));
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(filesIn("restored").empty());
}

}  // namespace
}  // namespace tandrel::test
