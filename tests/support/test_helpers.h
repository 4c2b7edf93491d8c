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

// What a run of the built tool printed, byte for byte. Expectations are
// written with the line feeds of the tool's messages; comparing turns them
// into what the runtime prints on this system (CR LF on Windows).
struct PrintedOutput {
    std::string bytes;

    bool operator==(const std::string& expected) const { return bytes == testing::printedForm(expected); }
};
void PrintTo(const PrintedOutput& output, std::ostream* out);
std::ostream& operator<<(std::ostream& out, const PrintedOutput& output);

struct ToolRun {
    int status = -1;
    PrintedOutput output;
};

// Runs the built tool with `args` in `workDir`.
ToolRun runTool(const std::vector<std::string>& args, const fs::path& workDir);

}  // namespace tandrel::test
