// Small helpers shared by the test suites: scratch folders, whole-file reads
// and writes, captured standard output, and runs of the built tool.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace tandrel::test {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // Names of the entries in the folder, sorted.
    std::vector<std::string> entries() const;

private:
    fs::path path_;
};

std::string readBytes(const fs::path& path);
void writeBytes(const fs::path& path, const std::string& bytes);

// Appends `text` to an output made by createSized().
bool writeText(platform::MappedFile& file, const std::string& text);

// Runs `call` and returns what it printed on standard output. GoogleTest
// reads its capture back as text, so on Windows the line ends are LF here.
template <typename Call>
std::string capturedOutput(Call&& call) {
    ::testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// Points the tool's per-user setting at a passphrase file (or any text).
void setConfigFileSetting(const std::string& value);
void clearConfigFileSetting();

}  // namespace tandrel::test
