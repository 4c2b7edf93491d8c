// Behaviour that only Windows shows: device names, the registry setting and
// its types, file sharing between a reader and a new output, file
// attributes, and outputs of a run that is cut off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "config/passphrase_config.h"
#include "platform/platform.h"
#include "support/scenario.h"
#include "support/test_helpers.h"
#include "support/test_support_win32.h"

namespace tandrel::test {
namespace {

using platform::MappedFile;
using testing::SettingKind;

TEST(Win32FileNames, DeviceNamesAndTrailingDotsOrBlanksAreReserved) {
    const struct {
        const char* name;
        bool reserved;
    } cases[] = {
        {"CON", true},          {"con", true},           {"Con.txt", true},
        {"PRN", true},          {"aux.tar.gz", true},    {"NUL", true},
        {"nul.", true},         {"CON .txt", true},      {"con..txt", true},
        {"COM1", true},         {"com9.log", true},      {"COM0", true},
        {"LPT1", true},         {"lpt9.txt", true},      {"COM\xb9", true},
        {"LPT\xb3.txt", true},  {"CONIN$", true},        {"conout$.x", true},
        {"report.", true},      {"report ", true},       {"report.txt.", true},
        {"..x.", true},         {"CONSOLE", false},      {"CON_", false},
        {"COM10", false},       {"COM", false},          {"LPT", false},
        {"COMA", false},        {"xCON", false},         {"report.txt", false},
        {".con", false},        {"NULL.txt", false},     {"a b.txt", false},
        {"COM\xb4", false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::isReservedFileName(c.name), c.reserved) << c.name;
}

// A key of its own, so that these cases never disturb the tool's setting.
constexpr const char* kTestKey = "SOFTWARE\\Pellmark Software\\Tandrel Tests\\1.00";

std::optional<std::string> readTestSetting() {
    char value[1024];
    std::memset(value, 'z', sizeof value);  // nothing may pass for a terminator
    if (!platform::readUserSetting(kTestKey, "ConfigFile", value, sizeof value)) return std::nullopt;
    return std::string(value);
}

TEST(Win32UserSetting, OnlyAStringThatFitsWithItsNulCounts) {
    const std::string longest(1023, 'p');
    const struct {
        const char* label;
        SettingKind kind;
        std::string bytes;  // stored exactly
        std::optional<std::string> value;
    } cases[] = {
        {"string", SettingKind::String, std::string("C:\\p.txt\0", 9), "C:\\p.txt"},
        {"string without its NUL", SettingKind::String, "C:\\p.txt", "C:\\p.txt"},
        {"empty string", SettingKind::String, std::string("\0", 1), ""},
        {"1023 bytes and NUL", SettingKind::String, longest + '\0', longest},
        {"1023 bytes, no NUL", SettingKind::String, longest, longest},
        {"1024 bytes and NUL", SettingKind::String, longest + "p" + '\0', std::nullopt},
        {"1024 bytes, no NUL", SettingKind::String, longest + "p", std::nullopt},
        {"5000 bytes", SettingKind::String, std::string(5000, 'p') + '\0', std::nullopt},
        {"expandable string", SettingKind::ExpandableString, std::string("C:\\p.txt\0", 9), std::nullopt},
        {"binary", SettingKind::Binary, std::string("C:\\p.txt\0", 9), std::nullopt},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::writeRawUserSetting(kTestKey, "ConfigFile", c.kind, c.bytes)) << c.label;
        EXPECT_EQ(readTestSetting(), c.value) << c.label;
    }
}

TEST(Win32UserSetting, MissingKeyOrValueIsSilentlyAbsent) {
    const auto output = capturedOutput([] {
        testing::removeUserSettingKey(kTestKey);
        EXPECT_EQ(readTestSetting(), std::nullopt) << "no key";
        ASSERT_TRUE(testing::writeRawUserSetting(kTestKey, "Other", SettingKind::String, std::string("x\0", 2)));
        EXPECT_EQ(readTestSetting(), std::nullopt) << "no value";
    });
    EXPECT_EQ(output, "");
    testing::removeUserSettingKey(kTestKey);
}

// The tool itself, with its setting in each state a user may leave it in.
TEST(Win32UserSetting, CommandLineTurnsDownEveryUnusableSetting) {
    TempDir dir;
    const std::string passphrases = dir.file("passphrases.txt");
    writeBytes(passphrases, "\"Web\" \"secret\"\n");
    const std::string notValid = "\nThe config file is not valid, or could not be found.";
    const struct {
        const char* label;
        std::optional<SettingKind> kind;  // none: no key at all
        std::string bytes;
        std::string printed;
        int status;
    } cases[] = {
        {"no key", std::nullopt, "", notValid, 2},
        {"expandable string", SettingKind::ExpandableString, passphrases + '\0', notValid, 2},
        {"1024 bytes", SettingKind::String, std::string(1024, 'p') + '\0', notValid, 2},
        {"missing file", SettingKind::String, dir.file("gone.txt") + '\0',
         platform::kOpenFailedMessage + notValid, 2},
        {"usable", SettingKind::String, passphrases + '\0',
         "\nTandrel Version 1.0.0\nInformation found in config file: \"" + passphrases +
             "\"\n Project: \"Web\"; Passphrase: \"secret\"",
         0},
    };
    for (const auto& c : cases) {
        testing::removeUserSettingKey(kSettingsKeyPath);
        if (c.kind) {
            ASSERT_TRUE(testing::writeRawUserSetting(kSettingsKeyPath, kSettingsValueName, *c.kind, c.bytes));
        }
        const auto run = runTool({"-config"}, dir.path());
        EXPECT_EQ(run.output, c.printed) << c.label;
        EXPECT_EQ(run.status, c.status) << c.label;
    }
}

TEST(Win32MappedFile, CommitLeavesATargetAloneThatWasOpenedMeanwhile) {
    TempDir dir;
    const std::string target = dir.file("target");
    writeBytes(target, "precious");
    MappedFile output;
    ASSERT_TRUE(output.createSized(target.c_str(), 3, true));
    ASSERT_TRUE(writeText(output, "new"));
    MappedFile reader;
    ASSERT_TRUE(reader.openRead(target.c_str(), true));
    bool committed = true;
    const auto printed = capturedOutput([&] { committed = output.commit(true); });
    EXPECT_FALSE(committed);
    EXPECT_EQ(printed, platform::kOpenFailedMessage);
    reader.close();
    EXPECT_EQ(readBytes(target), "precious");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target"});
}

// CreateFileA with CREATE_ALWAYS would not overwrite these, so they are
// never replaced either.
TEST(Win32MappedFile, RefusesTargetsThatCreateFileWouldNotOverwrite) {
    const struct {
        const char* label;
        std::uint32_t attributes;
        bool heldOpenForReading;
    } cases[] = {
        {"read-only", testing::kAttributeReadOnly, false},
        {"hidden", testing::kAttributeHidden, false},
        {"system", testing::kAttributeSystem, false},
        {"held open for reading", 0, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string target = dir.file("target");
        writeBytes(target, "precious");
        if (c.attributes != 0) {
            ASSERT_TRUE(testing::setFileAttributes(target, c.attributes)) << c.label;
        }
        MappedFile reader;
        if (c.heldOpenForReading) {
            ASSERT_TRUE(reader.openRead(target.c_str(), true)) << c.label;
        }
        MappedFile output;
        bool created = true;
        const auto printed = capturedOutput([&] { created = output.createSized(target.c_str(), 3, true); });
        EXPECT_FALSE(created) << c.label;
        EXPECT_EQ(printed, "\nERROR: Couldn't open file with CreateFile()\n") << c.label;
        reader.close();
        EXPECT_EQ(testing::fileAttributes(target) & c.attributes, c.attributes) << c.label;
        EXPECT_EQ(readBytes(target), "precious") << c.label;
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"target"}) << c.label;
        testing::setFileAttributes(target, testing::kAttributeNormal);  // so that it can be removed
    }
}

TEST(Win32MappedFile, ReplacedFileKeepsItsAttributes) {
    TempDir dir;
    const std::string target = dir.file("target");
    writeBytes(target, "old");
    const std::uint32_t asked = testing::kAttributeArchive | testing::kAttributeNotContentIndexed;
    ASSERT_TRUE(testing::setFileAttributes(target, asked));
    // Wine keeps only some attributes of a file: compare with what it kept.
    const std::uint32_t before = testing::fileAttributes(target) & asked;
    ASSERT_NE(before, 0u);
    const std::uint64_t oldFile = fileIndex(target);
    MappedFile output;
    ASSERT_TRUE(output.createSized(target.c_str(), 3, true));
    ASSERT_TRUE(writeText(output, "new"));
    ASSERT_TRUE(output.commit(true));
    EXPECT_EQ(testing::fileAttributes(target) & asked, before);
    // A file of this user's own loses nothing by being replaced, so it is.
    EXPECT_NE(fileIndex(target), oldFile);
    EXPECT_EQ(readBytes(target), "new");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target"});
}

// The temporary and backup names beside a target are longer than the
// target, so a target that CreateFileA accepts is not refused because of them.
TEST(Win32MappedFile, AcceptsATargetNearThePathLengthLimit) {
    TempDir dir;
    // A one-letter name in a folder whose path is just short enough. The
    // folders are made by their long names, since CreateDirectory would keep
    // room for a longer file name than "f".
    constexpr std::size_t kLongest = 259;  // MAX_PATH less its terminating NUL
    std::string folder = dir.path().string();
    while (folder.size() + 101 < kLongest - 2) {
        folder += "\\" + std::string(100, 'd');
        ASSERT_TRUE(fs::create_directory("\\\\?\\" + folder));
    }
    folder += "\\" + std::string(kLongest - 2 - folder.size() - 1, 'e');
    ASSERT_TRUE(fs::create_directory("\\\\?\\" + folder));
    const std::string target = folder + "\\f";
    ASSERT_EQ(target.size(), kLongest);
    const struct {
        const char* label;
        bool secondName;  // written in place then, which keeps the result aside until it is copied
        std::vector<std::string> names;
    } steps[] = {
        {"new", false, {"f"}},
        {"replaced", false, {"f"}},
        {"written in place", true, {"f", "g"}},
    };
    for (const auto& step : steps) {
        if (step.secondName) fs::create_hard_link(target, folder + "\\g");
        MappedFile file;
        ASSERT_TRUE(file.createSized(target.c_str(), std::strlen(step.label), true)) << step.label;
        ASSERT_TRUE(writeText(file, step.label));
        EXPECT_TRUE(file.commit(true)) << step.label;
        EXPECT_EQ(readBytes(target), step.label);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, step.names) << step.label;
    }
}

// The unfinished output deletes itself when the process ends, however it
// ends; the file it was to replace stays as it was.
TEST(Win32Encrypt, TerminatedRunLeavesNothingBehind) {
    TempDir dir;
    writeBytes(dir.file("passphrases.txt"), "\"Web\" \"correct horse\"\n");
    setConfigFileSetting(dir.file("passphrases.txt"));
    writeBytes(dir.file("big.bin"), std::string(8 << 20, 'b'));
    writeBytes(dir.file("out.tdl"), "old");
    ASSERT_TRUE(testing::terminateOnceNameAppears({TANDREL_EXE, "-encrypt", "out.tdl", "big.bin", "Web"},
                                                  dir.path().string(), dir.file(".tandrel-*")));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"big.bin", "out.tdl", "passphrases.txt"}));
    EXPECT_EQ(readBytes(dir.file("out.tdl")), "old");
}

TEST(Win32MappedFile, RefusesDevicesAsInputsAndOutputs) {
    for (const char* device : {"NUL", "CON", "con", "COM1"}) {
        MappedFile file;
        bool done = true;
        auto printed = capturedOutput([&] { done = file.openRead(device, true); });
        EXPECT_FALSE(done) << device;
        EXPECT_EQ(printed, platform::kOpenFailedMessage) << device;
        printed = capturedOutput([&] { done = file.createSized(device, 8, true); });
        EXPECT_FALSE(done) << device;
        EXPECT_EQ(printed, platform::kOpenFailedMessage) << device;
    }
}

void put32(std::string& file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
}

TEST(Win32Decrypt, StoredDeviceNamesAreRefused) {
    TempDir dir;
    fs::create_directory(dir.path() / "restored");
    writeBytes(dir.file("passphrases.txt"), "\"Web\" \"correct horse\"\n");
    setConfigFileSetting(dir.file("passphrases.txt"));
    writeBytes(dir.file("secret.txt"), "payload");
    ASSERT_EQ(runTool({"-encrypt", "secret.tdl", "secret.txt", "Web"}, dir.path()).status, 0);
    const std::string sound = readBytes(dir.file("secret.tdl"));
    const std::size_t names = 56 + std::strlen("secret.txt") + 1;

    const struct {
        std::string name;
        bool refused;
    } cases[] = {
        {"CON", true}, {"nul.txt", true}, {"Com1.tar.gz", true}, {"LPT9", true},
        {"aux .txt", true}, {"report.", true}, {"report ", true}, {"CONOUT$", true},
        {"COM10.txt", false},
    };
    for (const auto& c : cases) {
        std::string file = sound.substr(0, 56) + c.name + '\0' + sound.substr(names);
        put32(file, 48, static_cast<std::uint32_t>(c.name.size() + 1));
        writeBytes(dir.file("hostile.tdl"), file);
        const auto run = runTool({"-decrypt", dir.file("hostile.tdl")}, dir.path() / "restored");
        if (c.refused) {
            EXPECT_EQ(run.output, "\nERROR: Cannot create \"" + c.name + "\"") << c.name;
            EXPECT_EQ(run.status, 3) << c.name;
            EXPECT_TRUE(fs::is_empty(dir.path() / "restored")) << c.name;
        } else {
            EXPECT_EQ(run.output, "") << c.name;
            EXPECT_EQ(run.status, 0) << c.name;
            EXPECT_EQ(readBytes(dir.path() / "restored" / c.name), "payload") << c.name;
        }
    }
}

}  // namespace
}  // namespace tandrel::test
