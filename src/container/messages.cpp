#include "container/messages.h"

#include <cstdint>
#include <cstdio>

namespace tandrel {

namespace {

// Length of the valid UTF-8 sequence at `at` and its code point, or 0 when
// no valid sequence starts there (overlong forms and surrogates included).
std::size_t utf8Sequence(const unsigned char* at, std::uint32_t& codePoint) {
    std::size_t length = 0;
    std::uint32_t smallest = 0;
    if (at[0] >= 0xc2 && at[0] <= 0xdf) {
        length = 2, codePoint = at[0] & 0x1fu, smallest = 0x80;
    } else if (at[0] >= 0xe0 && at[0] <= 0xef) {
        length = 3, codePoint = at[0] & 0x0fu, smallest = 0x800;
    } else if (at[0] >= 0xf0 && at[0] <= 0xf4) {
        length = 4, codePoint = at[0] & 0x07u, smallest = 0x10000;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xc0) != 0x80) return 0;  // also stops at the NUL
        codePoint = codePoint << 6 | (at[i] & 0x3fu);
    }
    const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
    return codePoint < smallest || codePoint > 0x10ffff || surrogate ? 0 : length;
}

void appendEscaped(std::string& shown, const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", bytes[i]);
        shown += escaped;
    }
}

}  // namespace

std::string printableText(const char* text) {
    std::string shown;
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != 0) {
        std::uint32_t codePoint = 0;
        const std::size_t sequence = utf8Sequence(at, codePoint);
        if (sequence > 0) {
            // U+0080 to U+009F are the C1 controls in UTF-8 form.
            if (codePoint <= 0x9f) {
                appendEscaped(shown, at, sequence);
            } else {
                shown.append(reinterpret_cast<const char*>(at), sequence);
            }
            at += sequence;
            continue;
        }
        // A byte outside any valid sequence: controls (C0, DEL and, read as
        // a single-byte character, C1) are escaped; others are shown as they are.
        if (*at < 0x20 || (*at >= 0x7f && *at <= 0x9f)) {
            appendEscaped(shown, at, 1);
        } else {
            shown += static_cast<char>(*at);
        }
        ++at;
    }
    return shown;
}

void reportFileFailure(const platform::MappedFile& input) {
    if (input.failure() != nullptr) std::printf("%s", input.failure());
}

void reportFileFailure(const platform::PendingOutput& output) {
    if (!output.keptCopy().empty()) std::printf(platform::kResultKeptMessage, output.keptCopy().c_str());
    if (output.failure() != nullptr) std::printf("%s", output.failure());
}

void reportLeftCopy(const platform::PendingOutput& file) {
    if (!file.keptCopy().empty()) std::printf(platform::kCopyLeftMessage, file.keptCopy().c_str());
}

void reportKeptAtExit(const char* path) {
    std::printf(platform::kResultKeptMessage, path);
    std::fflush(stdout);
}

void reportCannotOpen(const char* path) { std::printf("\nERROR: Cannot open \"%s\"", path); }

void reportCannotCreate(const char* path) { std::printf("\nERROR: Cannot create \"%s\"", path); }

void reportPassphraseNotFound(const char* project) {
    std::printf("\nERROR: Passphrase not found for project \"%s\"", project);
}

void reportDamaged(const char* path) { std::printf("\nERROR: \"%s\" is damaged or truncated", path); }

void reportUnrestorableName(const char* path) {
    std::printf("\nERROR: \"%s\" has a name that cannot be restored", path);
}

void reportChangedWhileRead(const char* path) {
    std::printf("\nERROR: \"%s\" changed while it was being read", path);
}

void reportVerificationFailed() {
    std::printf("\nERROR: Decryption verification failed. File may be corrupt.");
}

}  // namespace tandrel
