// POSIX implementation of the platform layer: mmap for files, a file under
// the user's configuration folder for settings.
#include "platform/platform.h"
#include "platform/pending_outputs.h"
#include "platform/processor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>


namespace tandrel::platform {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

void say(bool report, const char* message) {
    if (report) std::printf("%s", message);
}

// ---- Outputs that an interrupt must not leave behind ----------------------
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingAndDie(int signalNumber) {
    removePendingOutputs([](const char* path) { unlink(path); });
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void installSignalHandlingOnce() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    // A file-size limit must surface as a failed write, not a killed process.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signalNumber : kCleanupSignals) {
        // A signal the caller chose to ignore (nohup, a script's trap) stays
        // ignored: catching it would make the run killable after all.
        struct sigaction previous {};
        sigaction(signalNumber, nullptr, &previous);
        if (previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndDie;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
}

// Holds the cleanup signals back while a temporary file is created and
// recorded, so that none can fall between the two and leave it behind.
class CleanupSignalsBlocked {
public:
    CleanupSignalsBlocked() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signalNumber : kCleanupSignals) sigaddset(&blocked, signalNumber);
        sigprocmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~CleanupSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
    CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// ---- Files this process holds open for reading -----------------------------
// Windows refuses to overwrite a file that is open without write sharing;
// this list gives POSIX the same protection for the inputs and the
// passphrase file.

struct FileIdentity {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const FileIdentity&) const = default;
};
std::vector<FileIdentity> openInputs;

FileIdentity identityOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev),
            static_cast<std::uint64_t>(info.st_ino)};
}

bool isOpenInput(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0) return false;
    return std::find(openInputs.begin(), openInputs.end(), identityOf(info)) !=
           openInputs.end();
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A replaced file keeps its permissions, as it would if rewritten in place,
// so a private file never becomes readable to others; a new file gets the
// usual mode under the umask.
mode_t modeForOutput(const std::string& target) {
    struct stat existing {};
    if (stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        return static_cast<mode_t>(existing.st_mode & 07777);
    }
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

// Makes a completed rename survive a crash as well.
void syncDirectoryOf(const std::string& path) {
    const std::string directory = directoryOf(path);
    const int fd = open(directory.empty() ? "." : directory.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    ::close(fd);
}

}  // namespace

MappedFile::~MappedFile() { close(); }

bool MappedFile::openRead(const char* path, bool report) {
    close();
    readOnly_ = true;
    // O_NONBLOCK keeps a FIFO or device from stalling the open; such files are
    // refused right after.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        say(report, kOpenFailedMessage);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        say(report, kOpenFailedMessage);
        return false;
    }
    const auto length = static_cast<std::uint64_t>(info.st_size);
    if (length == 0) {
        ::close(fd);
        say(report, kMappingFailedMessage);
        return false;
    }
    if (length >= kFourGiB) {
        ::close(fd);
        say(report, kTooLargeMessage);
        return false;
    }
    void* view = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        ::close(fd);
        say(report, kViewFailedMessage);
        return false;
    }
    const FileIdentity identity = identityOf(info);
    openInputs.push_back(identity);
    identity_[0] = identity.device;
    identity_[1] = identity.inode;
    file_ = fd;
    view_ = static_cast<std::uint8_t*>(view);
    size_ = static_cast<std::uint32_t>(length);
    return true;
}

bool MappedFile::createSized(const char* path, std::uint32_t length, bool report) {
    close();
    readOnly_ = false;
    const std::string target = path;
    struct stat existing {};
    const bool exists = stat(path, &existing) == 0;
    if (target.empty() || target.back() == '/' || isOpenInput(path) ||
        (exists && !S_ISREG(existing.st_mode))) {
        say(report, kOpenFailedMessage);
        return false;
    }
    installSignalHandlingOnce();

    std::string temporary = directoryOf(target) + ".tandrel-XXXXXX";
    int fd = -1;
    {
        const CleanupSignalsBlocked blocked;
        fd = mkostemp(temporary.data(), O_CLOEXEC);
        if (fd >= 0 && !rememberPendingOutput(temporary)) {
            unlink(temporary.c_str());
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        say(report, kOpenFailedMessage);
        return false;
    }
    file_ = fd;
    temporaryPath_ = temporary;
    targetPath_ = target;

    // Reserving the blocks now turns a full disk or a size limit into a clean
    // failure here instead of a bus error while writing through the view.
    if (length == 0 || posix_fallocate(fd, 0, static_cast<off_t>(length)) != 0) {
        close();
        say(report, kMappingFailedMessage);
        return false;
    }
    void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
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
    munmap(view_, size_);
    view_ = nullptr;
    const int fd = static_cast<int>(file_);
    const bool written = fchmod(fd, modeForOutput(targetPath_)) == 0 && fsync(fd) == 0;
    ::close(fd);
    file_ = -1;
    if (!written || rename(temporaryPath_.c_str(), targetPath_.c_str()) != 0) {
        close();
        say(report, kOpenFailedMessage);
        return false;
    }
    forgetPendingOutput(temporaryPath_);
    temporaryPath_.clear();
    syncDirectoryOf(targetPath_);
    close();
    return true;
}

void MappedFile::close() {
    if (view_ != nullptr) munmap(view_, size_);
    if (file_ >= 0) ::close(static_cast<int>(file_));
    if (readOnly_ && file_ >= 0) {
        const FileIdentity identity{identity_[0], identity_[1]};
        const auto found = std::find(openInputs.begin(), openInputs.end(), identity);
        if (found != openInputs.end()) openInputs.erase(found);
    }
    discardTemporary();
    view_ = nullptr;
    file_ = -1;
    size_ = 0;
    identity_[0] = identity_[1] = 0;
    targetPath_.clear();
}

void MappedFile::discardTemporary() {
    if (temporaryPath_.empty()) return;
    unlink(temporaryPath_.c_str());
    forgetPendingOutput(temporaryPath_);
    temporaryPath_.clear();
}

// ---- Per-user settings -----------------------------------------------------
// A registry key such as SOFTWARE\Vendor\Product\1.00 with value V becomes
// the file $XDG_CONFIG_HOME/Vendor/Product/1.00/V, whose first line is the
// value.

namespace {

std::string configurationHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return {};
    return std::string(home) + "/.config";
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

bool isReservedFileName(const char*) { return false; }

// ---- Processor -------------------------------------------------------------

// On x86-64 every operating system saves the vector registers; on 32-bit
// x86 a system new enough to run this build does too.
bool processorHasSse2() { return featureQueryReportsSse2(); }

std::uint32_t processId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace tandrel::platform
