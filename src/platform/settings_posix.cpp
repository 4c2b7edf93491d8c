// The per-user setting on POSIX, and what the processor and process say of
// themselves.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace tandrel::platform {

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
    // Without a home there is no file: opening "" fails.
    const std::string file = settingFilePath(keyPath, valueName);
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

std::uint32_t processId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace tandrel::platform
