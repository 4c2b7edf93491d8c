// POSIX outputs: a temporary file beside the target (unnamed where the file
// system has them, and then named only when it must be), written, made
// durable and published by a rename or a copy in place.
#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/os_posix.h"

namespace tandrel::platform::os {
namespace {

Claim claimed(bool made) {
    if (made) return Claim::Made;
    return errno == EEXIST ? Claim::Taken : Claim::Failed;
}

// Moves a named temporary file to a name that must still be free. Where the
// file system cannot rename without replacing, a second link does the same:
// it too fails when the name is taken.
Renamed renameNoReplace(Temporary& temporary, const std::string& leaf) {
    const int folder = fd(temporary.folder);
    const char* name = temporary.name.c_str();
    if (renameat2(folder, name, folder, leaf.c_str(), RENAME_NOREPLACE) == 0) return Renamed::Moved;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Renamed::Not;
    if (linkat(folder, name, folder, leaf.c_str(), 0) == 0) {
        return unlinkat(folder, name, 0) == 0 ? Renamed::Moved : Renamed::AlsoKept;
    }
    if (errno != EPERM && errno != ENOTSUP) return Renamed::Not;
    // No second names either: an empty file claims the name, then the result
    // replaces it. A crash between the two leaves that empty file.
    const int claim = openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (claim < 0) return Renamed::Not;
    ::close(claim);
    if (renameat(folder, name, folder, leaf.c_str()) == 0) return Renamed::Moved;
    unlinkat(folder, leaf.c_str(), 0);
    return Renamed::Not;
}

}  // namespace

// ---- Outputs -------------------------------------------------------------------

bool unnamedTemporaries = true;

bool openFolder(Temporary& temporary) {
    const std::string& directory = temporary.directory;
    temporary.folder = open(directory.empty() ? "." : directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return temporary.folder >= 0;
}

// A new file is made as any new file is, so that the umask or the folder's
// default access list decide who may read it; a replacement starts private.
constexpr mode_t modeFor(bool replacing) { return replacing ? 0600 : 0666; }

// An unnamed file needs /proc to be given a name later.
bool createUnnamed(Temporary& temporary, bool replacing) {
    if (!unnamedTemporaries || access("/proc/self/fd", X_OK) != 0) return false;
    temporary.file = openat(fd(temporary.folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, modeFor(replacing));
    return temporary.file >= 0;
}

Claim createNamed(Temporary& temporary, const std::string& name, bool replacing) {
    temporary.file = openat(fd(temporary.folder), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            modeFor(replacing));
    return claimed(temporary.file >= 0);
}

Claim linkUnnamed(Temporary& temporary, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(temporary.file);
    return claimed(linkat(AT_FDCWD, self.c_str(), fd(temporary.folder), name.c_str(), AT_SYMLINK_FOLLOW) == 0);
}

// A named file stays when it is closed; no call changes that.
bool removeOnClose(Temporary&, bool remove) { return !remove; }

bool removeName(Temporary& temporary) {
    return unlinkat(fd(temporary.folder), temporary.name.c_str(), 0) == 0 || errno == ENOENT;
}

void closeTemporary(Temporary& temporary) {
    closeHandle(temporary.file);
    closeHandle(temporary.folder);
    temporary.file = temporary.folder = kNone;
}

void prepareCleanup() { armCleanupSignals(); }

// Direct writes go past the file cache straight to the disk. A file system
// that has none keeps to the cache.
void writeDirectly(Handle file, bool direct) {
    const int flags = fcntl(fd(file), F_GETFL);
    if (flags >= 0 && direct != ((flags & O_DIRECT) != 0)) {
        fcntl(fd(file), F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT);
    }
}

bool reserve(Handle file, std::uint64_t length) {
    const int result = posix_fallocate(fd(file), 0, static_cast<off_t>(length));
    if (result == EOPNOTSUPP || result == EINVAL || result == ENOSYS) return reserveByWriting(file, 0, length);
    return result == 0;
}

bool reserveByWriting(Handle file, std::uint64_t from, std::uint64_t to) {
    static const std::uint8_t zeros[64 * 1024] = {};
    for (std::uint64_t offset = from; offset < to; offset += sizeof zeros) {
        if (!writeAt(file, offset, zeros, std::min<std::uint64_t>(sizeof zeros, to - offset))) return false;
    }
    return true;
}

bool writeAt(Handle file, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length) {
    while (length > 0) {
        const ssize_t put = pwrite(fd(file), data, std::min<std::uint64_t>(length, 1u << 30),
                                   static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        offset += static_cast<std::uint64_t>(put);
        length -= static_cast<std::uint64_t>(put);
    }
    return true;
}

bool readAt(Handle file, std::uint64_t offset, std::uint8_t* to, std::size_t length) {
    return pread(fd(file), to, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

bool flushData(Handle file) { return fdatasync(fd(file)) == 0; }

bool makeDurable(Handle file) { return fsync(fd(file)) == 0; }

bool carryOver(Temporary& temporary, const Target& target) {
    if (!target.exists || target.link) return true;  // made as new files are
    const int file = fd(temporary.file);
    // An access list the folder gave the new file by default would widen
    // what the old file allowed (a file with a list of its own is written in
    // place instead).
    if (fremovexattr(file, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP) {
        return false;
    }
    struct stat made {};
    if (fstat(file, &made) != 0) return false;
    if (made.st_gid != target.group && fchown(file, static_cast<uid_t>(-1), target.group) != 0) return false;
    // Only the permission bits, never set-user-ID, set-group-ID or sticky.
    return fchmod(file, static_cast<mode_t>(target.permissions & 0777)) == 0;
}

Renamed renameTo(Temporary& temporary, const std::string& leaf, bool replace) {
    if (!replace) return renameNoReplace(temporary, leaf);
    const int folder = fd(temporary.folder);
    return renameat(folder, temporary.name.c_str(), folder, leaf.c_str()) == 0 ? Renamed::Moved : Renamed::Not;
}

// Makes names created in or removed from a folder survive a crash as well.
void syncFolder(Temporary& temporary) {
    const int opened = openat(fd(temporary.folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0) return;
    fsync(opened);
    ::close(opened);
}

// The target was opened for writing when it was inspected. Two runs copying
// into one file at once would leave a mix of both: the second fails rather
// than waits, since the first may be stopped for good.
Handle openInPlace(const Target& target) {
    return target.file != kNone && flock(fd(target.file), LOCK_EX | LOCK_NB) == 0 ? target.file : kNone;
}

// The descriptor is the target's own, closed with it.
void closeInPlace(Handle) {}

// Without a reservation call, the holes of the old content and the part
// past its end are written with zeros, which reads the same; a failure cuts
// the file back to its old length.
bool setAsideInPlace(Handle handle, std::uint64_t length) {
    const int file = fd(handle);
#ifdef FALLOC_FL_KEEP_SIZE
    if (fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) return false;
#endif
    struct stat info {};
    if (fstat(file, &info) != 0) return false;
    const auto oldLength = static_cast<std::uint64_t>(info.st_size);
    bool reserved = true;
    // Past the old end there is no hole to find: lseek fails there.
    for (off_t at = 0; reserved;) {
        const off_t hole = lseek(file, at, SEEK_HOLE);
        if (hole < 0 || static_cast<std::uint64_t>(hole) >= std::min(oldLength, length)) break;
        off_t data = lseek(file, hole, SEEK_DATA);
        if (data < 0) data = static_cast<off_t>(oldLength);
        reserved = reserveByWriting(handle, static_cast<std::uint64_t>(hole),
                                    std::min(static_cast<std::uint64_t>(data), length));
        at = data;
    }
    reserved = reserved && reserveByWriting(handle, oldLength, length);
    if (!reserved && ftruncate(file, static_cast<off_t>(oldLength)) != 0) return false;
    return reserved;
}

bool dropPrivilegesInPlace(Handle file, const Target& target) {
    return (target.permissions & 07000) == 0 || fchmod(fd(file), target.permissions & 0777) == 0;
}

bool finishInPlace(Handle file, std::uint64_t length) {
    return ftruncate(fd(file), static_cast<off_t>(length)) == 0 && fsync(fd(file)) == 0;
}

// Interrupts wait for the whole copy here, so nothing needs to know of it.
void copyInPlaceBegins(const std::string&) {}
void copyInPlaceEnds() {}

}  // namespace tandrel::platform::os
