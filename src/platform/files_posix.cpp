// POSIX files: inputs opened and mapped, and what stands at an output's
// name, looked at without changing anything.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/os_posix.h"

namespace tandrel::platform::os {
namespace {

// The facts of a regular file at `path` (already known by `seen`), opened
// for writing to prove the user may write it as it is.
void inspectRegularFile(const char* path, int extraFlags, const struct stat& seen, Target& target) {
    target.regularFile = S_ISREG(seen.st_mode);
    if (!target.regularFile) return;
    const int file = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags);
    if (file < 0) return;
    struct stat opened {};
    if (fstat(file, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != seen.st_dev ||
        opened.st_ino != seen.st_ino) {
        ::close(file);  // replaced between the two looks
        return;
    }
    target.writable = true;
    target.file = file;
    target.id = {static_cast<std::uint64_t>(opened.st_dev), static_cast<std::uint64_t>(opened.st_ino)};
    target.ownedByOther = opened.st_uid != geteuid();
    target.manyLinks = opened.st_nlink > 1;
    target.extendedAttributes = flistxattr(file, nullptr, 0) > 0;
    target.permissions = opened.st_mode & 07777;
    target.group = opened.st_gid;
    struct stat folder {};
    if (stat(target.directory.empty() ? "." : target.directory.c_str(), &folder) == 0) {
        target.sharedFolder = (folder.st_mode & S_ISVTX) != 0;
        target.ownedByFolderOwner = opened.st_uid == folder.st_uid;
    }
}

// A followed link: opened through the link, as a shell redirection opens it
// (so the kernel's rules for links in shared folders apply), then found by
// its resolved name, which is where the result is published.
void inspectLinkedFile(const char* path, Target& target) {
    char* resolved = realpath(path, nullptr);
    struct stat named {};
    if (resolved == nullptr || stat(path, &named) != 0) {
        std::free(resolved);
        target.unusable = true;  // a link that names nothing is never created through
        return;
    }
    splitPath(resolved, target.directory, target.leaf);
    struct stat atResolved {};
    const bool same = lstat(resolved, &atResolved) == 0 && atResolved.st_dev == named.st_dev &&
                      atResolved.st_ino == named.st_ino;
    std::free(resolved);
    if (!same) {
        target.unusable = true;
        return;
    }
    inspectRegularFile(path, 0, named, target);
}

}  // namespace

// ---- Reading -------------------------------------------------------------------

bool openForReading(const char* path, Handle& file) {
    // O_NONBLOCK keeps a FIFO or device from stalling the open; such files
    // are refused right after.
    const int opened = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (opened < 0) return false;
    struct stat info {};
    if (fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(opened);
        return false;
    }
    file = opened;
    return true;
}

bool lengthOf(Handle file, std::uint64_t& length) {
    struct stat info {};
    if (fstat(fd(file), &info) != 0) return false;
    length = static_cast<std::uint64_t>(info.st_size);
    return true;
}

FileId identityOf(Handle file) {
    struct stat info {};
    if (fstat(fd(file), &info) != 0) return {};
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

bool createReadMapping(Handle, Handle& mapping) {
    mapping = kNone;
    return true;
}

const std::uint8_t* mapView(Handle file, Handle, std::uint64_t length) {
    void* view = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd(file), 0);
    return view == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(view);
}

void unmapView(const std::uint8_t* view, std::uint64_t length) {
    munmap(const_cast<std::uint8_t*>(view), length);
}

// A read call copies through the kernel's own mapping of the file cache,
// which costs far less than taking the view's pages one by one (on virtual
// machines several times less). Bytes the one call does not deliver, because
// the file was cut short or the call was interrupted, are taken from the
// view, which reads bytes the file has lost as zeros and marks the cut.
void copyFromFile(Handle file, const std::uint8_t* view, std::uint64_t offset, std::uint8_t* to,
                  std::size_t length) {
    const ssize_t got = pread(fd(file), to, length, static_cast<off_t>(offset));
    const auto done = static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    std::memcpy(to + done, view + offset + done, length - done);
}

void closeHandle(Handle handle) {
    if (handle != kNone) ::close(fd(handle));
}

// ---- What stands at an output's name -------------------------------------------

Target inspectTarget(const char* path, bool followLink) {
    Target target;
    splitPath(path, target.directory, target.leaf);
    struct stat named {};
    if (lstat(path, &named) != 0) {
        target.unusable = errno != ENOENT;
        return target;
    }
    target.exists = true;
    if (!S_ISLNK(named.st_mode)) {
        inspectRegularFile(path, O_NOFOLLOW, named, target);
    } else if (followLink) {
        inspectLinkedFile(path, target);
    } else {
        target.link = true;
    }
    return target;
}

void splitPath(const std::string& path, std::string& directory, std::string& leaf) {
    const auto slash = path.rfind('/');
    directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsInSeparator(const std::string& path) { return !path.empty() && path.back() == '/'; }

}  // namespace tandrel::platform::os
