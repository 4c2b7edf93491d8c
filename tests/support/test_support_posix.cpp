// The POSIX side of the tests: runs of the built tool and of the entry
// function, the per-user setting as a plain file, and special files.
//
// A scenario's run is the entry function in a forked copy of the test
// process, so that it can drop its privileges, be held still or killed, and
// end with a status of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "cli/command_line.h"
#include "platform/os.h"
#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::testing {
namespace {

// Everything written to `from` until every writer has closed it.
std::string readAll(int from) {
    std::string output;
    char buffer[4096];
    for (ssize_t got; (got = read(from, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        output.append(buffer, static_cast<std::size_t>(got));
    }
    close(from);
    return output;
}

int waitFor(pid_t child, int flags) {
    int status = 0;
    while (waitpid(child, &status, flags) < 0 && errno == EINTR) {
    }
    return status;
}

std::vector<char*> argvOf(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    return argv;
}

std::filesystem::path settingFile(const char* keyPath, const char* valueName) {
    std::string key = keyPath;
    key.erase(0, key.find('\\') + 1);  // the key's root, SOFTWARE
    std::replace(key.begin(), key.end(), '\\', '/');
    const char* root = std::getenv("XDG_CONFIG_HOME");
    return std::filesystem::path(root != nullptr ? root : "") / key / valueName;
}

// The shell's command for a run, both outputs sent to `outputFile`.
std::string shellCommand(const std::vector<std::string>& args, const std::string& workDir,
                         const std::string& outputFile) {
    // Single quotes keep every byte but a single quote, which ends them.
    const auto quoted = [](std::string word) {
        for (std::size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4) word.replace(at, 1, "'\\''");
        return "'" + word + "'";
    };
    std::string command = "cd " + quoted(workDir) + " &&";
    for (const auto& arg : args) command += " " + quoted(arg);
    return command + " </dev/null >" + quoted(outputFile) + " 2>&1";
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& args, const std::string& workDir) {
    const test::TempDir capture;
    std::fflush(nullptr);  // nothing buffered here is written twice or after the program's output
    const int status = std::system(shellCommand(args, workDir, capture.file("output")).c_str());
    return {WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status),
            test::readBytes(capture.path() / "output")};
}

std::string printedForm(const std::string& text) { return text; }

void isolateUserSettings(const std::string& root) {
    std::filesystem::create_directories(root);
    setenv("XDG_CONFIG_HOME", root.c_str(), 1);
}

bool writeUserSetting(const char* keyPath, const char* valueName, const std::string& value) {
    const auto file = settingFile(keyPath, valueName);
    std::error_code error;
    std::filesystem::remove_all(file, error);
    std::filesystem::create_directories(file.parent_path(), error);
    std::ofstream out(file, std::ios::binary);
    out << value << '\n';
    return static_cast<bool>(out);
}

void removeUserSetting(const char* keyPath, const char* valueName) {
    std::error_code error;
    std::filesystem::remove_all(settingFile(keyPath, valueName), error);
}

bool setEnvironmentVariable(const char* name, const char* value) {
    return (value == nullptr ? unsetenv(name) : setenv(name, value, 1)) == 0;
}

bool limitFileSize(std::uint64_t bytes) {
    const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

std::uint64_t allocatedBytes(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
}

}  // namespace tandrel::testing

namespace tandrel::test {
namespace {
std::string refused;  // what this program's pwrite(), pthread_create() and fallocate() turn down
}  // namespace
}  // namespace tandrel::test

void tandrel::testing::refuse(const std::string& what) { test::refused = what; }

namespace tandrel::test {
namespace {

// A signal's name, as in "SIGINT" or "SIGRTMIN+3".
std::string signalName(int number) {
    const char* abbreviation = sigabbrev_np(number);
    return abbreviation != nullptr ? "SIG" + std::string(abbreviation) : "SIGRTMIN+" + std::to_string(number - SIGRTMIN);
}

int signalNumber(const std::string& name) {
    for (int number = 1; number < NSIG; ++number) {
        if (signalName(number) == name) return number;
    }
    return 0;
}

// The unprivileged user of the permission cases: nobody, with "users" as a
// group it may give its files besides its own.
bool dropToNobody() {
    const passwd* user = getpwnam("nobody");
    const group* extra = getgrnam("users");
    if (user == nullptr) return false;
    const gid_t groups[] = {extra != nullptr ? extra->gr_gid : user->pw_gid};
    return setgroups(1, groups) == 0 && setgid(user->pw_gid) == 0 && setuid(user->pw_uid) == 0;
}

// A run that is to be held still stops itself, once it has written the
// given number of bytes, by this program's pwrite(), which stands in front
// of the C library's: the tool is linked into this program, so every write
// of an output passes here, and the moment is exact.
std::uint64_t holdAt = 0;
bool holding = false;
std::uint64_t written = 0;

void holdIfDue() {
    if (holding && written >= holdAt) {
        holding = false;
        raise(SIGSTOP);
    }
}

[[noreturn]] void runChild(const std::vector<std::string>& args, const fs::path& workDir,
                           const EntryOptions& options, int output) {
    dup2(output, STDOUT_FILENO);
    close(output);
    if (chdir(workDir.c_str()) != 0) _exit(120);
    // A run starts as from an interactive shell, whatever the test runner
    // inherited (a background job has SIGINT and SIGQUIT ignored).
    for (int number = 1; number < NSIG; ++number) std::signal(number, SIG_DFL);
    umask(022);  // the mode of new files in the expectations
    platform::os::unnamedTemporaries = !options.namedTemporaries;
    if (!options.ignoredSignal.empty()) std::signal(signalNumber(options.ignoredSignal), SIG_IGN);
    sigset_t held;
    sigemptyset(&held);
    if (!options.blockedSignal.empty()) sigaddset(&held, signalNumber(options.blockedSignal));
    sigprocmask(SIG_BLOCK, &held, nullptr);
    if (options.fileSizeLimit > 0 && !testing::limitFileSize(options.fileSizeLimit)) _exit(122);
    refused = options.refused;
    const rlimit cpu{20, 20};  // a run that spins (a handler raising itself) is ended, not waited for
    setrlimit(RLIMIT_CPU, &cpu);
    const rlimit noCore{0, 0};  // a run ended by a fault leaves no core file among the expected ones
    setrlimit(RLIMIT_CORE, &noCore);
    if (options.asNobody && !dropToNobody()) _exit(121);
    holding = options.whileWriting || !options.signalWhileWriting.empty();
    holdAt = options.holdAfterBytes;
    written = 0;  // what this process wrote before the fork is not the run's
    holdIfDue();
    std::vector<std::string> words{"tandrel"};
    words.insert(words.end(), args.begin(), args.end());
    const int status = runCommandLine(static_cast<int>(words.size()), testing::argvOf(words).data());
    std::fflush(stdout);
    _exit(stackHolds("correct horse") ? 125 : status);  // no run leaves the passphrase behind
}

}  // namespace

EntryRun runEntry(const std::vector<std::string>& args, const fs::path& workDir, const EntryOptions& options) {
    EntryRun run;
    if (options.asProgram) {
        std::vector<std::string> words{TANDREL_EXE};
        words.insert(words.end(), args.begin(), args.end());
        const testing::ProcessResult result = testing::runProcess(words, workDir.string());
        return {result.output, result.status, ""};
    }
    int ends[2];
    if (pipe(ends) != 0) {
        ADD_FAILURE() << "no pipe";
        return run;
    }
    // A closed standard output is a pipe whose only reader is gone before
    // the run starts.
    if (options.stdoutClosed) close(ends[0]);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) runChild(args, workDir, options, ends[1]);
    close(ends[1]);
    int status = 0;
    bool ended = false;
    if (options.whileWriting || !options.signalWhileWriting.empty()) {
        status = testing::waitFor(child, WUNTRACED);
        ended = !WIFSTOPPED(status);
        if (ended) {
            ADD_FAILURE() << "the run ended before it wrote " << options.holdAfterBytes << " bytes";
        } else {
            if (options.whileWriting) options.whileWriting();
            if (!options.signalWhileWriting.empty()) kill(child, signalNumber(options.signalWhileWriting));
            kill(child, SIGCONT);
        }
    }
    if (!options.stdoutClosed) run.output = testing::readAll(ends[0]);
    if (!ended) status = testing::waitFor(child, 0);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.killedBy = signalName(WTERMSIG(status));
    return run;
}

std::string unsupportedHere(const Scenario& scenario) {
    for (const ScenarioLine& line : scenario.lines) {
        const std::string& verb = line.words[0];
        if (verb == "system" && line.words.at(1) != "posix") return "for another system";
        if (verb == "user" && geteuid() != 0) return "needs root to run as another user";
        if (verb == "acl" && access("/usr/bin/setfacl", X_OK) != 0) return "setfacl is not installed";
        if (verb == "append-only" && (geteuid() != 0 || access("/usr/bin/chattr", X_OK) != 0)) {
            return "needs chattr, as root";
        }
    }
    return {};
}

bool systemHasPermissionBits() { return true; }

std::uint64_t fileIndex(const fs::path& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

bool systemLine(const ScenarioLine& line, const fs::path& work) {
    const std::string& verb = line.words[0];
    const std::vector<std::string> w(line.words.begin() + 1, line.words.end());
    const fs::path path = work / w.at(0);
    if (verb == "owner") {
        const auto colon = w.at(1).find(':');
        const passwd* user = getpwnam(w.at(1).substr(0, colon).c_str());
        const group* grp = getgrnam(w.at(1).substr(colon + 1).c_str());
        return user != nullptr && grp != nullptr && lchown(path.c_str(), user->pw_uid, grp->gr_gid) == 0;
    }
    if (verb == "fifo") return mkfifo(path.c_str(), 0600) == 0;
    if (verb == "truncate") return truncate(path.c_str(), static_cast<off_t>(std::stoull(w.at(1)))) == 0;
    // Held until the case ends, as another run copying into the file holds it.
    static std::vector<int> locks;
    static std::vector<fs::path> appendOnly;
    if (verb == "lock") {
        locks.push_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        return flock(locks.back(), LOCK_EX | LOCK_NB) == 0;
    }
    const auto chattr = [&](const char* flag) {
        return testing::runProcess({"/usr/bin/chattr", flag, path.string()}, work.string()).status == 0;
    };
    if (verb == "append-only") return appendOnly.emplace_back(path), chattr("+a");
    if (verb == "release") {
        for (int lock : locks) close(lock);
        locks.clear();
        const bool released = appendOnly.empty() || chattr("-a");
        appendOnly.clear();
        return released;
    }
    if (verb == "xattr") {
        return setxattr(path.c_str(), w.at(1).c_str(), w.at(2).data(), w.at(2).size(), 0) == 0;
    }
    if (verb == "acl") {
        return testing::runProcess({"/usr/bin/setfacl", "-m", w.at(1), path.string()}, work.string()).status == 0;
    }
    if (verb == "expect-xattrs") {
        char names[4096];
        const ssize_t length = llistxattr(path.c_str(), names, sizeof names);
        std::vector<std::string> found;
        for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
            found.emplace_back(names + at);
        }
        std::vector<std::string> expected(w.begin() + 1, w.end());
        std::sort(found.begin(), found.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(found, expected) << "extended attributes of " << w.at(0);
        return true;
    }
    if (verb == "expect-owner") {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) return false;
        const passwd* user = getpwuid(info.st_uid);
        const group* grp = getgrgid(info.st_gid);
        const std::string owner = std::string(user ? user->pw_name : "?") + ":" + (grp ? grp->gr_name : "?");
        EXPECT_EQ(owner, w.at(1)) << "owner of " << w.at(0);
        return true;
    }
    return false;
}

}  // namespace tandrel::test

extern "C" ssize_t pwrite(int file, const void* data, size_t length, off_t offset) {
    using Pwrite = ssize_t (*)(int, const void*, size_t, off_t);
    static const auto systemPwrite = reinterpret_cast<Pwrite>(dlsym(RTLD_NEXT, "pwrite"));
    const std::string& refused = tandrel::test::refused;
    if (refused == "memory") {  // a real fault, as a fault of the tool's own would be
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile char*>(page) = 0;
    }
    if (refused == "writes" || (refused == "direct-writes" && (fcntl(file, F_GETFL) & O_DIRECT) != 0)) {
        errno = EINVAL;
        return -1;
    }
    const ssize_t put = systemPwrite(file, data, length, offset);
    if (put > 0) tandrel::test::written += static_cast<std::uint64_t>(put);
    tandrel::test::holdIfDue();
    return put;
}

// File systems that can neither rename without replacing nor give a file a
// second name (some FUSE ones).
extern "C" int renameat2(int from, const char* name, int to, const char* newName, unsigned flags) {
    using Rename = int (*)(int, const char*, int, const char*, unsigned);
    static const auto systemRename = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
    if (tandrel::test::refused != "links") return systemRename(from, name, to, newName, flags);
    errno = EINVAL;
    return -1;
}

extern "C" int linkat(int from, const char* name, int to, const char* newName, int flags) {
    using Link = int (*)(int, const char*, int, const char*, int);
    static const auto systemLink = reinterpret_cast<Link>(dlsym(RTLD_NEXT, "linkat"));
    if (tandrel::test::refused != "links") return systemLink(from, name, to, newName, flags);
    errno = EPERM;
    return -1;
}

// File systems without a reservation call (ext2, some network ones).
extern "C" int fallocate(int file, int mode, off_t offset, off_t length) {
    using Fallocate = int (*)(int, int, off_t, off_t);
    static const auto systemFallocate = reinterpret_cast<Fallocate>(dlsym(RTLD_NEXT, "fallocate"));
    if (tandrel::test::refused != "fallocate") return systemFallocate(file, mode, offset, length);
    errno = EOPNOTSUPP;
    return -1;
}

extern "C" int posix_fallocate(int file, off_t offset, off_t length) {
    using Reserve = int (*)(int, off_t, off_t);
    static const auto systemReserve = reinterpret_cast<Reserve>(dlsym(RTLD_NEXT, "posix_fallocate"));
    return tandrel::test::refused == "fallocate" ? EOPNOTSUPP : systemReserve(file, offset, length);
}

// Not in the fuzz targets nor under ThreadSanitizer: there the sanitizer's
// own pthread_create must see every thread, to find the roots on its stack
// for the leak check, or to follow it at all.
#if !defined(TANDREL_FUZZ_CHECK) && !defined(TANDREL_THREAD_SANITIZE)
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*work)(void*),
                              void* context) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto systemCreate = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return tandrel::test::refused == "threads" ? EAGAIN : systemCreate(thread, attributes, work, context);
}
#endif
