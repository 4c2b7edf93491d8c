#include "config/passphrase_config.h"

#include <cstdio>
#include <cstring>

#include "crypto/secure_wipe.h"

namespace tandrel {
namespace {

bool endsLine(std::uint8_t byte) { return byte == '\r' || byte == '\n'; }
bool endsCount(std::uint8_t byte) { return endsLine(byte) || byte == ';'; }

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
    valid_ = file_.openRead(path_, true);
}

PassphraseConfig::~PassphraseConfig() { release(); }

void PassphraseConfig::release() {
    file_.close();
    valid_ = false;
    lastCount_ = {};
}

std::optional<std::size_t> PassphraseConfig::findEntry(std::size_t from) const {
    const std::uint8_t* text = file_.data();
    const std::size_t end = valid_ ? file_.size() : 0;
    // Resuming one byte after the last counted quote: until the next quote,
    // that count still describes the rest of the line.
    bool resuming = lastCount_.known && from == lastCount_.quote + 1;
    std::size_t p = from;
    while (p < end) {
        if (text[p] == ';') {
            while (p < end && !endsLine(text[p])) ++p;
            if (p == end) return std::nullopt;
        } else if (text[p] == '"') {
            QuoteCount count{true, p, 0, 0};
            if (resuming && p < lastCount_.stop && lastCount_.quote < p) {
                count.stop = lastCount_.stop;
                count.quotes = lastCount_.quotes - 1;
            } else {
                std::size_t q = p + 1;
                count.quotes = 1;
                while (q < end && !endsCount(text[q])) {
                    if (text[q] == '"') ++count.quotes;
                    ++q;
                }
                count.stop = q;
            }
            lastCount_ = count;
            resuming = false;
            if (count.quotes >= 4) return p;
            p = count.stop;
        } else {
            ++p;
        }
    }
    return std::nullopt;
}

std::size_t PassphraseConfig::copyValue(std::size_t from, char* out, std::size_t count) const {
    const std::uint8_t* text = file_.data();
    const std::size_t end = file_.size();
    std::size_t i = from;
    std::size_t copied = 0;
    while (copied + 1 < count && i < end && text[i] != '"') {
        out[copied++] = static_cast<char>(text[i++]);
    }
    if (count > 0) out[copied] = '\0';
    return i;
}

bool PassphraseConfig::parseEntry(std::size_t at, char* nameOut, char* passOut,
                                  std::size_t count) const {
    const std::uint8_t* text = file_.data();
    const std::size_t end = valid_ ? file_.size() : 0;
    // Step over whatever ended the name (normally its closing quote), then
    // past the separator to the passphrase's opening quote. Every scan stops
    // at the end of the file, whatever the entry looks like.
    std::size_t i = copyValue(at + 1, nameOut, count) + 1;
    while (i < end && text[i] != '"') ++i;
    copyValue(i + 1, passOut, count);
    return true;
}

bool PassphraseConfig::lookupPassphrase(const char* project, char* passOut,
                                        std::size_t count) const {
    if (!valid_) return false;
    char name[kLookupBufferSize];
    for (auto entry = findEntry(0); entry; entry = findEntry(*entry + 1)) {
        parseEntry(*entry, name, passOut, count < sizeof name ? count : sizeof name);
        if (equalIgnoringAsciiCase(name, project)) return true;
    }
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
    for (auto entry = findEntry(0); entry; entry = findEntry(*entry + 1)) {
        parseEntry(*entry, name, passphrase, kListingBufferSize);
        std::printf("\n Project: \"%s\"; Passphrase: \"%s\"", name, passphrase);
    }
    secureWipe(passphrase, sizeof passphrase);
    return true;
}

}  // namespace tandrel
