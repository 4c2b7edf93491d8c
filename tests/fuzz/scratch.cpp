#include "fuzz/scratch.h"

#include "config/passphrase_config.h"

namespace tandrel::fuzz {
namespace {

// The passphrase the sound files of the container corpus were made under:
// tandrel -encrypt <out> <plaintext> Fuzz, with this file configured.
constexpr const char* kPassphrases = "\"Fuzz\" \"seed corpus\"\n";

}  // namespace

Scratch& Scratch::get() {
    static Scratch scratch;
    return scratch;
}

Scratch::Scratch()
    : work_(root() / "work"), input_(root() / "input"), passphraseFile_(root() / "config" / "passphrases") {
    fs::create_directory(work_);
    fs::create_directory(input_);
    fs::create_directory(passphraseFile_.parent_path());
    test::writeBytes(passphraseFile_, kPassphrases);
    testing::isolateUserSettings((root() / "settings").string());
}

void Scratch::configure(const fs::path& file) {
    if (file == configured_) return;
    testing::writeUserSetting(kSettingsKeyPath, kSettingsValueName, file.string());
    configured_ = file;
}

std::string Scratch::strayEntries() const {
    const std::set<std::string> own{"config", "input", "settings", "work"};
    std::string stray;
    for (const auto& name : entriesOf(root())) {
        if (own.count(name) == 0) stray += " \"" + name + "\"";
    }
    for (const auto& name : entriesOf(passphraseFile_.parent_path())) {
        if (name != passphraseFile_.filename()) stray += " \"config/" + name + "\"";
    }
    return stray;
}

void Scratch::clearWork() const {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(work_, error)) fs::remove_all(entry.path(), error);
}

std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

CurrentFolder::CurrentFolder(const fs::path& folder) : previous_(fs::current_path()) {
    fs::current_path(folder);
}

CurrentFolder::~CurrentFolder() {
    std::error_code error;
    fs::current_path(previous_, error);
}

}  // namespace tandrel::fuzz
