// POSIX outputs: a temporary file beside the target (unnamed where the file
// system has them), written, made durable and published by a rename or a
// copy in place.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/background_stream.h"
#include "platform/os.h"
#include "platform/os_posix.h"
#include "platform/pending_outputs.h"
#include "platform/platform.h"

namespace tandrel::platform::os {
namespace {

// ---- Names -------------------------------------------------------------------

// Temporary names need not be secret, only new: O_EXCL refuses any name
// that exists, and the caller tries again.
std::string temporaryName() {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto mixed = (static_cast<unsigned long long>(now.tv_nsec) ^
                        static_cast<unsigned long long>(getpid()) << 20) +
                       ++counter * 0x9e3779b9ull;
    char name[40];
    std::snprintf(name, sizeof name, ".tandrel-%08llx", mixed & 0xffffffffull);
    return name;
}

constexpr int kNameAttempts = 100;

bool rememberName(Temporary& temporary) {
    temporary.pending = rememberPendingOutput(temporary.directory, temporary.name);
    return temporary.pending;
}

void forgetName(Temporary& temporary) {
    if (temporary.pending) forgetPendingOutput(temporary.directory, temporary.name);
    temporary.pending = false;
    temporary.name.clear();
}

// Tries fresh names until `claim` takes one that was free, then records it
// for removal by an interrupt. The caller holds the signals back.
template <typename Claim>
bool claimFreshName(Temporary& temporary, Claim&& claim) {
    armCleanupSignals();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary.name = temporaryName();
        if (claim(temporary.name)) {
            if (rememberName(temporary)) return true;
            unlinkat(fd(temporary.directory), temporary.name.c_str(), 0);
            break;
        }
        if (errno != EEXIST) break;
    }
    temporary.name.clear();
    return false;
}

bool createNamed(Temporary& temporary, mode_t mode) {
    const SignalsHeld held;
    int file = -1;
    const bool named = claimFreshName(temporary, [&](const std::string& name) {
        file = openat(fd(temporary.directory), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      mode);
        return file >= 0;
    });
    if (named) {
        temporary.file = file;
    } else if (file >= 0) {
        ::close(file);  // made, but no record could be kept of it
    }
    return named;
}

bool linkUnnamed(const Temporary& temporary, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(temporary.file);
    return linkat(AT_FDCWD, self.c_str(), fd(temporary.directory), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives an unnamed temporary file a name beside its target. The caller holds
// the signals back.
bool nameUnnamed(Temporary& temporary) {
    return !temporary.name.empty() ||
           claimFreshName(temporary, [&](const std::string& name) { return linkUnnamed(temporary, name); });
}

// Moves a named temporary file to a name that must still be free. Where the
// file system cannot rename without replacing, a second link does the same:
// it too fails when the name is taken.
bool renameNoReplace(Temporary& temporary, const std::string& leaf) {
    const int folder = fd(temporary.directory);
    const char* name = temporary.name.c_str();
    if (renameat2(folder, name, folder, leaf.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    if (linkat(folder, name, folder, leaf.c_str(), 0) == 0) {
        if (unlinkat(folder, name, 0) != 0) temporary.keptAs = temporary.folder + temporary.name;
        return true;
    }
    if (errno != EPERM && errno != ENOTSUP) return false;
    // No second names either: an empty file claims the name, then the result
    // replaces it. A crash between the two leaves that empty file.
    const int claim = openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (claim < 0) return false;
    ::close(claim);
    if (renameat(folder, name, folder, leaf.c_str()) == 0) return true;
    unlinkat(folder, leaf.c_str(), 0);
    return false;
}

// Makes names created in or removed from a folder survive a crash as well.
void syncDirectory(Handle directory) {
    const int opened = openat(fd(directory), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0) return;
    fsync(opened);
    ::close(opened);
}

bool writeAll(int file, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length) {
    while (length > 0) {
        const ssize_t put = pwrite(file, data, std::min<std::uint64_t>(length, 1u << 30),
                                   static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        offset += static_cast<std::uint64_t>(put);
        length -= static_cast<std::uint64_t>(put);
    }
    return true;
}

}  // namespace

// ---- Outputs -------------------------------------------------------------------

bool unnamedTemporaries = true;

bool createTemporary(const Target& target, Temporary& temporary) {
    const std::string& directory = target.directory;
    const bool replacing = target.exists && !target.link;
    const int folder = open(directory.empty() ? "." : directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    temporary.directory = folder;
    temporary.folder = directory;
    // A new file is made as any new file is, so that the umask or the
    // folder's default access list decide who may read it; a replacement
    // starts private and takes the old file's permissions when published.
    const mode_t mode = replacing ? 0600 : 0666;
    // An unnamed file needs /proc to be given a name later; without either,
    // a named file stands in.
    const int unnamed = unnamedTemporaries && access("/proc/self/fd", X_OK) == 0
                            ? openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode)
                            : -1;
    if (unnamed >= 0) {
        temporary.file = unnamed;
        return true;
    }
    if (createNamed(temporary, mode)) return true;
    ::close(folder);
    temporary.directory = kNone;
    return false;
}

namespace {

// Direct writes go past the file cache straight to the disk. A file system
// that has none keeps to the cache.
void writeDirectly(int file, bool direct) {
    const int flags = fcntl(file, F_GETFL);
    if (flags >= 0 && direct != ((flags & O_DIRECT) != 0)) {
        fcntl(file, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT);
    }
}

constexpr std::uint64_t kFlushStep = 64u << 20;

// What the writer of a large output does with each buffer. Whole, aligned
// buffers go past the file cache: copying into it costs more than the write
// (on virtual machines every new page of cache is slow to come by), and the
// disk takes them at once. Every 64 MiB the disk is asked to make what it
// has durable, so that the flush that publishes the file waits only for the
// last of it; a failure there is the file's, since a later flush would not
// report it again.
bool writeBehind(int file, bool& directAllowed, std::uint64_t offset, const std::uint8_t* data, std::size_t length) {
    const bool whole = offset % BackgroundStream::kAlignment == 0 && length % BackgroundStream::kAlignment == 0;
    writeDirectly(file, whole && directAllowed);
    if (!writeAll(file, offset, data, length)) {
        // A direct write may be refused where a plain one is not, as for a
        // piece in the caller's own buffer when no thread could be made.
        if (!whole || !directAllowed) return false;
        directAllowed = false;
        writeDirectly(file, false);
        if (!writeAll(file, offset, data, length)) return false;
    }
    return (offset + length) % kFlushStep != 0 || fdatasync(file) == 0;
}

}  // namespace

bool reserve(Temporary& temporary, std::uint64_t length, WriteBehind depth) {
    const int result = posix_fallocate(fd(temporary.file), 0, static_cast<off_t>(length));
    const bool reserved = result == EOPNOTSUPP || result == EINVAL || result == ENOSYS
                              ? reserveByWriting(temporary.file, 0, length)
                              : result == 0;
    temporary.length = length;
    // A large output is written on a thread of its own; for a small one a
    // thread would cost more than it saves. Slow work on an output that is
    // flushed on the way gets a deep queue, for what it makes while the disk
    // spends a flush (some 50 ms) on nothing else.
    const bool threaded = reserved && length >= kHelperThreadFrom;
    const bool deep = depth == WriteBehind::Deep && length > kFlushStep;
    temporary.writer.emplace(
        [file = fd(temporary.file), threaded, directAllowed = true](std::uint64_t offset, const std::uint8_t* data,
                                                                    std::size_t piece) mutable {
            return threaded ? writeBehind(file, directAllowed, offset, data, piece) : writeAll(file, offset, data, piece);
        },
        deep ? 8u << 20 : 256u << 10, threaded);
    return reserved;
}

bool reserveByWriting(Handle file, std::uint64_t from, std::uint64_t to) {
    static const std::uint8_t zeros[64 * 1024] = {};
    for (std::uint64_t offset = from; offset < to; offset += sizeof zeros) {
        if (!writeAll(fd(file), offset, zeros, std::min<std::uint64_t>(sizeof zeros, to - offset))) return false;
    }
    return true;
}

bool writeAt(Temporary& temporary, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length) {
    const bool handedOver = temporary.writer->put(offset, data, length);  // made by reserve()
    // The last bytes wait for all the others, so that a failed write is
    // reported by the write that completes the output, as without the thread.
    return offset + length < temporary.length ? handedOver : handedOver && temporary.writer->finish();
}

bool makeDurable(Temporary& temporary) {
    const bool written = !temporary.writer || temporary.writer->finish();
    temporary.writer.reset();
    writeDirectly(fd(temporary.file), false);  // the file may yet be read back, into any buffer
    return written && fsync(fd(temporary.file)) == 0;
}

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

bool publishByRename(Temporary& temporary, const Target& target) {
    const SignalsHeld held;
    // A new file gets its name in one step, and never takes the place of a
    // file that appeared meanwhile.
    if (!target.exists && temporary.name.empty()) {
        if (!linkUnnamed(temporary, target.leaf)) return false;
    } else if (!target.exists) {
        if (!renameNoReplace(temporary, target.leaf)) return false;
    } else if (!nameUnnamed(temporary) || renameat(fd(temporary.directory), temporary.name.c_str(),
                                                   fd(temporary.directory), target.leaf.c_str()) != 0) {
        return false;
    }
    forgetName(temporary);
    syncDirectory(temporary.directory);
    return true;
}

namespace {

// Sets aside the space that copying `length` bytes over `file` needs, before
// a byte of its old content goes: a full disk must fail while the file is
// whole. Without a reservation call, the holes of the old content and the
// part past its end are written with zeros, which reads the same; a failure
// cuts the file back to its old length.
bool setAsideInPlace(int file, std::uint64_t length) {
#ifdef FALLOC_FL_KEEP_SIZE
    if (fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) return false;
#endif
    struct stat info {};
    if (fstat(file, &info) != 0) return false;
    const auto oldLength = static_cast<std::uint64_t>(info.st_size);
    bool reserved = true;
    for (off_t at = 0; reserved && static_cast<std::uint64_t>(at) < std::min(oldLength, length);) {
        const off_t hole = lseek(file, at, SEEK_HOLE);
        if (hole < 0 || static_cast<std::uint64_t>(hole) >= std::min(oldLength, length)) break;
        off_t data = lseek(file, hole, SEEK_DATA);
        if (data < 0) data = static_cast<off_t>(oldLength);
        reserved = reserveByWriting(file, static_cast<std::uint64_t>(hole),
                                    std::min(static_cast<std::uint64_t>(data), length));
        at = data;
    }
    reserved = reserved && reserveByWriting(file, oldLength, length);
    if (!reserved && ftruncate(file, static_cast<off_t>(oldLength)) != 0) return false;
    return reserved;
}

}  // namespace

bool publishInPlace(Temporary& temporary, const Target& target, std::uint64_t length) {
    if (target.file == kNone) return false;
    const int destination = fd(target.file);
    // Two runs copying into one file at once would leave a mix of both. The
    // second fails rather than waits: the first may be stopped for good.
    if (flock(destination, LOCK_EX | LOCK_NB) != 0) return false;
    // Interrupts wait until the file is whole again.
    const SignalsHeld held;
    // The result gets its name first: from the moment the target changes
    // (even by the zeros that set its space aside) a complete copy stands
    // beside it.
    if (!nameUnnamed(temporary)) return false;
    syncDirectory(temporary.directory);
    if (!setAsideInPlace(destination, length)) return false;
    // From here the named temporary file holds the only complete copy until
    // the target does. Writing as root would keep set-user-ID and
    // set-group-ID bits that a write by anyone else clears: they go first.
    bool copied = (target.permissions & 07000) == 0 || fchmod(destination, target.permissions & 0777) == 0;
    std::uint8_t buffer[64 * 1024];
    for (std::uint64_t offset = 0; copied && offset < length; offset += sizeof buffer) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, length - offset));
        copied = pread(fd(temporary.file), buffer, piece, static_cast<off_t>(offset)) ==
                     static_cast<ssize_t>(piece) &&
                 writeAll(destination, offset, buffer, piece);
    }
    copied = copied && ftruncate(destination, static_cast<off_t>(length)) == 0 && fsync(destination) == 0;
    // The copy stays only where the copy failed, or where the folder lets no
    // name be removed (append-only); either way it is named to the user.
    if (!copied || unlinkat(fd(temporary.directory), temporary.name.c_str(), 0) != 0) {
        temporary.keptAs = temporary.folder + temporary.name;
    }
    forgetName(temporary);
    if (copied) syncDirectory(temporary.directory);
    return copied;
}

void discard(Temporary& temporary) {
    temporary.writer.reset();
    if (!temporary.name.empty()) {
        if (unlinkat(fd(temporary.directory), temporary.name.c_str(), 0) != 0 && errno != ENOENT) {
            temporary.keptAs = temporary.folder + temporary.name;
        }
        forgetName(temporary);
    }
    closeHandle(temporary.file);
    closeHandle(temporary.directory);
    temporary.file = kNone;
    temporary.directory = kNone;
}

}  // namespace tandrel::platform::os
