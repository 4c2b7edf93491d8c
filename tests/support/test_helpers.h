// Small helpers shared by the test suites: scratch folders, whole-file reads
// and writes, captured standard output, and the services of the system.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

// ---- Operating-system services that only the tests need: running the built
// tool and writing its per-user setting. One file per
// system provides them.

namespace tandrel::testing {

struct ProcessResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string output;  // everything written to standard output and standard error
};

// Runs args[0] with the given arguments in workDir, standard input empty,
// through the shell, both outputs captured (POSIX).
ProcessResult runProcess(const std::vector<std::string>& args, const std::string& workDir);

// What text printed to standard output through the C runtime reaches a
// pipe or file as. POSIX passes it unchanged; on Windows standard output is
// in text mode, where each line feed is written as CR LF.
std::string printedForm(const std::string& text);

// Points the per-user settings at a private place for this test process, so
// that tests never read or change the real user's settings.
void isolateUserSettings(const std::string& root);
bool writeUserSetting(const char* keyPath, const char* valueName, const std::string& value);
void removeUserSetting(const char* keyPath, const char* valueName);
#ifdef _WIN32
// Removes the key with every value in it.
void removeUserSettingKey(const char* keyPath);
// Stores `bytes` exactly as given (no NUL added) as a value of the given
// kind, for settings the tool must turn down.
// WideString: the bytes are UTF-8, stored as the wide string they spell (Windows).
enum class SettingKind { String, ExpandableString, Binary, WideString };
bool writeRawUserSetting(const char* keyPath, const char* valueName, SettingKind kind,
                         const std::string& bytes);
#else
// Caps the size of files this process may write (for a child process).
bool limitFileSize(std::uint64_t bytes);
// Bytes of storage the file system has set aside for a file.
std::uint64_t allocatedBytes(const std::string& path);
// What the system refuses this process from now on, as a case's "refuse"
// line says ("fallocate": no reservation call, as on ext2); empty for nothing.
void refuse(const std::string& what);
#endif

bool setEnvironmentVariable(const char* name, const char* value);

}  // namespace tandrel::testing

namespace tandrel::test {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // Names of the entries in the folder, sorted.
    std::vector<std::string> entries() const;

private:
    fs::path path_;
};

std::string readBytes(const fs::path& path);
// Whether the stack below the caller still holds `pattern`, left there by
// calls that have returned.
bool stackHolds(const std::string& pattern);
// Descriptors this process has open, where the system lists them (else 0).
std::ptrdiff_t openDescriptorCount();
void writeBytes(const fs::path& path, const std::string& bytes);

// Appends `text` to an output made by PendingOutput::create().
bool writeText(platform::PendingOutput& file, const std::string& text);

// Runs `call` and returns what it printed on standard output. GoogleTest
// reads its capture back as text, so on Windows the line ends are LF here.
template <typename Call>
std::string capturedOutput(Call&& call) {
    ::testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// Points the tool's per-user setting at a passphrase file (or any text).
void setConfigFileSetting(const std::string& value);
void clearConfigFileSetting();

}  // namespace tandrel::test
