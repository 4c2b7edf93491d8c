#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tandrel::testing {

ProcessResult runProcess(const std::vector<std::string>& args, const std::string& workDir) {
    ProcessResult result;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return result;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    result.started = true;
    if (WIFEXITED(waitStatus)) result.status = WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) result.status = 128 + WTERMSIG(waitStatus);
    return result;
}

std::string printedForm(const std::string& text) { return text; }

namespace {

std::filesystem::path settingFile(const char* keyPath, const char* valueName) {
    std::string key = keyPath;
    key.erase(0, key.find('\\') + 1);  // the key's root, SOFTWARE
    std::replace(key.begin(), key.end(), '\\', '/');
    const char* root = std::getenv("XDG_CONFIG_HOME");
    return std::filesystem::path(root != nullptr ? root : "") / key / valueName;
}

}  // namespace

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

void removeUserSettingKey(const char* keyPath) {
    std::error_code error;
    std::filesystem::remove_all(settingFile(keyPath, ""), error);
}

bool writeRawUserSetting(const char*, const char*, SettingKind, const std::string&) { return false; }

bool setEnvironmentVariable(const char* name, const char* value) {
    return (value == nullptr ? unsetenv(name) : setenv(name, value, 1)) == 0;
}

bool makeFifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

bool limitFileSize(std::uint64_t bytes) {
    struct rlimit limit {};
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    limit.rlim_max = static_cast<rlim_t>(bytes);
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

std::uint64_t allocatedBytes(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

}  // namespace tandrel::testing
