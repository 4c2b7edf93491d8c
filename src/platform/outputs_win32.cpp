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
#include "platform/pending_outputs.h"

namespace tandrel::platform::os {
namespace {

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

}  // namespace

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
    copyInPlaceBegins(temporary.name);
    const bool copied = copyInto(destination, handleOf(temporary.file), length) && setEnd(destination, length) &&
                        FlushFileBuffers(destination);
    copyInPlaceEnds();
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

}  // namespace tandrel::platform::os
