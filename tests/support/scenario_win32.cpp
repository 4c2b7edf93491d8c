// Scenarios on Windows: each run is the entry function called in the test
// process itself, in the scratch folder, with standard output captured.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "cli/command_line.h"
#include "support/test_support_win32.h"
#include "support/scenario.h"
#include "support/test_helpers.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace tandrel::test {
namespace {

// What `call` prints, byte for byte. GoogleTest's capture reads its file back
// as text, which would turn the runtime's CR LF into LF again. Here standard
// output goes to a file in the mode standard output has in this process
// (text, unless something switched it), and the file is read back as bytes.
std::string printedBytes(const std::function<void()>& call) {
    TempDir dir;
    const std::string path = dir.file("stdout");
    const int file = _open(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (file == -1) {
        ADD_FAILURE() << "cannot capture standard output";
        return {};
    }
    std::fflush(stdout);
    const int saved = _dup(_fileno(stdout));
    _setmode(file, _setmode(_fileno(stdout), _O_TEXT));  // _setmode answers with the mode it replaced
    _dup2(file, _fileno(stdout));
    _close(file);
    call();
    std::fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
    return readBytes(path);
}

}  // namespace

EntryRun runEntry(const std::vector<std::string>& args, const fs::path& workDir, const EntryOptions& options) {
    EntryRun run;
    if (options.asNobody || options.stdoutClosed || options.whileWriting || !options.signalWhileWriting.empty()) {
        ADD_FAILURE() << "a run this system cannot make";
        return run;
    }
    std::vector<std::string> words{"tandrel"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const fs::path previous = fs::current_path();
    fs::current_path(workDir);
    run.output = printedBytes([&] { run.status = runCommandLine(static_cast<int>(words.size()), argv.data()); });
    fs::current_path(previous);
    return run;
}

std::string unsupportedHere(const Scenario& scenario) {
    const std::string posixOnly = " user during stdout xattr acl expect-owner expect-xattrs symlink ";
    for (const ScenarioLine& line : scenario.lines) {
        const std::string& verb = line.words[0];
        if (verb == "system" && line.words.at(1) != "windows") return "for another system";
        if (posixOnly.find(" " + verb + " ") != std::string::npos) return "'" + verb + "' is for POSIX systems";
        if (verb == "owner" && !testing::canGiveToUnixOwners()) return "'owner' needs Wine, run as root";
    }
    return {};
}

bool systemHasPermissionBits() { return false; }

std::uint64_t fileIndex(const fs::path& path) {
    const HANDLE file = CreateFileA(path.string().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known ? (std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) : 0;
}

bool systemLine(const ScenarioLine& line, const fs::path& work) {
    const std::string& verb = line.words[0];
    if (verb == "owner") return testing::giveToUnixOwner(work.string(), line.words.at(1), line.words.at(2));
    const std::string path = (work / line.words.at(1)).string();
    const auto attributes = static_cast<DWORD>(std::stoul(line.words.at(2), nullptr, 0));
    if (verb == "attributes") return SetFileAttributesA(path.c_str(), attributes) != 0;
    return verb == "expect-attributes" && (GetFileAttributesA(path.c_str()) & attributes) == attributes;
}

}  // namespace tandrel::test
