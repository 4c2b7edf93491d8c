// The Windows side of the tests: runs of the built tool and of the entry
// function, the per-user setting in the registry, and file attributes.
//
// A scenario's run is the entry function called in the test process itself,
// in the scratch folder, with standard output captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "cli/command_line.h"
#include "support/scenario.h"
#include "support/test_helpers.h"

#include "platform/windows_api.h"
#include <aclapi.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace tandrel::testing {
namespace {

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


// UTF-8, as the case files are written, in the wide form.
std::wstring widened(const std::string& utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

// The Japanese locale the prefix's maker builds, in which Wine's programs
// take code page 932; empty where there is none.
std::string japaneseLocales() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr) return {};
    const std::string folder = std::string(prefix) + "/locale";
    return std::filesystem::exists("Z:" + folder + "/ja_JP.UTF-8") ? folder : std::string();
}

// Wine names a file's owner after its Unix owner and keeps no other, so a
// file gets another owner ("user:group") from the Unix side, which only root
// may do.
bool canGiveToUnixOwners() {
    const bool underWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    char user[64];
    DWORD size = sizeof user;
    return underWine && GetUserNameA(user, &size) && std::strcmp(user, "root") == 0 &&
           GetFileAttributesA("Z:\\usr\\bin\\chown") != INVALID_FILE_ATTRIBUTES;
}

// Starts a Unix program, which Wine's command interpreter cannot, in
// `folder`. Wine does not wait for it: this waits until `done` holds, for at
// most a minute.
bool runUnix(const wchar_t* program, std::wstring commandLine, const std::string& folder,
             const std::function<bool()>& done) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const std::wstring where = widened(folder);
    // Under Wine on a busy machine a start now and then fails for no reason
    // of ours; a second try then succeeds.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) Sleep(200);
        started = CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, where.c_str(),
                                 &startup, &process) != 0;
    }
    if (!started) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int wait = 0; wait < 6000; ++wait) {
        if (done()) return true;
        Sleep(10);
    }
    return false;
}

bool giveToUnixOwner(const std::string& folder, const std::string& name, const std::string& owner) {
    const std::string path = folder + "\\" + name, before = ownerOf(path);
    return runUnix(L"Z:\\usr\\bin\\chown", widened("chown " + owner + " " + name), folder,
                   [&] { return ownerOf(path) != before; });
}

// Windows refuses to cut short a file that is mapped; under Wine the Unix
// side may, as a share that goes away takes pages from a view.
bool cutFromUnix(const std::string& folder, const std::string& name, const std::string& length) {
    return runUnix(L"Z:\\usr\\bin\\truncate", widened("truncate -s " + length + " " + name), folder, [&] {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExA((folder + "\\" + name).c_str(), GetFileExInfoStandard, &data) &&
               std::to_string(data.nFileSizeLow) == length && data.nFileSizeHigh == 0;
    });
}

// A Windows path as the Unix side names it (Wine's own call).
std::string unixPath(const std::filesystem::path& path) {
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    char* converted = convert != nullptr ? convert(std::filesystem::absolute(path).wstring().c_str()) : nullptr;
    const std::string named = converted != nullptr ? converted : "";
    HeapFree(GetProcessHeap(), 0, converted);
    return named;
}

}  // namespace

std::string printedForm(const std::string& text) {
    std::string bytes;
    for (const char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return bytes;
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
    if (kind == SettingKind::WideString) {
        const std::wstring wide = widened(bytes), name = widened(valueName);
        const LONG status = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.data()),
                                           static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
        RegCloseKey(key);
        return status == ERROR_SUCCESS;
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

}  // namespace tandrel::testing

namespace tandrel::test {

namespace {

// The built program started as a user's shell starts it, with its arguments
// in its wide command line (Wine makes it from the shell's UTF-8 words), in
// code page 932 when asked: Wine gives a program the code page of its Unix
// locale, which no Windows parent can change for its child.
EntryRun runProgram(const std::vector<std::string>& args, const fs::path& workDir, const EntryOptions& options) {
    EntryRun run;
    TempDir capture;
    const auto quoted = [](const std::string& word) { return "'" + word + "'"; };
    const char* wine = std::getenv("TANDREL_WINE");
    const std::string out = testing::unixPath(capture.path());
    std::string script = options.codePage == "932"
                             ? "LC_ALL=ja_JP.UTF-8 LOCPATH=" + quoted(testing::japaneseLocales()) + " "
                             : std::string();
    script += quoted(wine != nullptr ? wine : "/usr/lib/wine/wine64") + " " + quoted(TANDREL_EXE);
    for (const std::string& arg : args) script += " " + quoted(arg);
    script += " >" + quoted(out + "/stdout") + " 2>&1; echo $? >" + quoted(out + "/status.part") + " && mv " +
              quoted(out + "/status.part") + " " + quoted(out + "/status");
    const fs::path status = capture.path() / "status";
    if (!testing::runUnix(L"Z:\\bin\\sh", L"sh -c \"" + testing::widened(script) + L"\"", workDir.string(),
                          [&] { return fs::exists(status); })) {
        ADD_FAILURE() << "the program did not run";
        return run;
    }
    run.status = std::stoi(readBytes(status));
    run.output = readBytes(capture.path() / "stdout");
    return run;
}

}  // namespace

// What the run prints goes, byte for byte, to a file: GoogleTest's capture
// reads its file back as text, which would turn the runtime's CR LF into LF
// again. The file is in the mode standard output has in this process (text,
// unless something switched it), and is read back as bytes.
EntryRun runEntry(const std::vector<std::string>& args, const fs::path& workDir, const EntryOptions& options) {
    if (options.asProgram) return runProgram(args, workDir, options);
    EntryRun run;
    if (options.asNobody || options.stdoutClosed || options.whileWriting || !options.signalWhileWriting.empty()) {
        ADD_FAILURE() << "a run this system cannot make";
        return run;
    }
    std::vector<std::string> words{"tandrel"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    TempDir capture;
    const int file = _open(capture.file("stdout").c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (file == -1) {
        ADD_FAILURE() << "cannot capture standard output";
        return run;
    }
    const fs::path previous = fs::current_path();
    fs::current_path(workDir);
    std::fflush(stdout);
    const int saved = _dup(_fileno(stdout));
    _setmode(file, _setmode(_fileno(stdout), _O_TEXT));  // _setmode answers with the mode it replaced
    _dup2(file, _fileno(stdout));
    _close(file);
    run.status = runCommandLine(static_cast<int>(words.size()), argv.data());
    std::fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
    fs::current_path(previous);
    run.output = readBytes(capture.file("stdout"));
    return run;
}

std::string unsupportedHere(const Scenario& scenario) {
    const std::string posixOnly =
        " user during stdout temporaries ignore block limit refuse lock append-only xattr acl expect-owner expect-xattrs symlink fifo ";
    for (const ScenarioLine& line : scenario.lines) {
        const std::string& verb = line.words[0];
        if (verb == "system" && line.words.at(1) != "windows") return "for another system";
        if (posixOnly.find(" " + verb + " ") != std::string::npos) return "'" + verb + "' is for POSIX systems";
        if (verb == "owner" && !testing::canGiveToUnixOwners()) return "'owner' needs Wine, run as root";
        if (verb == "codepage" && testing::japaneseLocales().empty()) return "no Japanese locale for Wine";
    }
    return {};
}

bool systemHasPermissionBits() { return false; }

std::uint64_t fileIndex(const fs::path& path) {
    const HANDLE file = CreateFileA(path.string().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known ? (std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) : 0;
}

namespace {

// A file's access list in SDDL; empty when it cannot be read.
std::string accessOf(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    const bool read = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                            nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                      ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::string list = read ? text : "";
    LocalFree(text);
    LocalFree(descriptor);
    return list;
}

}  // namespace

bool systemLine(const ScenarioLine& line, const fs::path& work) {
    const std::string& verb = line.words[0];
    if (verb == "owner") return testing::giveToUnixOwner(work.string(), line.words.at(1), line.words.at(2));
    // Wine keeps of an access list what the Unix mode bits can hold, so a case
    // compares two files' lists as Windows reads them back.
    if (verb == "same-access") {
        const std::string list = accessOf((work / line.words.at(1)).string());
        return !list.empty() && list == accessOf((work / line.words.at(2)).string());
    }
    if (verb == "access") {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const bool set = ConvertStringSecurityDescriptorToSecurityDescriptorA(line.words.at(2).c_str(), SDDL_REVISION_1,
                                                                              &descriptor, nullptr) &&
                         SetFileSecurityA((work / line.words.at(1)).string().c_str(), DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
        return set;
    }
    if (verb == "truncate") return testing::cutFromUnix(work.string(), line.words.at(1), line.words.at(2));
    if (verb != "attributes" && verb != "expect-attributes") return false;
    const std::string path = (work / line.words.at(1)).string();
    const auto attributes = static_cast<DWORD>(std::stoul(line.words.at(2), nullptr, 0));
    if (verb == "attributes") return SetFileAttributesA(path.c_str(), attributes) != 0;
    return verb == "expect-attributes" && (GetFileAttributesA(path.c_str()) & attributes) == attributes;
}

}  // namespace tandrel::test
