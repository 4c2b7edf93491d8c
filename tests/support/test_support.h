// Operating-system services that only the tests need: running the built
// tool, writing its per-user setting, and making special files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tandrel::testing {

struct ProcessResult {
    bool started = false;
    int status = -1;     // exit status, or 128 + signal number
    std::string output;  // everything written to standard output and standard error
};

// Runs args[0] with the given arguments in workDir, standard input empty.
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
// Removes the key (or folder) with every value in it.
void removeUserSettingKey(const char* keyPath);
// Stores `bytes` exactly as given (no NUL added) as a value of the given
// kind, for settings the tool must turn down. False where settings are not
// typed values (POSIX keeps them in plain files).
enum class SettingKind { String, ExpandableString, Binary };
bool writeRawUserSetting(const char* keyPath, const char* valueName, SettingKind kind,
                         const std::string& bytes);

bool setEnvironmentVariable(const char* name, const char* value);
bool makeFifo(const std::string& path);
// Caps the size of files this process may write (for a child process).
bool limitFileSize(std::uint64_t bytes);
// Bytes of storage the file system has set aside for a file.
std::uint64_t allocatedBytes(const std::string& path);

}  // namespace tandrel::testing
