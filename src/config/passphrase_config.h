// The user's passphrase file: located through a per-user setting, mapped once
// per run, and walked afresh for every lookup or listing.
#pragma once

#include <cstddef>
#include <optional>

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

    // Offset of the opening quote of the next entry at or after `from`.
    std::optional<std::size_t> findEntry(std::size_t from) const;
    // Reads the entry whose opening quote is at `at` into two buffers of
    // `count` bytes each, cutting longer values to count - 1 bytes.
    bool parseEntry(std::size_t at, char* nameOut, char* passOut, std::size_t count) const;

private:
    // What the last quote count found, so that walking the k - 3 entries of a
    // line with k quotes costs one pass over the line rather than k.
    struct QuoteCount {
        bool known = false;
        std::size_t quote = 0;     // offset of the quote the count began at
        std::size_t stop = 0;      // offset of the line end, ';' or file end
        std::size_t quotes = 0;    // quotes in [quote, stop)
    };

    std::size_t copyValue(std::size_t from, char* out, std::size_t count) const;

    char path_[kLookupBufferSize] = {};
    platform::MappedFile file_;
    bool valid_ = false;
    mutable QuoteCount lastCount_;
};

}  // namespace tandrel
