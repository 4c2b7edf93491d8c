// Windows outputs: a temporary file beside the target that deletes itself
// until it is published, private while it holds the result, then given the
// replaced file's access list and renamed over it through its own handle,
// or copied into it in place.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <aclapi.h>

#include "platform/os.h"
#include "platform/os_win32.h"

namespace tandrel::platform::os {
namespace {

// With the disposition set the file is deleted when its last handle closes,
// however the process ends: interrupted, its console closed, or terminated.
bool setDeleteOnClose(Handle file, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handleOf(file), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// NTFS allocates a file's clusters when its end is set, so a full disk
// fails here. (Wine leaves the file sparse and has no allocation call;
// there a full disk fails when the bytes are written, just as cleanly.)
bool setEnd(HANDLE file, std::uint64_t length) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
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

}  // namespace

// ---- Outputs -------------------------------------------------------------------

// Names are taken whole: no folder is held open.
bool openFolder(Temporary&) { return true; }

// No file is made without a name; a named one deletes itself on closing.
bool createUnnamed(Temporary&, bool) { return false; }

Claim createNamed(Temporary& temporary, const std::string& name, bool replacing) {
    PrivateAccess access;
    if (replacing && !access.made()) return Claim::Failed;
    // Delete sharing lets an interrupt remove a file that lives by its name
    // while it is still open.
    const HANDLE file = CreateFileW(longName(temporary.directory + name).c_str(),
                                    GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_DELETE, replacing ? access.attributes() : nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        temporary.file = valueOf(file);
        return Claim::Made;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Claim::Taken : Claim::Failed;
}

Claim linkUnnamed(Temporary&, const std::string&) { return Claim::Failed; }

bool removeOnClose(Temporary& temporary, bool remove) { return setDeleteOnClose(temporary.file, remove); }

// Through the handle that made it where it can: in a folder where the user
// may make files but not delete them, only that handle may.
bool removeName(Temporary& temporary) {
    const bool removed = temporary.file != kNone && setDeleteOnClose(temporary.file, true);
    closeHandle(temporary.file);
    temporary.file = kNone;
    const std::string path = temporary.directory + temporary.name;
    return removed || deleteByName(path) || !exists(path);
}

void closeTemporary(Temporary& temporary) {
    closeHandle(temporary.file);
    temporary.file = kNone;
}

// The console handler is in place from the start.
void prepareCleanup() {}

// Outputs are opened for cached writes; going past the cache would take
// another handle.
void writeDirectly(Handle, bool) {}

bool reserve(Handle file, std::uint64_t length) { return setEnd(handleOf(file), length); }

bool writeAt(Handle file, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length) {
    while (length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD put = 0;
        const auto piece = static_cast<DWORD>(std::min<std::uint64_t>(length, 1u << 30));
        if (!WriteFile(handleOf(file), data, piece, &put, &at) || put == 0) return false;
        data += put;
        offset += put;
        length -= put;
    }
    return true;
}

bool readAt(Handle file, std::uint64_t offset, std::uint8_t* to, std::size_t length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(handleOf(file), to, static_cast<DWORD>(length), &got, &at) && got == length;
}

bool flushData(Handle file) { return FlushFileBuffers(handleOf(file)) != 0; }

bool makeDurable(Handle file) { return FlushFileBuffers(handleOf(file)) != 0; }

// The finished file takes the replaced file's access list and the
// attributes that describe the content's handling. It has the owner this
// process gives new files, so a file of another owner is written in place
// instead: unlike POSIX, where the owner is a fact of the target, it is
// learnt here, from the temporary file itself rather than the process token
// (Wine reports the token's primary group as its owner but gives new files
// the user). Read-only, hidden and system files are never replaced, and a
// new content always needs archiving.
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

// Through the handle that made the file, so that a folder where the user may
// make files but not delete them serves too.
Renamed renameTo(Temporary& temporary, const std::string& leaf, bool replace) {
    return renameThrough(handleOf(temporary.file), longName(temporary.directory + leaf), replace) ? Renamed::Moved
                                                                                                  : Renamed::Not;
}

// The new name, too, where the file system keeps it with the file.
void syncFolder(Temporary& temporary) {
    if (temporary.file != kNone) FlushFileBuffers(handleOf(temporary.file));
}

// The name is opened again, so it must still reach the file that was
// inspected, not one swapped in under it meanwhile. Its sharing mode keeps
// a second writer out.
Handle openInPlace(const Target& target) {
    const HANDLE file = CreateFileA((target.directory + target.leaf).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kNone;
    BY_HANDLE_FILE_INFORMATION opened{};
    if (GetFileInformationByHandle(file, &opened) && identityIn(opened) == target.id) return valueOf(file);
    CloseHandle(file);
    return kNone;
}

void closeInPlace(Handle file) { closeHandle(file); }

// A longer result takes its space before any byte is overwritten; a failed
// extension leaves the file as it was.
bool setAsideInPlace(Handle file, std::uint64_t length) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handleOf(file), &size) &&
           (static_cast<std::uint64_t>(size.QuadPart) >= length || setEnd(handleOf(file), length));
}

// No write here clears a privilege of the file.
bool dropPrivilegesInPlace(Handle, const Target&) { return true; }

bool finishInPlace(Handle file, std::uint64_t length) {
    return setEnd(handleOf(file), length) && FlushFileBuffers(handleOf(file));
}

}  // namespace tandrel::platform::os
