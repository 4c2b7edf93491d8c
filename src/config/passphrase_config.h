// The user's passphrase file: located through a per-user setting, mapped once
// per run, and walked afresh for every lookup or listing.
#pragma once

#include <cstddef>

#include "config/passphrase_scanner.h"
#include "platform/platform.h"

namespace tandrel {

// Where the per-user setting naming the passphrase file lives.
inline constexpr const char* kSettingsKeyPath = "SOFTWARE\\Pellmark Software\\Tandrel\\1.00";
inline constexpr const char* kSettingsValueName = "ConfigFile";
inline constexpr std::size_t kLookupBufferSize = 1024;
inline constexpr std::size_t kListingBufferSize = 256;

class PassphraseConfig {
public:
    // Reads the setting and maps the file it names. Never fails outright: a
    // missing or unusable configuration only leaves the object invalid.
    explicit PassphraseConfig(const char* keyPath);
    ~PassphraseConfig();
    PassphraseConfig(const PassphraseConfig&) = delete;
    PassphraseConfig& operator=(const PassphraseConfig&) = delete;

    bool valid() const { return valid_; }
    const char* path() const { return path_; }

    // True, with the passphrase in passOut (count bytes, NUL included), when
    // an entry's project name matches `project` ignoring ASCII letter case.
    bool lookupPassphrase(const char* project, char* passOut, std::size_t count) const;

    // Prints every entry; false (after saying so) without a valid file.
    bool listConfig() const;

    // Unmaps the file; the object is invalid afterwards.
    void release();

private:
    // False, saying so, once the file has lost bytes since it was opened.
    bool intact() const;

    char path_[kLookupBufferSize] = {};
    platform::MappedFile file_;
    bool valid_ = false;
    PassphraseScanner scanner_;
};

}  // namespace tandrel
