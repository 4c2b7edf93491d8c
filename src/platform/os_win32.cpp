// Windows implementation of the platform layer: file mappings for files, the
// current user's registry for settings.
#include "platform/platform.h"
#include "platform/pending_outputs.h"
#include "platform/processor.h"

#include <cstdio>
#include <cstring>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#define TANDREL_MSVC_X86 1
#include <emmintrin.h>
#include <intrin.h>
#endif

namespace tandrel::platform {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

void say(bool report, const char* message) {
    if (report) std::printf("%s", message);
}

// The messages are bytes, as on every other system: without this the
// runtime would write a CR before each LF.
const bool standardOutputIsBinary = _setmode(_fileno(stdout), _O_BINARY) != -1;

HANDLE handleOf(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t valueOf(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// ---- Outputs that an interrupt must not leave behind ----------------------

BOOL WINAPI removePendingOnInterrupt(DWORD) {
    // The output is still open here; it was opened with delete sharing,
    // so the file goes as soon as the process lets go of it.
    removePendingOutputs([](const char* path) { DeleteFileA(path); });
    return FALSE;  // the default handler then ends the process
}

void installInterruptHandlingOnce() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    SetConsoleCtrlHandler(removePendingOnInterrupt, TRUE);
}

// The folder part of a path, separator included; "C:" for a drive-relative
// name, so that the temporary file lands where the target will.
std::string directoryOf(const std::string& path) {
    const auto separator = path.find_last_of("\\/");
    if (separator != std::string::npos) return path.substr(0, separator + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return {};
}

bool endsInSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

// A device name never becomes a file. An existing target is replaced only
// if nobody holds it open without write sharing: the inputs and the
// passphrase file are open for reading with read sharing only, under
// whatever name they were opened, so this refuses them. The probe changes
// nothing; a target that does not exist yet passes.
bool targetMayBeReplaced(const char* path) {
    const char* leaf = path + std::strlen(path);
    while (leaf > path && leaf[-1] != '\\' && leaf[-1] != '/' && leaf[-1] != ':') --leaf;
    if (isReservedFileName(leaf)) return false;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
    const HANDLE probe = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    const bool diskFile = GetFileType(probe) == FILE_TYPE_DISK;
    CloseHandle(probe);
    return diskFile;
}

// Makes a new, uniquely named file in `directory`, retrying on a clash with
// a file another run left or is still writing.
HANDLE createTemporaryIn(const std::string& directory, std::string& name) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char leaf[64];
        std::snprintf(leaf, sizeof leaf, ".tandrel-%lu-%u-%llu", GetCurrentProcessId(), ++counter,
                      static_cast<unsigned long long>(GetTickCount64()));
        name = directory + leaf;
        const HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    name.clear();
    return INVALID_HANDLE_VALUE;
}

}  // namespace

MappedFile::~MappedFile() { close(); }

bool MappedFile::openRead(const char* path, bool report) {
    close();
    readOnly_ = true;
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say(report, kOpenFailedMessage);
        return false;
    }
    // Devices such as NUL or CON open like files; only disk files count.
    LARGE_INTEGER length{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &length)) {
        CloseHandle(file);
        say(report, kOpenFailedMessage);
        return false;
    }
    const auto bytes = static_cast<std::uint64_t>(length.QuadPart);
    if (bytes == 0) {
        CloseHandle(file);
        say(report, kMappingFailedMessage);
        return false;
    }
    if (bytes >= kFourGiB) {
        CloseHandle(file);
        say(report, kTooLargeMessage);
        return false;
    }
    const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        CloseHandle(file);
        say(report, kMappingFailedMessage);
        return false;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(mapping);
        CloseHandle(file);
        say(report, kViewFailedMessage);
        return false;
    }
    file_ = valueOf(file);
    mapping_ = valueOf(mapping);
    view_ = static_cast<std::uint8_t*>(view);
    size_ = static_cast<std::uint32_t>(bytes);
    return true;
}

bool MappedFile::createSized(const char* path, std::uint32_t length, bool report) {
    close();
    readOnly_ = false;
    const std::string target = path;
    if (target.empty() || endsInSeparator(target) || !targetMayBeReplaced(path)) {
        say(report, kOpenFailedMessage);
        return false;
    }
    installInterruptHandlingOnce();

    std::string temporary;
    const HANDLE file = createTemporaryIn(directoryOf(target), temporary);
    if (file == INVALID_HANDLE_VALUE) {
        say(report, kOpenFailedMessage);
        return false;
    }
    if (!rememberPendingOutput(temporary)) {
        CloseHandle(file);
        DeleteFileA(temporary.c_str());
        say(report, kOpenFailedMessage);
        return false;
    }
    file_ = valueOf(file);
    temporaryPath_ = temporary;
    targetPath_ = target;

    // Setting the length now turns a full disk into a clean failure here
    // instead of a fault while writing through the view.
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(length);
    if (length == 0 || !SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        close();
        say(report, kMappingFailedMessage);
        return false;
    }
    const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (mapping == nullptr) {
        close();
        say(report, kMappingFailedMessage);
        return false;
    }
    mapping_ = valueOf(mapping);
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (view == nullptr) {
        close();
        say(report, kViewFailedMessage);
        return false;
    }
    view_ = static_cast<std::uint8_t*>(view);
    size_ = length;
    return true;
}

bool MappedFile::commit(bool report) {
    if (readOnly_ || view_ == nullptr || temporaryPath_.empty()) return false;
    const HANDLE file = handleOf(file_);
    bool written = FlushViewOfFile(view_, 0) != 0;
    UnmapViewOfFile(view_);
    view_ = nullptr;
    CloseHandle(handleOf(mapping_));
    mapping_ = 0;
    written = FlushFileBuffers(file) != 0 && written;
    CloseHandle(file);
    file_ = -1;
    // The rename fails, leaving the target alone, while anyone holds the
    // target open without delete sharing.
    if (!written || !MoveFileExA(temporaryPath_.c_str(), targetPath_.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        close();
        say(report, kOpenFailedMessage);
        return false;
    }
    forgetPendingOutput(temporaryPath_);
    temporaryPath_.clear();
    close();
    return true;
}

void MappedFile::close() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != 0) CloseHandle(handleOf(mapping_));
    if (file_ != -1) CloseHandle(handleOf(file_));
    discardTemporary();
    view_ = nullptr;
    mapping_ = 0;
    file_ = -1;
    size_ = 0;
    targetPath_.clear();
}

void MappedFile::discardTemporary() {
    if (temporaryPath_.empty()) return;
    DeleteFileA(temporaryPath_.c_str());
    forgetPendingOutput(temporaryPath_);
    temporaryPath_.clear();
}

// ---- Per-user settings -----------------------------------------------------

bool readUserSetting(const char* keyPath, const char* valueName, char* out,
                     std::size_t capacity) {
    if (capacity == 0 || capacity > MAXDWORD) return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(capacity);
    const LONG status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    // A string may have been stored without its NUL; it must still fit,
    // with one, and never be read past its end.
    if (size > 0 && out[size - 1] == '\0') return true;
    if (size >= capacity) return false;
    out[size] = '\0';
    return true;
}

// Windows keeps these names for devices in every folder, whatever follows
// the first dot and whatever blanks or dots end the stem.
bool isReservedFileName(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) return true;
    std::size_t stem = std::strcspn(name, ".");
    while (stem > 0 && (name[stem - 1] == ' ' || name[stem - 1] == '.')) --stem;
    char upper[8] = {};
    if (stem == 0 || stem >= sizeof upper) return false;
    for (std::size_t i = 0; i < stem; ++i) {
        const char c = name[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (std::strcmp(upper, device) == 0) return true;
    }
    if (stem == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0)) {
        // Digits, and the superscript digits one to three of the ANSI page.
        const auto digit = static_cast<unsigned char>(upper[3]);
        return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

// ---- Processor -------------------------------------------------------------

bool processorHasSse2() {
#ifdef TANDREL_MSVC_X86
    // The query and one SSE2 instruction each run under a handler: an old
    // processor may fault on the first, an operating system that does not
    // save the XMM registers on the second.
    bool reported = false;
    __try {
        reported = featureQueryReportsSse2();
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return false;
    }
    if (!reported) return false;
    __try {
        volatile __m128i zero = _mm_setzero_si128();
        (void)zero;
    } __except (GetExceptionCode() == EXCEPTION_ILLEGAL_INSTRUCTION ? EXCEPTION_EXECUTE_HANDLER
                                                                      : EXCEPTION_CONTINUE_SEARCH) {
        return false;
    }
    return true;
#else
    // GCC offers no structured exception handling, so the feature query
    // alone decides. Every x86-64 processor and every Windows that runs this
    // build supports SSE2, so the query cannot fault and the answer holds.
    return featureQueryReportsSse2();
#endif
}

std::uint32_t processId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

}  // namespace tandrel::platform
