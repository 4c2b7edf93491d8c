#include "support/test_support.h"
#include "support/test_support_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace tandrel::testing {
namespace {

// Quotes one argument so that the runtime's command-line parser gives it
// back unchanged: backslashes are literal except before a quote, where each
// one must be doubled and the quote escaped.
void appendQuoted(std::string& line, const std::string& arg) {
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line.append(2 * backslashes + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
    }
    // The closing quote follows: the trailing backslashes must not escape it.
    line.append(2 * backslashes, '\\');
    line += '"';
}

// Starts args[0] in workDir with standard input from NUL and standard
// output and standard error both to `output`.
bool startProcess(const std::vector<std::string>& args, const std::string& workDir, HANDLE output,
                  PROCESS_INFORMATION& process) {
    if (args.empty()) return false;
    std::string commandLine;
    for (const auto& arg : args) {
        if (!commandLine.empty()) commandLine += ' ';
        appendQuoted(commandLine, arg);
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    // Under Wine on a busy machine a start now and then fails for no reason
    // of ours; a second try then succeeds.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) Sleep(200);
        started = CreateProcessA(args[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 workDir.c_str(), &startup, &process);
        if (!started) {
            std::fprintf(stderr, "startProcess: CreateProcess failed, error %lu\n", GetLastError());
        }
    }
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    return started != FALSE;
}

void closeProcess(PROCESS_INFORMATION& process) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// A file's owner as Windows reports it; empty when it cannot be read.
std::string ownerOf(const std::string& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::string text;
    char* sid = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) == ERROR_SUCCESS &&
        owner != nullptr && ConvertSidToStringSidA(owner, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    LocalFree(descriptor);
    return text;
}

constexpr const char* kUnixChown = "Z:\\usr\\bin\\chown";

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& args, const std::string& workDir) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process{};
    const bool started = startProcess(args, workDir, writeEnd, process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return result;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        result.output.append(buffer, got);
    }
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    closeProcess(process);
    result.started = true;
    result.status = static_cast<int>(exitCode);
    return result;
}

std::string printedForm(const std::string& text) {
    std::string bytes;
    for (const char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return bytes;
}

bool canGiveToUnixOwners() {
    const bool underWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    char user[64];
    DWORD size = sizeof user;
    return underWine && GetUserNameA(user, &size) && std::strcmp(user, "root") == 0 &&
           GetFileAttributesA(kUnixChown) != INVALID_FILE_ATTRIBUTES;
}

bool giveToUnixOwner(const std::string& folder, const std::string& name, const std::string& owner) {
    const std::string path = folder + "\\" + name;
    const std::string before = ownerOf(path);
    if (!runProcess({kUnixChown, owner, name}, folder).started) return false;
    for (int wait = 0; wait < 1000; ++wait) {
        if (ownerOf(path) != before) return true;
        Sleep(10);
    }
    return false;
}

// The registry has no per-process copy to point elsewhere; the tests run in
// a throwaway user profile (a fresh Wine prefix) instead.
void isolateUserSettings(const std::string&) {}

bool writeRawUserSetting(const char* keyPath, const char* valueName, SettingKind kind,
                         const std::string& bytes) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const DWORD type = kind == SettingKind::String           ? REG_SZ
                       : kind == SettingKind::ExpandableString ? REG_EXPAND_SZ
                                                               : REG_BINARY;
    const LONG status = RegSetValueExA(key, valueName, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                       static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool writeUserSetting(const char* keyPath, const char* valueName, const std::string& value) {
    return writeRawUserSetting(keyPath, valueName, SettingKind::String, std::string(value.c_str(), value.size() + 1));
}

void removeUserSetting(const char* keyPath, const char* valueName) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, valueName);
    RegCloseKey(key);
}

void removeUserSettingKey(const char* keyPath) { RegDeleteTreeA(HKEY_CURRENT_USER, keyPath); }

bool setEnvironmentVariable(const char* name, const char* value) {
    // Both the runtime's copy (getenv) and the process's (child processes).
    const bool runtime = _putenv_s(name, value == nullptr ? "" : value) == 0;
    return SetEnvironmentVariableA(name, value) != 0 && runtime;
}

bool makeFifo(const std::string&) { return false; }
bool limitFileSize(std::uint64_t) { return false; }

std::uint64_t allocatedBytes(const std::string& path) {
    DWORD high = 0;
    const DWORD low = GetCompressedFileSizeA(path.c_str(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

}  // namespace tandrel::testing
