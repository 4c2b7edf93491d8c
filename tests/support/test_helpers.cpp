#include "support/test_helpers.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "config/passphrase_config.h"

namespace tandrel::test {

TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        path_ = base / ("tandrel-test-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(path_, error)) break;
    }
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

[[gnu::noinline]] bool stackHolds(const std::string& pattern) {
    volatile char below[32768];
    __asm__ volatile("" : : "r"(below) : "memory");  // it holds what it holds, not nothing
    return std::search(below, below + sizeof below, pattern.begin(), pattern.end()) != below + sizeof below;
}

std::ptrdiff_t openDescriptorCount() {
#ifdef _WIN32
    return 0;  // under Wine, /proc/self/fd lists the emulator's own descriptors
#else
    std::error_code none;
    return std::distance(fs::directory_iterator("/proc/self/fd", none), fs::directory_iterator());
#endif
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool writeText(platform::PendingOutput& file, const std::string& text) {
    return file.write(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()));
}

}  // namespace tandrel::test

namespace tandrel::test {

void setConfigFileSetting(const std::string& value) {
    ASSERT_TRUE(testing::writeUserSetting(kSettingsKeyPath, kSettingsValueName, value));
}

void clearConfigFileSetting() { testing::removeUserSetting(kSettingsKeyPath, kSettingsValueName); }

}  // namespace tandrel::test
