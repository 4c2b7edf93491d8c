// Behaviour that only a POSIX system can show: special files, resource
// limits, signals, and the settings file that stands in for the registry.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/os_posix.h"
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

// Where outputs are named files from the start (no unnamed temporary files
// on the file system), every signal whose default action ends the process
// removes the unfinished one first.
class NamedTemporaries : public ::testing::Test {
protected:
    void SetUp() override { platform::os::unnamedTemporaries = false; }
    void TearDown() override { platform::os::unnamedTemporaries = true; }
};

using NamedTemporariesDeathTest = NamedTemporaries;

TEST_F(NamedTemporariesDeathTest, EveryEndingSignalRemovesTheUnfinishedOutput) {
    TempDir dir;
    writeBytes(dir.file("out"), "old");
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
                             SIGPROF}) {
        EXPECT_EXIT(
            {
                MappedFile file;
                if (!file.createSized(dir.file("out").c_str(), 4096, false)) std::_Exit(10);
                if (dir.entries().size() != 2) std::_Exit(11);  // the output has its name
                if (!writeText(file, std::string(4096, 'x'))) std::_Exit(12);
                std::raise(signalNumber);
                std::_Exit(13);
            },
            ::testing::KilledBySignal(signalNumber), "");
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"}) << signalNumber;
        EXPECT_EQ(readBytes(dir.file("out")), "old");
    }
}

TEST_F(NamedTemporaries, CreationReservesTheWholeLength) {
    TempDir dir;
    MappedFile file;
    ASSERT_TRUE(file.createSized(dir.file("out").c_str(), 1 << 20, true));
    // Nothing is written yet, but every block must already be set aside.
    const auto entries = dir.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_GE(testing::allocatedBytes(dir.file(entries[0])), 1u << 20);
}

// Where the file system has no reservation call, zeros are written instead,
// and a full disk or a size limit is still a clean failure.
TEST(PosixMappedFileDeathTest, ReservingByWritingFailsCleanlyAtALimit) {
    TempDir dir;
    EXPECT_EXIT(
        {
            if (!testing::limitFileSize(64 * 1024)) std::_Exit(10);
            platform::os::prepareProcess();
            const int small = ::open(dir.file("small").c_str(), O_RDWR | O_CREAT, 0600);
            const int big = ::open(dir.file("big").c_str(), O_RDWR | O_CREAT, 0600);
            if (!platform::os::reserveByWriting(small, 60 * 1024)) std::_Exit(11);
            std::_Exit(platform::os::reserveByWriting(big, 1 << 20) ? 12 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_GE(testing::allocatedBytes(dir.file("small")), 60u * 1024);
}

// A page of an input that its file no longer covers reads as zeros, and
// the file says it is no longer intact, instead of a bus error.
TEST(PosixMappedFile, AnInputCutShortUnderItsViewReadsZerosAndSaysSo) {
    TempDir dir;
    const std::string path = dir.file("input");
    writeBytes(path, std::string(3 * 4096, 'i'));
    MappedFile file;
    ASSERT_TRUE(file.openRead(path.c_str(), true));
    EXPECT_TRUE(file.intact());
    fs::resize_file(path, 100);
    EXPECT_EQ(file.data()[99], 'i');
    EXPECT_EQ(file.data()[2 * 4096 + 5], 0);
    EXPECT_FALSE(file.intact());
}

// A file written in place (it has a second name) has the space set aside
// first: on a full disk the old content stays and nothing is left beside it.
TEST(PosixMappedFile, WritingInPlaceOnAFullDiskLeavesTheOldFile) {
    TempDir dir;
    const std::string small = dir.file("small");
    fs::create_directory(small);
    if (mount("tandrel-test", small.c_str(), "tmpfs", 0, "size=1m,mode=0755") != 0) {
        GTEST_SKIP() << "no small file system can be mounted here";
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(small.c_str(),
                                                                     [](const char* at) { umount2(at, MNT_DETACH); });
    const std::string target = small + "/target";
    const std::string old(100 * 1024, 'o');
    writeBytes(target, old);
    fs::create_hard_link(target, small + "/other");
    {
        MappedFile file;
        ASSERT_TRUE(file.createSized(target.c_str(), 800 * 1024, true));
        ASSERT_TRUE(writeText(file, std::string(800 * 1024, 'n')));
        const auto output = capturedOutput([&] { EXPECT_FALSE(file.commit(true)); });
        EXPECT_EQ(output, "\nERROR: Couldn't open file with CreateFile()\n");
    }
    EXPECT_EQ(readBytes(target), old);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(small)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"other", "target"}));
}

// The temporary file lies beside the target under a short name, so a
// target that open() accepts is not refused because of its length.
TEST(PosixMappedFile, AcceptsATargetNearThePathLengthLimit) {
    TempDir dir;
    // A one-letter name in a folder whose path is just short enough.
    std::string folder = dir.path().string();
    while (folder.size() + 201 < 4092) {
        folder += "/" + std::string(200, 'd');
        fs::create_directory(folder);
    }
    folder += "/" + std::string(4092 - folder.size() - 1, 'e');
    fs::create_directory(folder);
    const std::string target = folder + "/f";
    ASSERT_EQ(target.size(), 4094u);
    for (bool unnamed : {true, false}) {
        platform::os::unnamedTemporaries = unnamed;
        MappedFile file;
        EXPECT_TRUE(file.createSized(target.c_str(), 7, true)) << unnamed;
        EXPECT_TRUE(writeText(file, "content"));
        EXPECT_TRUE(file.commit(true));
        EXPECT_EQ(readBytes(target), "content");
    }
    platform::os::unnamedTemporaries = true;
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
    std::optional<std::string> read(const std::string& key = "SOFTWARE\\Pellmark Software\\Tandrel\\1.00") {
        char value[1024];
        if (!platform::readUserSetting(key.c_str(), "ConfigFile", value, sizeof value)) {
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

// Without HOME (some service managers start programs so), the account's
// home folder from the password database stands in. The setting is made
// under a key of its own there and removed again.
TEST_F(PosixUserSetting, WithoutHomeTheAccountsHomeFolderIsUsed) {
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    const std::string leaf = "probe-" + std::to_string(getpid());
    const fs::path product = fs::path(account->pw_dir) / ".config" / "Pellmark Software" / "Tandrel Tests";
    fs::create_directories(product / leaf);
    writeBytes(product / leaf / "ConfigFile", "from-account\n");
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        testing::setEnvironmentVariable("XDG_CONFIG_HOME", nullptr);
        testing::setEnvironmentVariable("HOME", home);
        EXPECT_EQ(read("SOFTWARE\\Pellmark Software\\Tandrel Tests\\" + leaf), "from-account");
    }
    fs::remove_all(product / leaf);
    std::error_code leftOver;  // folders another run still uses stay
    fs::remove(product, leftOver);
    fs::remove(product.parent_path(), leftOver);
}

}  // namespace
}  // namespace tandrel::test
