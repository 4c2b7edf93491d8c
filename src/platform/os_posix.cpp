// POSIX system calls under the platform layer: mmap for inputs, descriptors
// for outputs (unnamed temporary files where the file system has them), a
// file under the user's configuration folder for settings.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/background_stream.h"
#include "platform/os.h"
#include "platform/os_posix.h"
#include "platform/pending_outputs.h"
#include "platform/platform.h"
#include "platform/processor.h"

namespace tandrel::platform {
namespace os {
namespace {

int fd(Handle handle) { return static_cast<int>(handle); }

// ---- Signals ----------------------------------------------------------------
// Every signal whose default action ends the process removes the named
// temporary files first; unnamed ones go with the process by themselves.
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2,
                                   SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR,  SIGIO,
#ifdef SIGSTKFLT
                                   SIGSTKFLT,
#endif
};
// Signals the processor raises for a fault of this process. Another program
// may send them too; only then do they end the run like any other signal.
constexpr int kFaultSignals[] = {SIGSEGV, SIGFPE, SIGILL, SIGBUS, SIGABRT, SIGTRAP, SIGSYS};

// Calls `act` for every signal that ends the process by default and can be
// caught, the real-time ones included (their range is known only at run time).
template <typename Act>
void forEachCleanupSignal(Act&& act) {
    for (int signalNumber : kCleanupSignals) act(signalNumber);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) act(signalNumber);
}

void removeByName(std::intptr_t directory, const char* name) { unlinkat(fd(directory), name, 0); }

// Ends the process by the signal's default action: at once, or, inside the
// handler of that very signal, as soon as the handler returns.
void removePendingAndRaise(int signalNumber) {
    removePendingOutputs(removeByName);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

extern "C" void removePendingAndDie(int signalNumber) { removePendingAndRaise(signalNumber); }

// Faults cannot be held back by the signal mask (a real one would end the
// process at once), so while SignalsHeld is in force a sent one is noted
// here and raised again when the hold ends.
std::atomic<int> holdDepth{0};
std::atomic<int> deferredFault{0};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// What each fault signal did before this process took it over (a
// sanitizer's report, say): a real fault is handed back to it. A fault
// signal the caller ignored is still caught, since the kernel delivers a
// real one regardless; only a sent one is then ignored.
struct sigaction previousFaultAction[NSIG];
bool faultIgnoredBefore[NSIG];

// Input views that a truncation may take pages from. Read by the bus-error
// handler, so only fixed memory and lock-free atomics.
struct WatchedView {
    std::atomic<std::uintptr_t> base{0};
    std::atomic<std::uint64_t> length{0};
    std::atomic<bool> cut{false};
};
WatchedView watchedViews[8];
const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free, "read from a signal handler");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "read from a signal handler");

// A page of an input view that its file no longer covers is replaced by a
// page of zeros and the view is marked as cut; the reader then finishes its
// pass and reports the change. mmap is a plain system call here, safe in a
// handler on the systems this build targets.
bool replaceLostPage(const siginfo_t* info) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (WatchedView& view : watchedViews) {
        const std::uintptr_t base = view.base.load();
        if (base == 0 || address < base || address - base >= view.length.load()) continue;
        void* page = reinterpret_cast<void*>(address & ~(pageSize - 1));
        if (mmap(page, pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
        view.cut.store(true);
        return true;
    }
    return false;
}

// A fault signal sent by another program (si_code 0 or below) ends the run
// like any other signal, or waits for the end of a hold. A real fault of
// this process removes the unfinished outputs and is handed back to what
// handled it before, which then ends the process as it would have; only a
// lost page of an input view is survived.
extern "C" void onFault(int signalNumber, siginfo_t* info, void*) {
    const bool sent = info->si_code <= 0;
    if (!sent && signalNumber == SIGBUS && info->si_code == BUS_ADRERR && replaceLostPage(info)) return;
    if (sent && faultIgnoredBefore[signalNumber]) return;
    if (sent) {
        deferredFault.store(signalNumber);
        // The holder collects it when its hold ends; a hold that ended while
        // this was stored has left it here, to be taken now.
        if (holdDepth.load() > 0) return;
        if (const int fault = deferredFault.exchange(0); fault != 0) removePendingAndRaise(fault);
        return;
    }
    removePendingOutputs(removeByName);
    sigaction(signalNumber, &previousFaultAction[signalNumber], nullptr);
    // A memory or arithmetic fault repeats when the handler returns, now
    // reaching what handled it before; a trap or a refused system call does
    // not, and is raised again.
    if (signalNumber == SIGTRAP || signalNumber == SIGSYS) std::raise(signalNumber);
}

void install(int signalNumber, void (*handler)(int)) {
    // A signal the caller chose to ignore (nohup, a script's trap) stays
    // ignored: catching it would make the run killable after all.
    struct sigaction previous {};
    sigaction(signalNumber, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

void installFaultHandler(int signalNumber) {
    struct sigaction& previous = previousFaultAction[signalNumber];
    sigaction(signalNumber, nullptr, &previous);
    faultIgnoredBefore[signalNumber] = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN;
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

// Holds the cleanup signals back while a temporary file gets or loses a name
// and its record, and while a file is rewritten in place, so that an
// interrupt finds either both or neither, and never half a file.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        forEachCleanupSignal([&](int signalNumber) { sigaddset(&held, signalNumber); });
        sigprocmask(SIG_BLOCK, &held, &previous_);
        holdDepth.fetch_add(1);
    }
    ~SignalsHeld() {
        if (holdDepth.fetch_sub(1) == 1) {
            if (const int fault = deferredFault.exchange(0); fault != 0) removePendingAndRaise(fault);
        }
        sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

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

// The bus-error handler stands for everything set here: where it is in
// place, so is the rest, and where it is not (as in a child process that
// reset its signals after a fork), all of it is set again.
void prepareProcess() {
    struct sigaction current {};
    sigaction(SIGBUS, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == onFault) return;
    // A closed standard output or a file-size limit must surface as a failed
    // write, never as the end of the process with its status lost.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    forEachCleanupSignal([](int signalNumber) { install(signalNumber, removePendingAndDie); });
    for (int signalNumber : kFaultSignals) installFaultHandler(signalNumber);
    // A fault the caller left held back would end the run by the default
    // action, past the handler that turns a cut input into a clean failure.
    sigset_t faults;
    sigemptyset(&faults);
    sigaddset(&faults, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

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

void watchView(const std::uint8_t* view, std::uint64_t length) {
    for (WatchedView& slot : watchedViews) {
        if (slot.base.load() != 0) continue;
        slot.cut.store(false);
        slot.length.store(length);
        slot.base.store(reinterpret_cast<std::uintptr_t>(view));
        return;
    }
}

bool viewWasCut(const std::uint8_t* view) {
    for (const WatchedView& slot : watchedViews) {
        if (slot.base.load() == reinterpret_cast<std::uintptr_t>(view)) return slot.cut.load();
    }
    return false;
}

void stopWatchingView(const std::uint8_t* view) {
    for (WatchedView& slot : watchedViews) {
        if (slot.base.load() == reinterpret_cast<std::uintptr_t>(view)) slot.base.store(0);
    }
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

// ---- Threads -------------------------------------------------------------------

InterruptsHeldForNewThread::InterruptsHeldForNewThread() {
    static_assert(sizeof(sigset_t) <= sizeof saved_ && alignof(sigset_t) <= 8, "room for the caller's mask");
    sigset_t held;
    sigfillset(&held);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&held, fault);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
}

InterruptsHeldForNewThread::~InterruptsHeldForNewThread() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

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
    constexpr std::uint64_t kThreadedFrom = 4u << 20;
    const bool threaded = reserved && length >= kThreadedFrom;
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

void splitPath(const std::string& path, std::string& directory, std::string& leaf) {
    const auto slash = path.rfind('/');
    directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsInSeparator(const std::string& path) { return !path.empty() && path.back() == '/'; }

}  // namespace os

// ---- Per-user settings -----------------------------------------------------
// A registry key such as SOFTWARE\Vendor\Product\1.00 with value V becomes
// the file $XDG_CONFIG_HOME/Vendor/Product/1.00/V, whose first line is the
// value.

namespace {

// The home folder from the environment, or from the password database when
// HOME is unset or empty (as under some service managers).
std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return home;
    std::vector<char> buffer(16 * 1024);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

std::string configurationHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.config";
}

std::string settingFilePath(const char* keyPath, const char* valueName) {
    const std::string home = configurationHome();
    if (home.empty()) return {};
    std::string key = keyPath;
    const std::string root = "SOFTWARE\\";
    if (key.compare(0, root.size(), root) == 0) key.erase(0, root.size());
    std::replace(key.begin(), key.end(), '\\', '/');
    return home + "/" + key + "/" + valueName;
}

}  // namespace

bool readUserSetting(const char* keyPath, const char* valueName, char* out,
                     std::size_t capacity) {
    if (capacity == 0) return false;
    const std::string file = settingFilePath(keyPath, valueName);
    if (file.empty()) return false;
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    std::vector<char> text(capacity);
    std::size_t filled = 0;
    bool readable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    while (readable && filled < capacity) {
        const ssize_t got = read(fd, text.data() + filled, capacity - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readable = false;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (!readable) return false;
    const auto lineEnd = std::find_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(filled),
                                      [](char c) { return c == '\n' || c == '\r'; });
    const auto length = static_cast<std::size_t>(lineEnd - text.begin());
    // Like a registry string, the value and its NUL must fit the buffer.
    if (length >= capacity) return false;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
    return true;
}

// ---- Processor -------------------------------------------------------------

// On x86-64 every operating system saves the vector registers; on 32-bit
// x86 a system new enough to run this build does too.
bool processorHasSse2() { return featureQueryReportsSse2(); }

std::uint32_t processId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace tandrel::platform
