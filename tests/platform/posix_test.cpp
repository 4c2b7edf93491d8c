// Behaviour that only a POSIX system can show: special files, resource
// limits, signals, and the settings file that stands in for the registry.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

using platform::MappedFile;

TEST(PosixMappedFile, RefusesSpecialFilesWithoutBlocking) {
    TempDir dir;
    ASSERT_TRUE(testing::makeFifo(dir.file("fifo")));
    // Nobody writes to the FIFO: an open that waited for a writer would hang.
    for (const std::string& path : {dir.file("fifo"), std::string("/dev/null"), std::string("/dev/zero")}) {
        MappedFile file;
        bool opened = true;
        const auto output = capturedOutput([&] { opened = file.openRead(path.c_str(), true); });
        EXPECT_FALSE(opened) << path;
        EXPECT_EQ(output, platform::kOpenFailedMessage) << path;
    }
}

// Symbolic links need privileges on Windows, so this name for an open input
// is checked here only.
TEST(PosixMappedFile, RefusesAFileHeldOpenForReadingThroughASymlink) {
    TempDir dir;
    const std::string input = dir.file("input");
    writeBytes(input, "precious");
    fs::create_symlink(input, dir.file("symlink"));
    MappedFile reader;
    ASSERT_TRUE(reader.openRead(input.c_str(), true));
    MappedFile writer;
    bool created = true;
    const auto output = capturedOutput([&] { created = writer.createSized(dir.file("symlink").c_str(), 4, true); });
    EXPECT_FALSE(created);
    EXPECT_EQ(output, platform::kOpenFailedMessage);
    EXPECT_EQ(readBytes(input), "precious");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"input", "symlink"}));
}

TEST(PosixMappedFileDeathTest, FileSizeLimitIsACleanFailure) {
    TempDir dir;
    const std::string path = dir.file("out");
    // In a child: lower the limit, then ask for more than it allows. The
    // process must survive and report the mapping failure.
    EXPECT_EXIT(
        {
            if (!testing::limitFileSize(64 * 1024)) std::_Exit(10);
            MappedFile file;
            std::string output = capturedOutput([&] {
                if (file.createSized(path.c_str(), 1024 * 1024, true)) std::_Exit(11);
            });
            std::_Exit(output == platform::kMappingFailedMessage ? 0 : 12);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(PosixMappedFileDeathTest, InterruptRemovesTheUnfinishedOutput) {
    TempDir dir;
    writeBytes(dir.file("out"), "old");
    for (int signalNumber : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                MappedFile file;
                if (!file.createSized(dir.file("out").c_str(), 4096, false)) std::_Exit(10);
                if (!writeText(file, std::string(4096, 'x'))) std::_Exit(12);
                std::raise(signalNumber);
                std::_Exit(11);
            },
            ::testing::KilledBySignal(signalNumber), "");
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"}) << signalNumber;
        EXPECT_EQ(readBytes(dir.file("out")), "old");
    }
}

TEST(PosixMappedFile, CreationReservesTheWholeLength) {
    TempDir dir;
    MappedFile file;
    ASSERT_TRUE(file.createSized(dir.file("out").c_str(), 1 << 20, true));
    // Nothing is written yet, but every block must already be set aside.
    const auto entries = dir.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_GE(testing::allocatedBytes(dir.file(entries[0])), 1u << 20);
}

TEST(PosixMappedFile, ReplacedFileKeepsItsPermissions) {
    TempDir dir;
    const std::string path = dir.file("private.txt");
    writeBytes(path, "old secret");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    MappedFile file;
    ASSERT_TRUE(file.createSized(path.c_str(), 10, true));
    ASSERT_TRUE(writeText(file, "new secret"));
    ASSERT_TRUE(file.commit(true));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readBytes(path), "new secret");
}

TEST(PosixMappedFileDeathTest, SignalsTheCallerIgnoresStayIgnored) {
    TempDir dir;
    // Like a run under nohup: a hang-up must neither kill it nor lose the output.
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            MappedFile file;
            if (!file.createSized(dir.file("out").c_str(), 2, false)) std::_Exit(10);
            std::raise(SIGHUP);
            if (!writeText(file, "ok")) std::_Exit(12);
            std::_Exit(file.commit(false) ? 0 : 11);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readBytes(dir.file("out")), "ok");
}

// The settings file lives at <config home>/Pellmark Software/Tandrel/1.00/ConfigFile.
class PosixUserSetting : public ::testing::Test {
protected:
    void SetUp() override {
        savedXdg_ = valueOf("XDG_CONFIG_HOME");
        savedHome_ = valueOf("HOME");
        testing::setEnvironmentVariable("XDG_CONFIG_HOME", dir_.file("xdg").c_str());
        testing::setEnvironmentVariable("HOME", dir_.file("home").c_str());
    }
    void TearDown() override {
        testing::setEnvironmentVariable("XDG_CONFIG_HOME", savedXdg_ ? savedXdg_->c_str() : nullptr);
        testing::setEnvironmentVariable("HOME", savedHome_ ? savedHome_->c_str() : nullptr);
    }
    static std::optional<std::string> valueOf(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    void writeSetting(const fs::path& home, const std::string& content) {
        const fs::path folder = home / "Pellmark Software" / "Tandrel" / "1.00";
        fs::create_directories(folder);
        writeBytes(folder / "ConfigFile", content);
    }
    std::optional<std::string> read() {
        char value[1024];
        if (!platform::readUserSetting("SOFTWARE\\Pellmark Software\\Tandrel\\1.00", "ConfigFile",
                                       value, sizeof value)) {
            return std::nullopt;
        }
        return std::string(value);
    }

    TempDir dir_;
    std::optional<std::string> savedXdg_, savedHome_;
};

TEST_F(PosixUserSetting, ValueIsTheFirstLineWithoutItsEnd) {
    const struct {
        std::string content;
        std::optional<std::string> value;
    } cases[] = {
        {"/etc/passphrases\n", "/etc/passphrases"},
        {"/etc/passphrases\r\nsecond line\n", "/etc/passphrases"},
        {"/no/line/end", "/no/line/end"},
        {"with blanks \n", "with blanks "},
        {"\n", ""},
        {std::string(1023, 'p') + "\n", std::string(1023, 'p')},
        {std::string(1023, 'p'), std::string(1023, 'p')},
        {std::string(1024, 'p') + "\n", std::nullopt},
        {std::string(5000, 'p'), std::nullopt},
    };
    for (const auto& c : cases) {
        writeSetting(dir_.file("xdg"), c.content);
        EXPECT_EQ(read(), c.value) << c.content.substr(0, 40);
    }
}

TEST_F(PosixUserSetting, MissingOrUnusableSettingIsSilentlyAbsent) {
    std::string output = capturedOutput([&] { EXPECT_EQ(read(), std::nullopt); });
    fs::create_directories(dir_.path() / "xdg" / "Pellmark Software" / "Tandrel" / "1.00" / "ConfigFile");
    output += capturedOutput([&] { EXPECT_EQ(read(), std::nullopt) << "a folder"; });
    EXPECT_EQ(output, "");
}

TEST_F(PosixUserSetting, ConfigHomeFallsBackToDotConfigUnlessAbsolute) {
    writeSetting(dir_.path() / "home" / ".config", "from-home\n");
    writeSetting(dir_.file("xdg"), "from-xdg\n");
    EXPECT_EQ(read(), "from-xdg");
    for (const char* xdg : {"", "relative/path", static_cast<const char*>(nullptr)}) {
        testing::setEnvironmentVariable("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(read(), "from-home") << (xdg ? xdg : "unset");
    }
}

}  // namespace
}  // namespace tandrel::test
