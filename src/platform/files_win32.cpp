// Windows files: names in their long wide form, inputs opened and mapped
// (a page a view lost becomes zeros instead of an exception), and what
// stands at an output's name, looked at without changing anything.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/names_win32.h"
#include "platform/os.h"
#include "platform/os_win32.h"
#include "platform/platform.h"

namespace tandrel::platform::os {

FileId identityIn(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

namespace {

// The full form of a name, from the folder this process is in.
std::wstring fullName(const std::string& name) {
    std::wstring wide;
    if (!wideFromCodePage(name, wide) || wide.empty()) return {};
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length = needed == 0 ? 0 : GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
    return full;
}

}  // namespace

// A name in the form the wide functions take at any length: full, with the
// "\\?\" prefix that lifts the MAX_PATH limit. The temporary names beside
// a target are longer than the target, so a target that is
// just short enough would otherwise leave no room for them. The prefix also
// turns off the cleaning of the name, which fullName() has done.
std::wstring longName(const std::string& name) {
    const std::wstring full = fullName(name);
    if (full.empty() || full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool exists(const std::string& path) {
    return GetFileAttributesW(longName(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool deleteByName(const std::string& path) { return DeleteFileW(longName(path).c_str()) != 0; }

namespace {

// The reparse tag of the file at `path` itself, not of what it names.
bool reparseTagOf(const char* path, DWORD& tag) {
    const HANDLE file =
        CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO info{};
    const bool read = GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info) != 0;
    CloseHandle(file);
    tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info.ReparseTag : 0;
    return read;
}

// Resolves a followed link to the file it names, where the result goes.
bool resolveLink(const char* path, Target& target) {
    const HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // The wide form, converted exactly: the narrow call would turn a name
    // the code page lacks into a look-alike of another file.
    const DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    std::wstring resolved(needed, L'\0');
    const DWORD length =
        needed == 0 ? 0 : GetFinalPathNameByHandleW(file, resolved.data(), needed, FILE_NAME_NORMALIZED);
    CloseHandle(file);
    std::string bytes;
    if (length == 0 || length >= needed || !codePageFromWide(resolved.c_str(), bytes, nullptr)) return false;
    splitPath(bytes, target.directory, target.leaf);
    return true;
}

// The facts of a file that is no link (or a link's resolved file), opened
// for writing to prove that the user may write it as it is. The probe fails
// while someone holds the file open without write sharing: the inputs and
// the passphrase file of this run, under whatever name they were opened.
void inspectFile(const std::string& path, Target& target) {
    const HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info{};
    // Devices open like files; only disk files count. The probe has followed
    // any link, so a reparse point it reached holds a file's content.
    target.regularFile = GetFileType(probe) == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(probe);
    // CreateFileA would not truncate a read-only, hidden or system file in
    // place, so such a file is not replaced either.
    constexpr DWORD kProtecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    target.writable = target.regularFile && (info.dwFileAttributes & kProtecting) == 0;
    target.id = identityIn(info);
    target.manyLinks = info.nNumberOfLinks > 1;
}

}  // namespace

// A page of an input view that its file cannot deliver (a share gone, a
// device removed; under Wine, a file cut short) raises an exception that
// would end the process. The whole view is put back as zeros at the same
// address instead and marked as cut: the reader finishes its pass and the
// run fails on the mark. Windows reports such a page as an in-page error,
// Wine as an access violation; either is a read inside a watched view.
LONG WINAPI onLostPage(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const bool lost = record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR || record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION;
    if (!lost || record.NumberParameters < 2 || record.ExceptionInformation[0] != 0) return EXCEPTION_CONTINUE_SEARCH;
    WatchedView* view = watchedViewHolding(static_cast<std::uintptr_t>(record.ExceptionInformation[1]));
    if (view == nullptr || view->zeroed.load()) return EXCEPTION_CONTINUE_SEARCH;
    void* at = const_cast<std::uint8_t*>(view->base.load());
    if (!UnmapViewOfFile(at)) return EXCEPTION_CONTINUE_SEARCH;
    view->zeroed.store(true);
    view->cut.store(true);
    const auto length = static_cast<SIZE_T>(view->length.load());
    return VirtualAlloc(at, length, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY) == at ? EXCEPTION_CONTINUE_EXECUTION
                                                                                  : EXCEPTION_CONTINUE_SEARCH;
}

// ---- Reading -------------------------------------------------------------------

bool openForReading(const char* path, Handle& file) {
    const HANDLE opened = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return false;
    // Devices such as NUL or CON open like files; only disk files count.
    if (GetFileType(opened) != FILE_TYPE_DISK) {
        CloseHandle(opened);
        return false;
    }
    file = valueOf(opened);
    return true;
}

bool lengthOf(Handle file, std::uint64_t& length) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handleOf(file), &size)) return false;
    length = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

FileId identityOf(Handle file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handleOf(file), &info)) return {};
    return identityIn(info);
}

bool createReadMapping(Handle file, Handle& mapping) {
    // NULL, not INVALID_HANDLE_VALUE, on failure.
    const HANDLE made = CreateFileMappingA(handleOf(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (made == nullptr) return false;
    mapping = valueOf(made);
    return true;
}

const std::uint8_t* mapView(Handle, Handle mapping, std::uint64_t) {
    return static_cast<const std::uint8_t*>(MapViewOfFile(handleOf(mapping), FILE_MAP_READ, 0, 0, 0));
}

void unmapView(const std::uint8_t* view, std::uint64_t) {
    const WatchedView* slot = watchedView(view);
    if (slot != nullptr && slot->zeroed.load()) {
        VirtualFree(const_cast<std::uint8_t*>(view), 0, MEM_RELEASE);
    } else {
        UnmapViewOfFile(view);
    }
}

// A read call rather than the view: a failed read leaves zeros and marks the
// view as cut, without an exception. Pieces are far below 4 GiB.
void copyFromFile(Handle file, const std::uint8_t* view, std::uint64_t offset, std::uint8_t* to, std::size_t length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(file), to, static_cast<DWORD>(length), &got, &at)) got = 0;
    if (got == length) return;
    std::memset(to + got, 0, length - got);
    if (WatchedView* slot = watchedView(view)) slot->cut.store(true);
}

void closeHandle(Handle handle) {
    if (handle != kNone && handle != 0) CloseHandle(handleOf(handle));
}

// ---- What stands at an output's name -------------------------------------------

Target inspectTarget(const char* path, bool followLink) {
    Target target;
    splitPath(path, target.directory, target.leaf);
    // Device names are never opened, not even to look at them.
    if (isReservedFileName(target.leaf.c_str())) {
        target.unusable = true;
        return target;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        target.unusable = GetLastError() != ERROR_FILE_NOT_FOUND;
        return target;
    }
    target.exists = true;
    DWORD tag = 0;
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_REPARSE_POINT &&
        !reparseTagOf(path, tag)) {
        target.unusable = true;
        return target;
    }
    // Only a reparse point that stands for another name is a link (making
    // one takes a privilege here): replaced itself, or followed to the file
    // it names. Others (deduplicated, compressed or cloud files) hold an
    // ordinary file's content in their own way.
    const bool link = IsReparseTagNameSurrogate(tag) != 0;
    if (link && !followLink) {
        target.link = true;
    } else if (link && !resolveLink(path, target)) {
        target.unusable = true;
    } else {
        inspectFile(target.directory + target.leaf, target);
    }
    return target;
}

void splitPath(const std::string& path, std::string& directory, std::string& leaf) {
    auto end = static_cast<std::size_t>(afterLastSeparator(path.c_str()) - path.c_str());
    if (end == 0 && path.size() >= 2 && path[1] == ':') end = 2;
    directory = path.substr(0, end);
    leaf = path.substr(end);
}

bool endsInSeparator(const std::string& path) { return !path.empty() && *afterLastSeparator(path.c_str()) == '\0'; }

}  // namespace tandrel::platform::os
