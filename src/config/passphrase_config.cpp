#include "config/passphrase_config.h"

#include <cstdio>
#include <cstring>

#include "platform/secure_wipe.h"

namespace tandrel {
namespace {

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (foldAscii(*a) != foldAscii(*b)) return false;
    }
    return *a == *b;
}

}  // namespace

PassphraseConfig::PassphraseConfig(const char* keyPath) {
    if (!platform::readUserSetting(keyPath, kSettingsValueName, path_, sizeof path_)) return;
    valid_ = file_.openRead(path_);
    if (!valid_) std::printf("%s", file_.failure());
    if (valid_) scanner_ = PassphraseScanner({file_.data(), file_.size()});
}

PassphraseConfig::~PassphraseConfig() { release(); }

void PassphraseConfig::release() {
    file_.close();
    valid_ = false;
    scanner_ = PassphraseScanner();
}

bool PassphraseConfig::lookupPassphrase(const char* project, char* passOut,
                                        std::size_t count) const {
    if (!valid_) return false;
    char name[kLookupBufferSize];
    const bool found = scanner_.walk(name, passOut, count < sizeof name ? count : sizeof name,
                                     [&] { return equalIgnoringAsciiCase(name, project); });
    // A file that lost pages while it was read (they read as zeros) may have
    // given a passphrase cut short, which would encrypt under another key.
    if (intact()) return found;
    if (count > 0) secureWipe(passOut, count);
    return false;
}

bool PassphraseConfig::intact() const {
    if (file_.intact()) return true;
    std::printf("\nERROR: \"%s\" changed while it was being read", path_);
    return false;
}

bool PassphraseConfig::listConfig() const {
    if (!valid_) {
        std::printf("\nThe config file is not valid, or could not be found.");
        return false;
    }
    std::printf("\nTandrel Version 1.0.0");
    std::printf("\nInformation found in config file: \"%s\"", path_);
    char name[kListingBufferSize];
    char passphrase[kListingBufferSize];
    scanner_.walk(name, passphrase, kListingBufferSize, [&] {
        std::printf("\n Project: \"%s\"; Passphrase: \"%s\"", name, passphrase);
        return false;
    });
    secureWipe(passphrase, sizeof passphrase);
    return intact();
}

}  // namespace tandrel
