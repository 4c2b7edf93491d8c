// The platform layer through tables under tests/data: how the per-user
// setting reads back, and which names the file system keeps for itself.
// Every system runs the same tables; a row's first word says which system it
// holds for ("any" for all). (What MappedFile makes of each input and output
// is in mapped_files.cases.)
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>

#ifndef _WIN32
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/pending_outputs.h"
#else
#include "platform/windows_api.h"
#endif

#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

using platform::MappedFile;

const std::string kSystem = TANDREL_SYSTEM;  // "posix" or "windows"

// The rows of `fileName` that hold on this system, without their first word.
std::vector<std::vector<std::string>> rowsHere(const std::string& fileName, std::size_t expected) {
    const auto all = readRows(fileName);
    EXPECT_EQ(all.size(), expected) << fileName;
    std::vector<std::vector<std::string>> rows;
    for (const auto& row : all) {
        if (row.at(0) == "any" || row.at(0) == kSystem) rows.emplace_back(row.begin() + 1, row.end());
    }
    return rows;
}

// "*<n><c><rest>" stands for n times the byte c, then rest.
std::string expanded(const std::string& word) {
    if (word.empty() || word[0] != '*') return word;
    std::size_t digits = 0;
    const auto count = std::stoul(word.substr(1), &digits);
    return std::string(count, word.at(1 + digits)) + word.substr(2 + digits);
}

TEST(UserSetting, EachRowReadsBackItsValueOrNothingAndPrintsNothing) {
    // A key of the test's own, never the tool's setting, with one folder to
    // remove.
    const std::string leaf = "Tandrel Tests " + std::to_string(platform::processId());
    const std::string key = "SOFTWARE\\" + leaf;
    // The variables as the tests after this one expect them.
    std::optional<std::string> before[2];
    for (const int i : {0, 1}) {
        if (const char* value = std::getenv(i ? "HOME" : "XDG_CONFIG_HOME")) before[i] = value;
    }
    for (const auto& row : rowsHere("user_settings.rows", 32)) {
        TempDir dir;
        for (const int i : {0, 1}) {
            const std::string value = row[i] == "abs"   ? dir.file(i ? "home" : "xdg")
                                      : row[i] == "rel" ? "relative"
                                                        : row[i];
            testing::setEnvironmentVariable(i ? "HOME" : "XDG_CONFIG_HOME", row[i] == "-" ? nullptr : value.c_str());
        }
        const std::string bytes = expanded(row.at(3)), label = row.at(2) + " " + row.at(3).substr(0, 20);
        const std::string& where = row.at(2);
#ifndef _WIN32
        // The setting is a file under the configuration home the row names,
        // in a folder that is removed afterwards.
        fs::path home = where == "xdg" || where == "folder" ? dir.path() / "xdg" : dir.path() / "home" / ".config";
        if (where == "account") home = fs::path(getpwuid(geteuid())->pw_dir) / ".config";
        if (where != "none") fs::create_directories(where == "folder" ? home / leaf / "ConfigFile" : home / leaf);
        if (where != "none" && where != "folder") writeBytes(home / leaf / "ConfigFile", bytes);
#else
        // The setting is a registry value of the kind the row names.
        testing::removeUserSettingKey(key.c_str());
        const auto kind = where == "expand"   ? testing::SettingKind::ExpandableString
                          : where == "binary" ? testing::SettingKind::Binary
                          : where == "wide"   ? testing::SettingKind::WideString
                                              : testing::SettingKind::String;
        const char* name = where == "other" ? "Other" : "ConfigFile";
        ASSERT_TRUE(where == "none" || testing::writeRawUserSetting(key.c_str(), name, kind, bytes)) << label;
#endif
        char value[1024];
        std::memset(value, 'z', sizeof value);  // nothing may pass for a terminator
        bool read = false;
        const auto descriptorsBefore = openDescriptorCount();  // every one opened is closed again
        EXPECT_EQ(capturedOutput([&] { read = platform::readUserSetting(key.c_str(), "ConfigFile", value, 1024); }),
                  "");
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore) << label;
        EXPECT_EQ(read ? std::string(value) : "-", expanded(row.at(4))) << label;
#ifndef _WIN32
        fs::remove_all(home / leaf);
#endif
    }
#ifdef _WIN32
    testing::removeUserSettingKey(key.c_str());
#endif
    for (const int i : {0, 1}) {
        testing::setEnvironmentVariable(i ? "HOME" : "XDG_CONFIG_HOME", before[i] ? before[i]->c_str() : nullptr);
    }
}

TEST(ReservedFileNames, AreTheDeviceNamesOnWindowsAndNoneElsewhere) {
    const auto rows = readRows("reserved_names.rows");
    EXPECT_EQ(rows.size(), 35u);
    for (const auto& row : rows) {
        EXPECT_EQ(platform::isReservedFileName(row.at(0).c_str()), kSystem == "windows" && row.at(1) == "yes")
            << row.at(0);
    }
}

#ifndef _WIN32
// What only a POSIX system shows of the platform layer, and the tool itself
// cannot: the record that lets an interrupt remove named temporary files, and
// the limits of the disk. (An input cut short under its view is the
// scenarios' to show: the run fails cleanly instead of ending in a bus error.)

// The record of names an interrupt removes has eight places. An output that
// finds it full is refused and leaves no file; a discarded one frees its place.
TEST(NamedTemporaries, AFullRecordOfNamesRefusesTheNextOutputAndLeavesNoFile) {
    platform::os::unnamedTemporaries = false;
    EXPECT_FALSE(platform::rememberPendingOutput(0, std::string(4160, 'n')));  // no room for its terminator
    TempDir dir;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<platform::PendingOutput>> outputs;
        for (int i = 0; i < 8; ++i) {
            outputs.push_back(std::make_unique<platform::PendingOutput>());
            ASSERT_TRUE(outputs.back()->create(dir.file("out").c_str(), 1 << 16)) << round << i;
        }
        // Nothing is written yet, but every block is already set aside.
        EXPECT_GE(testing::allocatedBytes(dir.file(dir.entries().at(0))), 1u << 16);
        platform::PendingOutput ninth;
        EXPECT_FALSE(ninth.create(dir.file("out").c_str(), 1));
        EXPECT_STREQ(ninth.failure(), "\nERROR: Couldn't open file with CreateFile()\n");
        EXPECT_EQ(dir.entries().size(), 8u);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
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
    writeBytes(target, std::string(100 * 1024, 'o'));
    fs::create_hard_link(target, small + "/other");
    // Also where the file system has no reservation call (ext2): the space
    // is then set aside by writing.
    for (const char* refused : {"", "fallocate"}) {
        testing::refuse(refused);
        platform::PendingOutput file;
        ASSERT_TRUE(file.create(target.c_str(), 800 * 1024));
        ASSERT_TRUE(writeText(file, std::string(800 * 1024, 'n')));
        EXPECT_FALSE(file.publish());
        EXPECT_STREQ(file.failure(), "\nERROR: Couldn't open file with CreateFile()\n");
        testing::refuse("");
        EXPECT_EQ(readBytes(target), std::string(100 * 1024, 'o')) << refused;
        EXPECT_EQ(fs::hard_link_count(target), 2u);
        EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 2);
    }
}

#else

// The unfinished output deletes itself when the process ends, however it
// ends; the file it was to replace stays as it was.
TEST(Win32Encrypt, TerminatedRunLeavesNothingBehind) {
    TempDir dir;
    writeBytes(dir.file("passphrases.txt"), "\"Web\" \"correct horse\"\n");
    setConfigFileSetting(dir.file("passphrases.txt"));
    writeBytes(dir.file("big.bin"), std::string(8 << 20, 'b'));
    writeBytes(dir.file("out.tdl"), "old");
    std::string commandLine = "tandrel -encrypt out.tdl big.bin Web";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(TANDREL_EXE, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir.path().string().c_str(), &startup, &process));
    // Cut off as soon as the unfinished output has its length, which it is
    // given once it is marked for deletion (Windows cannot create a file and
    // mark it in one step).
    const std::string pattern = dir.file(".tandrel-*");
    bool appeared = false;
    while (!appeared && WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
        appeared = search != INVALID_HANDLE_VALUE && found.nFileSizeLow != 0;
        if (appeared) FindClose(search);
    }
    if (appeared) TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_TRUE(appeared) << "the run ended before its output appeared";
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"big.bin", "out.tdl", "passphrases.txt"}));
    EXPECT_EQ(readBytes(dir.file("out.tdl")), "old");
}

#endif

}  // namespace
}  // namespace tandrel::test
