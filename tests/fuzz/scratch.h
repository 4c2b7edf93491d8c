// The fuzz checks' private corner of the file system: one temporary folder
// per process (tools/fuzz.sh puts it on a memory file system) holding the
// per-user settings, a passphrase file, a folder for inputs and the working
// folder the tool runs in.
#pragma once

#include <set>
#include <string>

#include "support/test_helpers.h"

namespace tandrel::fuzz {

namespace fs = std::filesystem;

class Scratch {
public:
    // Made on first use, removed when the process ends.
    static Scratch& get();

    const fs::path& root() const { return root_.path(); }
    const fs::path& work() const { return work_; }
    const fs::path& input() const { return input_; }
    const fs::path& passphraseFile() const { return passphraseFile_; }

    // Points the per-user setting for the passphrase file at `file`.
    void configure(const fs::path& file);

    // Names in the scratch folder that are not its own: whatever a run wrote
    // beside its working folder instead of into it.
    std::string strayEntries() const;
    void clearWork() const;

private:
    Scratch();

    test::TempDir root_;
    fs::path work_;
    fs::path input_;
    fs::path passphraseFile_;
    fs::path configured_;
};

std::set<std::string> entriesOf(const fs::path& folder);

// Makes `folder` the current one until the object goes.
class CurrentFolder {
public:
    explicit CurrentFolder(const fs::path& folder);
    ~CurrentFolder();
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

private:
    fs::path previous_;
};

}  // namespace tandrel::fuzz
