// Windows system calls under the platform layer: file mappings for inputs,
// outputs written to a file beside the target that deletes itself until it
// is published, the current user's registry for settings.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>

#include "platform/os.h"
#include "platform/pending_outputs.h"
#include "platform/platform.h"
#include "platform/processor.h"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#define TANDREL_MSVC_X86 1
#include <emmintrin.h>
#include <intrin.h>
#endif

namespace tandrel::platform {
namespace os {
namespace {

HANDLE handleOf(Handle value) { return reinterpret_cast<HANDLE>(value); }
Handle valueOf(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

FileId identityIn(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// The full form of a name, from the folder this process is in.
std::wstring fullName(const std::string& name) {
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, nullptr, 0);
    if (wideLength <= 1) return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide.data(), wideLength);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length = needed == 0 ? 0 : GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
    return full;
}

// A name in the form the wide functions take at any length: full, with the
// "\\?\" prefix that lifts the MAX_PATH limit. The temporary and backup
// names beside a target are longer than the target, so a target that is
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

bool moveByName(const std::string& from, const std::string& to, DWORD flags) {
    return MoveFileExW(longName(from).c_str(), longName(to).c_str(), flags) != 0;
}

// ---- Interrupts ----------------------------------------------------------------
// The console handler runs on a thread of its own while the main thread goes
// on. Publishing holds this lock, so that the handler never removes a file
// halfway through a replacement; the handler takes it for good, since the
// process ends once it returns.
SRWLOCK publishing = SRWLOCK_INIT;

class PublishingHeld {
public:
    PublishingHeld() { AcquireSRWLockExclusive(&publishing); }
    ~PublishingHeld() { ReleaseSRWLockExclusive(&publishing); }
    PublishingHeld(const PublishingHeld&) = delete;
    PublishingHeld& operator=(const PublishingHeld&) = delete;
};

void removeByName(std::intptr_t, const char* path) { deleteByName(path); }

// Temporary files that carry a delete disposition go with the process by
// themselves; only those living by their name alone are removed here.
BOOL WINAPI removePendingOnInterrupt(DWORD) {
    AcquireSRWLockExclusive(&publishing);
    removePendingOutputs(removeByName);
    return FALSE;  // the default handler then ends the process
}

// ---- Temporary files -------------------------------------------------------------

// Only new, not secret: CREATE_NEW refuses a name that exists.
std::string temporaryLeaf() {
    static unsigned counter = 0;
    const auto mixed = ((static_cast<unsigned long long>(GetCurrentProcessId()) << 20) ^ GetTickCount64()) +
                       ++counter * 0x9e3779b9ull;
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, ".tandrel-%08llx", mixed & 0xffffffffull);
    return leaf;
}

constexpr int kNameAttempts = 100;

// With the disposition set the file is deleted when its last handle closes,
// however the process ends: interrupted, its console closed, or terminated.
bool setDeleteOnClose(Handle file, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handleOf(file), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A file that lives by its name alone is recorded, so that an interrupt or
// discard() removes it by name.
bool rememberName(Temporary& temporary) {
    temporary.pending = rememberPendingOutput(0, temporary.name);
    return temporary.pending;
}

void forgetName(Temporary& temporary) {
    if (temporary.pending) forgetPendingOutput(0, temporary.name);
    temporary.pending = false;
}

// From here the file lives by its name until it is published, kept or
// discarded.
bool liveByName(Temporary& temporary) {
    if (temporary.pending) return true;
    if (rememberName(temporary) && setDeleteOnClose(temporary.file, false)) return true;
    forgetName(temporary);
    return false;
}

// NTFS allocates a file's clusters when its end is set, so a full disk
// fails here. (Wine leaves the file sparse and has no allocation call;
// there a full disk fails when the bytes are written, just as cleanly.)
bool setEnd(HANDLE file, std::uint64_t length) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Copies the first `length` bytes of `source` over the start of `destination`.
bool copyInto(HANDLE destination, HANDLE source, std::uint64_t length) {
    std::uint8_t buffer[64 * 1024];
    for (std::uint64_t offset = 0; offset < length; offset += sizeof buffer) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const auto piece = static_cast<DWORD>(std::min<std::uint64_t>(sizeof buffer, length - offset));
        DWORD got = 0;
        DWORD put = 0;
        if (!ReadFile(source, buffer, piece, &got, &at) || got != piece ||
            !WriteFile(destination, buffer, piece, &put, &at) || put != piece) {
            return false;
        }
    }
    return true;
}

// Replaces the file at `path` by the finished one. ReplaceFile keeps the
// replaced file's access list and attributes. It is given a backup
// name: Wine's ReplaceFile without one fails for a name without a folder
// and, when the replaced file is held open, leaves a stray "rf*.tmp" file in
// the folder; with one, every failure leaves both files under a name. The
// flags stay 0: REPLACEFILE_WRITE_THROUGH is documented as unsupported, and
// merge errors must fail rather than lose the access list.
bool replaceExisting(const Temporary& temporary, const std::string& path, bool& oldFileAside) {
    const std::string backup = temporary.name + ".old";
    oldFileAside = false;
    if (exists(backup)) return false;
    if (ReplaceFileW(longName(path).c_str(), longName(temporary.name).c_str(), longName(backup).c_str(), 0, nullptr,
                     nullptr)) {
        deleteByName(backup);
        return true;
    }
    // Some failures leave the replaced file under the backup name.
    oldFileAside = exists(backup) && !moveByName(backup, path, MOVEFILE_WRITE_THROUGH);
    return false;
}

// Whether two files, open with READ_CONTROL, have different owners. A file
// whose owner cannot be read (a file system without security) counts as
// having the same one.
bool ownersDiffer(HANDLE first, HANDLE second) {
    PSID owners[2] = {};
    PSECURITY_DESCRIPTOR descriptors[2] = {};
    const HANDLE files[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        if (GetSecurityInfo(files[i], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owners[i], nullptr, nullptr,
                            nullptr, &descriptors[i]) != ERROR_SUCCESS) {
            owners[i] = nullptr;
        }
    }
    const bool differ = owners[0] != nullptr && owners[1] != nullptr && !EqualSid(owners[0], owners[1]);
    LocalFree(descriptors[0]);
    LocalFree(descriptors[1]);
    return differ;
}

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
    char resolved[MAX_PATH + 8];
    const DWORD length = GetFinalPathNameByHandleA(file, resolved, sizeof resolved, FILE_NAME_NORMALIZED);
    CloseHandle(file);
    if (length == 0 || length >= sizeof resolved) return false;
    splitPath(resolved, target.directory, target.leaf);
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

void prepareProcess() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    SetConsoleCtrlHandler(removePendingOnInterrupt, TRUE);
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

void unmapView(const std::uint8_t* view, std::uint64_t) { UnmapViewOfFile(view); }

// Views whose file could not deliver bytes that a read asked for.
const std::uint8_t* cutViews[8] = {};

// A read call rather than the view: a page of a view that cannot be read (a
// network share gone, a device removed) raises an exception that would end
// the process, where a failed read leaves zeros and marks the view as cut,
// so that the run fails cleanly. Pieces are far below 4 GiB.
void copyFromFile(Handle file, const std::uint8_t* view, std::uint64_t offset, std::uint8_t* to, std::size_t length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(file), to, static_cast<DWORD>(length), &got, &at)) got = 0;
    if (got == length) return;
    std::memset(to + got, 0, length - got);
    if (viewWasCut(view)) return;
    const auto place = std::find(std::begin(cutViews), std::end(cutViews), nullptr);
    // With no free place left, the first one stands for this view too.
    *(place != std::end(cutViews) ? place : std::begin(cutViews)) = view;
}

void closeHandle(Handle handle) {
    if (handle != kNone && handle != 0) CloseHandle(handleOf(handle));
}

// A mapped file cannot be cut short on Windows (SetEndOfFile fails while a
// view of it exists); only a failed read marks a view as cut.
void watchView(const std::uint8_t*, std::uint64_t) {}
bool viewWasCut(const std::uint8_t* view) {
    return std::find(std::begin(cutViews), std::end(cutViews), view) != std::end(cutViews);
}
void stopWatchingView(const std::uint8_t* view) {
    std::replace(std::begin(cutViews), std::end(cutViews), view, static_cast<const std::uint8_t*>(nullptr));
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

// ---- Threads -------------------------------------------------------------------

namespace {

struct ThreadStart {
    void (*work)(void*);
    void* context;
};

DWORD WINAPI runThread(LPVOID start) {
    const ThreadStart what = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    what.work(what.context);
    return 0;
}

}  // namespace

// Windows delivers no interrupts to a thread: a console event runs on a
// thread of the system's own.
bool startThread(void (*work)(void*), void* context, std::intptr_t& thread) {
    auto* start = new (std::nothrow) ThreadStart{work, context};
    if (start == nullptr) return false;
    const HANDLE made = CreateThread(nullptr, 0, runThread, start, 0, nullptr);
    if (made == nullptr) {
        delete start;
        return false;
    }
    thread = reinterpret_cast<std::intptr_t>(made);
    return true;
}

void joinThread(std::intptr_t thread) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

// ---- Outputs -------------------------------------------------------------------

bool createTemporary(const std::string& directory, bool, Temporary& temporary) {
    // An interrupt waits until the new file carries its delete disposition
    // or is recorded by name: between the two it would be left behind.
    const PublishingHeld held;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary.name = directory + temporaryLeaf();
        // Delete sharing lets an interrupt remove a file that lives by its
        // name (below) while it is still open.
        const HANDLE file =
            CreateFileW(longName(temporary.name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL,
                        FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            temporary.file = valueOf(file);
            // Where the file system has no delete disposition, the file is
            // recorded by name instead.
            if (setDeleteOnClose(temporary.file, true) || rememberName(temporary)) return true;
            CloseHandle(file);
            deleteByName(temporary.name);
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    temporary.file = kNone;
    temporary.name.clear();
    return false;
}

// Outputs are written as they come, so there is nothing to hold back.
bool reserve(Temporary& temporary, std::uint64_t length, WriteBehind) {
    return setEnd(handleOf(temporary.file), length);
}

bool writeAt(Temporary& temporary, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length) {
    while (length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD put = 0;
        const auto piece = static_cast<DWORD>(std::min<std::uint64_t>(length, 1u << 30));
        if (!WriteFile(handleOf(temporary.file), data, piece, &put, &at) || put == 0) return false;
        data += put;
        offset += put;
        length -= put;
    }
    return true;
}

bool makeDurable(Temporary& temporary) { return FlushFileBuffers(handleOf(temporary.file)) != 0; }

// The finished file has the owner this process gives new files, and
// ReplaceFile keeps the replaced file's access list but not its owner, so a
// file of another owner is written in place instead. That owner is read from
// the temporary file itself rather than taken from the process token: Wine
// reports the token's primary group as its owner but gives new files the
// user.
//
// ReplaceFile keeps the replaced file's attributes on Windows itself; Wine's
// keeps none, so those that describe the content's handling are set here
// too. Read-only, hidden and system files are never replaced, and a new
// content always needs archiving.
bool carryOver(Temporary& temporary, const Target& target) {
    if (!target.exists || target.link) return true;
    const HANDLE replaced = CreateFileA((target.directory + target.leaf).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (replaced == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool renameKeepsAll =
        GetFileInformationByHandle(replaced, &info) && !ownersDiffer(replaced, handleOf(temporary.file));
    CloseHandle(replaced);
    if (!renameKeepsAll) return false;
    constexpr DWORD kKept = FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes = (info.dwFileAttributes & kKept) | FILE_ATTRIBUTE_ARCHIVE;
    return SetFileInformationByHandle(handleOf(temporary.file), FileBasicInfo, &basic, sizeof basic) != 0;
}

bool publishByRename(Temporary& temporary, const Target& target) {
    const PublishingHeld held;
    if (!liveByName(temporary)) return false;
    closeHandle(temporary.file);
    temporary.file = kNone;
    const std::string path = target.directory + target.leaf;
    bool published = false;
    bool oldFileAside = false;
    if (target.exists && !target.link) {
        published = replaceExisting(temporary, path, oldFileAside);
    } else {
        // A link is replaced itself; a new name must still be free.
        const DWORD replace = target.link ? MOVEFILE_REPLACE_EXISTING : 0;
        published = moveByName(temporary.name, path, MOVEFILE_WRITE_THROUGH | replace);
    }
    // When the old file is left under the backup name, the target's name is
    // empty or taken by another file, and the new file is kept beside it
    // rather than removed: both are named to the user.
    if (oldFileAside) {
        temporary.keptAs = temporary.name;
        temporary.oldKeptAs = temporary.name + ".old";
    }
    if (published || oldFileAside) {
        forgetName(temporary);
        temporary.name.clear();
    }
    return published;
}

// A file that a replacement would take something from (another name, its
// owner) is written in place: the finished file keeps a name beside it (its
// delete disposition cleared) until the copy is complete.
bool publishInPlace(Temporary& temporary, const Target& target, std::uint64_t length) {
    const PublishingHeld held;
    const HANDLE destination =
        CreateFileA((target.directory + target.leaf).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (destination == INVALID_HANDLE_VALUE) return false;
    // The name is opened again, so it must still reach the file that was
    // inspected, not one swapped in under it meanwhile.
    BY_HANDLE_FILE_INFORMATION opened{};
    const bool same = GetFileInformationByHandle(destination, &opened) && identityIn(opened) == target.id;
    // A longer result takes its space before any byte is overwritten, so a
    // full disk fails while the old content is whole: a failed extension
    // leaves the file as it was, and discard() removes the temporary file.
    LARGE_INTEGER size{};
    if (!same || !liveByName(temporary) || !GetFileSizeEx(destination, &size) ||
        (static_cast<std::uint64_t>(size.QuadPart) < length && !setEnd(destination, length))) {
        CloseHandle(destination);
        return false;
    }
    const bool copied = copyInto(destination, handleOf(temporary.file), length) && setEnd(destination, length) &&
                        FlushFileBuffers(destination);
    CloseHandle(destination);
    // The file goes through the handle that made it: in a folder where the
    // user may make files but not delete them, only that handle may.
    const bool removed = copied && setDeleteOnClose(temporary.file, true);
    closeHandle(temporary.file);
    temporary.file = kNone;
    // Once the copy has begun, a failure leaves the target part new; the
    // whole result then stays under its temporary name.
    if (copied && !removed) deleteByName(temporary.name);
    if (!copied) temporary.keptAs = temporary.name;
    forgetName(temporary);
    temporary.name.clear();
    return copied;
}

void discard(Temporary& temporary) {
    // A file with a delete disposition goes when its handle closes; one that
    // lives by its name gets the disposition back first, if it can.
    const bool removed = temporary.file != kNone && setDeleteOnClose(temporary.file, true);
    closeHandle(temporary.file);
    temporary.file = kNone;
    if (temporary.pending) {
        if (!removed) deleteByName(temporary.name);
        forgetName(temporary);
    }
    temporary.name.clear();
}

// Both separators divide folders; a drive prefix such as "C:" alone names
// the current folder of that drive.
void splitPath(const std::string& path, std::string& directory, std::string& leaf) {
    auto end = path.find_last_of("\\/");
    if (end == std::string::npos && path.size() >= 2 && path[1] == ':') end = 1;
    directory = end == std::string::npos ? std::string() : path.substr(0, end + 1);
    leaf = end == std::string::npos ? path : path.substr(end + 1);
}

bool endsInSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

}  // namespace os

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
