// Windows system calls under the platform layer: file mappings for inputs,
// outputs written to a file beside the target that deletes itself until it
// is published, the current user's registry for settings.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/windows_api.h"
#include <aclapi.h>

#include "platform/names_win32.h"
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
    std::wstring wide;
    if (!wideFromCodePage(name, wide) || wide.empty()) return {};
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

// The file that holds the whole result while it is copied into its target,
// for the handler: written before `copying` is set, never while it is.
char copyingFrom[32768 * 3];
std::atomic<bool> copying{false};

// A closed console, a logoff or a shutdown leaves the process a few seconds
// (five for a closed console), then ends it. A copy in place is waited for
// that long; one still running then is left to the end, and the file that
// holds the whole result is named and kept.
bool awaitPublishing(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
        AcquireSRWLockExclusive(&publishing);
        return true;
    }
    for (int waited = 0; waited < 4000; waited += 10) {
        if (TryAcquireSRWLockExclusive(&publishing)) return true;
        Sleep(10);
    }
    if (copying.load()) {
        std::printf(kResultKeptMessage, copyingFrom);
        std::fflush(stdout);
    }
    return false;
}

// Temporary files that carry a delete disposition go with the process by
// themselves; only those living by their name alone are removed here.
BOOL WINAPI removePendingOnInterrupt(DWORD event) {
    if (awaitPublishing(event)) removePendingOutputs(removeByName);
    return FALSE;  // the default handler then ends the process
}

// ---- Lost pages of a view -------------------------------------------------------
// A page of an input view that its file cannot deliver (a share gone, a
// device removed; under Wine, a file cut short) raises an exception that
// would end the process. The whole view is put back as zeros at the same
// address instead and marked as cut: the reader finishes its pass and the
// run fails on the mark.
struct WatchedView {
    std::atomic<const std::uint8_t*> base{nullptr};
    std::atomic<std::uint64_t> length{0};
    std::atomic<bool> cut{false};
    std::atomic<bool> zeroed{false};  // no longer a view of the file
};
WatchedView watchedViews[8];

WatchedView* watched(const std::uint8_t* view) {
    for (WatchedView& slot : watchedViews) {
        if (slot.base.load() == view) return &slot;
    }
    return nullptr;
}

// Windows reports such a page as an in-page error, Wine as an access
// violation; either is a read inside a watched view.
LONG WINAPI onLostPage(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const bool lost = record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR || record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION;
    if (!lost || record.NumberParameters < 2 || record.ExceptionInformation[0] != 0) return EXCEPTION_CONTINUE_SEARCH;
    const auto address = static_cast<std::uintptr_t>(record.ExceptionInformation[1]);
    for (WatchedView& view : watchedViews) {
        const auto base = reinterpret_cast<std::uintptr_t>(view.base.load());
        if (base == 0 || view.zeroed.load() || address < base || address - base >= view.length.load()) continue;
        void* at = reinterpret_cast<void*>(base);
        if (!UnmapViewOfFile(at)) break;
        view.zeroed.store(true);
        view.cut.store(true);
        const auto length = static_cast<SIZE_T>(view.length.load());
        if (VirtualAlloc(at, length, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY) != at) break;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
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

// FileRenameInfoEx and its flags, which older headers lack (Windows 10
// version 1709 and later).
constexpr auto kRenameInfoWithFlags = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kReplaceIfExists = 0x1;
constexpr DWORD kPosixSemantics = 0x2;

// Renames the open file to `to`, in one step that replaces what stands there
// when `replace` allows it, and otherwise fails if anything does. POSIX
// semantics also replace a file that another process holds open; systems
// without them (older Windows, Wine) take the plain rename.
bool renameThrough(HANDLE file, const std::wstring& to, bool replace) {
    const std::size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);  // the struct holds the NUL's room
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, to.c_str(), nameBytes);
    const auto size = static_cast<DWORD>(buffer.size());
    info->Flags = (replace ? kReplaceIfExists : 0) | kPosixSemantics;
    if (SetFileInformationByHandle(file, kRenameInfoWithFlags, info, size)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return false;
    }
    info->Flags = 0;
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileRenameInfo, info, size) != 0;
}

// An access list that lets only this process's user in, and nothing a
// folder passes on: what a replacement starts with, as a POSIX one starts
// with mode 0600. It takes the replaced file's list when it is published.
class PrivateAccess {
public:
    PrivateAccess() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = sizeof user_;
        const bool known = GetTokenInformation(token, TokenUser, user_, size, &size) != 0;
        CloseHandle(token);
        const PSID sid = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
        if (!known || !InitializeAcl(reinterpret_cast<ACL*>(list_), sizeof list_, ACL_REVISION) ||
            !AddAccessAllowedAce(reinterpret_cast<ACL*>(list_), ACL_REVISION, FILE_ALL_ACCESS, sid) ||
            !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, reinterpret_cast<ACL*>(list_), FALSE) ||
            !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            return;
        }
        attributes_.lpSecurityDescriptor = &descriptor_;
        made_ = true;
    }
    PrivateAccess(const PrivateAccess&) = delete;
    PrivateAccess& operator=(const PrivateAccess&) = delete;

    bool made() const { return made_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    alignas(8) std::uint8_t user_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    alignas(8) std::uint8_t list_[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE] = {};
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    bool made_ = false;
};

// Gives `to` the access list of `from`, open with READ_CONTROL, with its
// flag saying whether the folder's inheritable entries still apply.
bool copyAccess(HANDLE from, HANDLE to) {
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool read = GetSecurityDescriptorControl(descriptor, &control, &revision) != 0;
    const SECURITY_INFORMATION protection =
        (control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    const bool copied = read && SetSecurityInfo(to, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | protection, nullptr,
                                                nullptr, list, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return copied;
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

void prepareProcess() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    SetConsoleCtrlHandler(removePendingOnInterrupt, TRUE);
    AddVectoredExceptionHandler(1, onLostPage);
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
    const WatchedView* slot = watched(view);
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
    if (WatchedView* slot = watched(view)) slot->cut.store(true);
}

void closeHandle(Handle handle) {
    if (handle != kNone && handle != 0) CloseHandle(handleOf(handle));
}

void watchView(const std::uint8_t* view, std::uint64_t length) {
    for (WatchedView& slot : watchedViews) {
        if (slot.base.load() != nullptr) continue;
        slot.cut.store(false);
        slot.zeroed.store(false);
        slot.length.store(length);
        slot.base.store(view);
        return;
    }
}

bool viewWasCut(const std::uint8_t* view) {
    const WatchedView* slot = watched(view);
    return slot != nullptr && slot->cut.load();
}

void stopWatchingView(const std::uint8_t* view) {
    if (WatchedView* slot = watched(view)) slot->base.store(nullptr);
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

// Windows delivers no interrupt to a thread: a console event runs on a
// thread of the system's own.
InterruptsHeldForNewThread::InterruptsHeldForNewThread() : saved_{} {}
InterruptsHeldForNewThread::~InterruptsHeldForNewThread() = default;

// ---- Outputs -------------------------------------------------------------------

bool createTemporary(const Target& target, Temporary& temporary) {
    // A replacement starts private: left behind by a kill, or kept after a
    // failure, it never shows anyone what the file it replaces kept from
    // them. A new file is made as any new file is there.
    PrivateAccess access;
    const bool replacing = target.exists && !target.link;
    if (replacing && !access.made()) return false;
    // An interrupt waits until the new file carries its delete disposition
    // or is recorded by name: between the two it would be left behind.
    const PublishingHeld held;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary.name = target.directory + temporaryLeaf();
        // Delete sharing lets an interrupt remove a file that lives by its
        // name (below) while it is still open.
        const HANDLE file = CreateFileW(longName(temporary.name).c_str(),
                                        GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                                        FILE_SHARE_DELETE, replacing ? access.attributes() : nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
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

// The finished file takes the replaced file's access list and the
// attributes that describe the content's handling. It has the owner this
// process gives new files, so a file of another owner is written in place
// instead. That owner is read from the temporary file itself rather than
// taken from the process token: Wine reports the token's primary group as
// its owner but gives new files the user. Read-only, hidden and system files
// are never replaced, and a new content always needs archiving.
bool carryOver(Temporary& temporary, const Target& target) {
    if (!target.exists || target.link) return true;
    const HANDLE replaced = CreateFileA((target.directory + target.leaf).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (replaced == INVALID_HANDLE_VALUE) return false;
    const HANDLE made = handleOf(temporary.file);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool renameKeepsAll = GetFileInformationByHandle(replaced, &info) && !ownersDiffer(replaced, made) &&
                                copyAccess(replaced, made);
    CloseHandle(replaced);
    if (!renameKeepsAll) return false;
    constexpr DWORD kKept = FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes = (info.dwFileAttributes & kKept) | FILE_ATTRIBUTE_ARCHIVE;
    return SetFileInformationByHandle(made, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The finished file is renamed through the handle that made it, so that a
// folder where the user may make files but not delete them serves too. It
// loses its delete disposition first (a renamed file would go on closing),
// recorded by name meanwhile; on failure discard() gives it back.
bool publishByRename(Temporary& temporary, const Target& target) {
    const PublishingHeld held;
    const HANDLE file = handleOf(temporary.file);
    // A link is replaced itself; a new name must still be free.
    if (!liveByName(temporary) || !renameThrough(file, longName(target.directory + target.leaf), target.exists)) {
        return false;
    }
    FlushFileBuffers(file);  // the new name, too, where the file system keeps it with the file
    closeHandle(temporary.file);
    temporary.file = kNone;
    forgetName(temporary);
    temporary.name.clear();
    return true;
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
    const bool named = temporary.name.size() < sizeof copyingFrom;
    if (named) std::memcpy(copyingFrom, temporary.name.c_str(), temporary.name.size() + 1);
    copying.store(named);
    const bool copied = copyInto(destination, handleOf(temporary.file), length) && setEnd(destination, length) &&
                        FlushFileBuffers(destination);
    copying.store(false);
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
    // lives by its name gets the disposition back first, if it can, and is
    // named to the user if it stays.
    const bool removed = temporary.file != kNone && setDeleteOnClose(temporary.file, true);
    closeHandle(temporary.file);
    temporary.file = kNone;
    if (temporary.pending) {
        if (!removed && !deleteByName(temporary.name) && exists(temporary.name)) temporary.keptAs = temporary.name;
        forgetName(temporary);
    }
    temporary.name.clear();
}

// Both separators divide folders; a drive prefix such as "C:" alone names
// the current folder of that drive.
void splitPath(const std::string& path, std::string& directory, std::string& leaf) {
    auto end = static_cast<std::size_t>(afterLastSeparator(path.c_str()) - path.c_str());
    if (end == 0 && path.size() >= 2 && path[1] == ':') end = 2;
    directory = path.substr(0, end);
    leaf = path.substr(end);
}

bool endsInSeparator(const std::string& path) { return !path.empty() && *afterLastSeparator(path.c_str()) == '\0'; }

}  // namespace os

// ---- Per-user settings -----------------------------------------------------

// Read in its wide form and converted exactly: a value naming a character
// the code page lacks would otherwise name a look-alike file.
bool readUserSetting(const char* keyPath, const char* valueName, char* out, std::size_t capacity) {
    std::wstring key;
    std::wstring value;
    if (capacity == 0 || capacity > MAXDWORD / sizeof(wchar_t) - 1 || !os::wideFromCodePage(keyPath, key) ||
        !os::wideFromCodePage(valueName, value)) {
        return false;
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    // A value that fits `capacity` bytes has no more characters than that.
    std::vector<wchar_t> text(capacity + 1, L'\0');
    DWORD type = REG_NONE;
    auto size = static_cast<DWORD>(capacity * sizeof(wchar_t));
    const LONG status = RegQueryValueExW(opened, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    // A string may have been stored without its NUL; it is never read past its end.
    text[size / sizeof(wchar_t)] = L'\0';
    std::string bytes;
    if (!os::codePageFromWide(text.data(), bytes, nullptr) || bytes.size() >= capacity) return false;
    std::memcpy(out, bytes.c_str(), bytes.size() + 1);
    return true;
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
