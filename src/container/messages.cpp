#include "container/messages.h"

#include <cstdio>

namespace tandrel {

std::string printableText(const char* text) {
    std::string shown;
    for (const char* at = text; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += *at;
        }
    }
    return shown;
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

void reportVerificationFailed() {
    std::printf("\nERROR: Decryption verification failed. File may be corrupt.");
}

}  // namespace tandrel
