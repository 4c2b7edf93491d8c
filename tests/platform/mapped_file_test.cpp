#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/platform.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

using platform::MappedFile;

struct OpenCase {
    const char* label;
    std::string content;  // written to the file unless `missing`
    bool missing;
    bool report;
    const char* printed;
};

TEST(MappedFileOpenRead, ReportsEachFailureWithItsOwnMessage) {
    const OpenCase cases[] = {
        {"missing file", "", true, true, platform::kOpenFailedMessage},
        {"missing file, quiet", "", true, false, ""},
        {"empty file", "", false, true, platform::kMappingFailedMessage},
        {"empty file, quiet", "", false, false, ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("input");
        if (!c.missing) writeBytes(path, c.content);
        MappedFile file;
        bool opened = true;
        const auto output = capturedOutput([&] { opened = file.openRead(path.c_str(), c.report); });
        EXPECT_FALSE(opened) << c.label;
        EXPECT_EQ(output, c.printed) << c.label;
        EXPECT_FALSE(file.isOpen()) << c.label;
    }
}

TEST(MappedFileOpenRead, RefusesADirectory) {
    TempDir dir;
    MappedFile file;
    bool opened = true;
    const auto output = capturedOutput([&] { opened = file.openRead(dir.path().string().c_str(), true); });
    EXPECT_FALSE(opened);
    EXPECT_EQ(output, platform::kOpenFailedMessage);
}

TEST(MappedFileOpenRead, MapsEveryByteOfTheFile) {
    TempDir dir;
    for (std::size_t length : {1u, 7u, 4095u, 4096u, 4097u}) {
        std::string content(length, '\0');
        for (std::size_t i = 0; i < length; ++i) content[i] = static_cast<char>(i * 31 + 7);
        writeBytes(dir.file("input"), content);
        MappedFile file;
        ASSERT_TRUE(file.openRead(dir.file("input").c_str(), true)) << length;
        ASSERT_EQ(file.size(), length);
        EXPECT_EQ(std::memcmp(file.data(), content.data(), length), 0) << length;
        file.close();
        file.close();  // a second close has nothing left to do
        EXPECT_FALSE(file.isOpen());
    }
}

TEST(MappedFileOpenRead, RefusesFilesOfFourGibibytesOrMore) {
    TempDir dir;
    for (std::uint64_t length : {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 5}) {
        const std::string path = dir.file("huge");
        {
            std::ofstream create(path);
        }
        std::error_code error;
        fs::resize_file(path, length, error);  // sparse: no real space used
        if (error) GTEST_SKIP() << "no sparse files here: " << error.message();
        MappedFile file;
        bool opened = true;
        const auto output = capturedOutput([&] { opened = file.openRead(path.c_str(), true); });
        EXPECT_FALSE(opened) << length;
        EXPECT_EQ(output, platform::kTooLargeMessage) << length;
        fs::remove(path);
    }
}

// Writes `length` bytes through a new mapping and publishes them.
void createAndCommit(const std::string& path, const std::string& content) {
    MappedFile file;
    ASSERT_TRUE(file.createSized(path.c_str(), static_cast<std::uint32_t>(content.size()), true));
    ASSERT_EQ(file.size(), content.size());
    ASSERT_TRUE(writeText(file, content));
    ASSERT_TRUE(file.commit(true));
    EXPECT_FALSE(file.isOpen());
}

TEST(MappedFileCreateSized, GivesTheFileExactlyItsLengthFromOneByteUp) {
    TempDir dir;
    for (std::size_t length : {1u, 2u, 3u, 4u, 5u, 8u, 4096u, 4097u, 1u << 20}) {
        const std::string content(length, static_cast<char>('a' + length % 26));
        createAndCommit(dir.file("out"), content);
        EXPECT_EQ(readBytes(dir.file("out")), content) << length;
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"}) << length;
    }
}

TEST(MappedFileCreateSized, ReplacesALongerFileOnlyOnCommit) {
    TempDir dir;
    const std::string path = dir.file("target");
    const std::string original(10000, 'o');
    writeBytes(path, original);

    MappedFile file;
    ASSERT_TRUE(file.createSized(path.c_str(), 3, true));
    ASSERT_TRUE(writeText(file, "new"));
    EXPECT_EQ(readBytes(path), original) << "replaced before commit";
    ASSERT_TRUE(file.commit(true));
    EXPECT_EQ(readBytes(path), "new");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target"});
}

TEST(MappedFileCreateSized, WithoutCommitLeavesNothingBehind) {
    TempDir dir;
    const std::string existing = dir.file("existing");
    writeBytes(existing, "keep me");
    for (const std::string& path : {existing, dir.file("fresh")}) {
        {
            MappedFile file;
            ASSERT_TRUE(file.createSized(path.c_str(), 64, true));
            ASSERT_TRUE(writeText(file, std::string(64, 'x')));
        }  // destroyed without commit
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"existing"}) << path;
        EXPECT_EQ(readBytes(existing), "keep me");
    }
}

TEST(MappedFileCreateSized, NewFileGetsTheUsualPermissions) {
    TempDir dir;
    {
        std::ofstream reference(dir.file("reference"));
    }
    createAndCommit(dir.file("made"), "x");
    EXPECT_EQ(fs::status(dir.file("made")).permissions(),
              fs::status(dir.file("reference")).permissions());
}

TEST(MappedFileCreateSized, RefusesPlacesThatCannotHoldAFile) {
    TempDir dir;
    fs::create_directory(dir.path() / "folder");
    writeBytes(dir.file("plain"), "text");
    const struct {
        const char* label;
        std::string path;
        std::uint32_t length;
        const char* printed;
    } cases[] = {
        {"an existing folder", dir.file("folder"), 8, platform::kOpenFailedMessage},
        {"a missing folder", dir.file("nowhere/out"), 8, platform::kOpenFailedMessage},
        {"below a plain file", dir.file("plain/out"), 8, platform::kOpenFailedMessage},
        {"an empty name", "", 8, platform::kOpenFailedMessage},
        {"no length", dir.file("zero"), 0, platform::kMappingFailedMessage},
    };
    for (const auto& c : cases) {
        MappedFile file;
        bool created = true;
        const auto output = capturedOutput([&] { created = file.createSized(c.path.c_str(), c.length, true); });
        EXPECT_FALSE(created) << c.label;
        EXPECT_EQ(output, c.printed) << c.label;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"folder", "plain"}));
    EXPECT_TRUE(fs::is_empty(dir.path() / "folder"));
}

TEST(MappedFileCreateSized, RefusesAFileHeldOpenForReadingByAnyName) {
    TempDir dir;
    const std::string input = dir.file("input");
    writeBytes(input, "precious");
    fs::create_hard_link(input, dir.file("hardlink"));
    MappedFile reader;
    ASSERT_TRUE(reader.openRead(input.c_str(), true));

    for (const std::string& name : {input, dir.file("hardlink"), (dir.path() / "." / "input").string()}) {
        MappedFile writer;
        bool created = true;
        const auto output = capturedOutput([&] { created = writer.createSized(name.c_str(), 4, true); });
        EXPECT_FALSE(created) << name;
        EXPECT_EQ(output, platform::kOpenFailedMessage) << name;
    }
    EXPECT_EQ(readBytes(input), "precious");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hardlink", "input"}));

    // Once the reader lets go, the name may be replaced again.
    reader.close();
    createAndCommit(input, "new");
    EXPECT_EQ(readBytes(input), "new");
}

TEST(MappedFileCommit, OnlyAnOpenOutputCanBeCommitted) {
    TempDir dir;
    writeBytes(dir.file("input"), "abc");
    MappedFile file;
    EXPECT_FALSE(file.commit(true));
    ASSERT_TRUE(file.openRead(dir.file("input").c_str(), true));
    EXPECT_FALSE(file.commit(true));
    file.close();
    ASSERT_TRUE(file.createSized(dir.file("out").c_str(), 1, true));
    ASSERT_TRUE(writeText(file, "z"));
    EXPECT_TRUE(file.commit(true));
    EXPECT_FALSE(file.commit(true));
    EXPECT_EQ(readBytes(dir.file("out")), "z");
}

}  // namespace
}  // namespace tandrel::test
