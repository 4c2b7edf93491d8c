#include <cstring>

#include "container/container_format.h"
#include "container/messages.h"
#include "container/operations.h"
#include "crypto/blowfish.h"
#include "crypto/secure_wipe.h"
#include "crypto/sha256.h"
#include "platform/platform.h"

namespace tandrel {
namespace {

constexpr const char* kPassThroughName = "script.znc";

// A file that is not encrypted is handed on unchanged as "script.znc".
int passThrough(const platform::MappedFile& input) {
    platform::MappedFile copy;
    if (copy.createSized(kPassThroughName, input.size(), true)) {
        std::memcpy(copy.writableData(), input.data(), input.size());
        if (copy.commit(true)) return kExitSuccess;
    }
    reportCannotCreate(kPassThroughName);
    return kExitFileFailure;
}

// Deciphers into `out` (plainLen bytes) without a buffer for the fill: all
// blocks but the last go straight into the output, and the last, which holds
// the fill, is deciphered from a copy of itself and its predecessor (CBC
// needs nothing older).
void decipher(const ContainerView& view, const char* passphrase, std::uint8_t* out) {
    std::uint8_t key[kDigestSize];
    deriveKey(passphrase, view.header.salt, view.header.digest, key);
    BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(key, static_cast<std::int16_t>(sizeof key));
    secureWipe(key, sizeof key);

    const std::uint32_t whole = view.paddedLen - 8;
    cipher.decryptBuffer(view.ciphertext, out, whole);
    std::uint8_t tail[16] = {};
    const std::uint32_t tailStart = whole >= 8 ? whole - 8 : whole;
    const std::uint32_t tailLength = view.paddedLen - tailStart;
    cipher.decryptBuffer(view.ciphertext + tailStart, tail, tailLength);
    std::memcpy(out + whole, tail + tailLength - 8, view.header.plainLen - whole);
    secureWipe(tail, sizeof tail);
}

bool matchesDigest(const std::uint8_t* data, std::uint32_t length, const std::uint8_t* expected) {
    Sha256 hasher;
    hasher.reset();
    hasher.update(data, length);
    std::uint8_t digest[kDigestSize];
    hasher.final(digest);
    return std::memcmp(digest, expected, kDigestSize) == 0;
}

int restore(const ContainerView& view, const PassphraseConfig& config) {
    char passphrase[kLookupBufferSize];
    if (!config.lookupPassphrase(view.project, passphrase, sizeof passphrase)) {
        secureWipe(passphrase, sizeof passphrase);
        reportPassphraseNotFound(printableText(view.project).c_str());
        return kExitConfiguration;
    }
    const char* name = restorableName(view.name);
    platform::MappedFile output;
    int status = kExitFileFailure;
    if (name == nullptr || !output.createSized(name, view.header.plainLen, true)) {
        reportCannotCreate(printableText(view.name).c_str());
    } else {
        decipher(view, passphrase, output.writableData());
        // Only a proven result replaces anything: on a mismatch the output is
        // dropped and an existing file of that name stays as it was.
        if (!matchesDigest(output.writableData(), output.size(), view.header.digest)) {
            reportVerificationFailed();
        } else if (!output.commit(true)) {
            reportCannotCreate(printableText(view.name).c_str());
        } else {
            status = kExitSuccess;
        }
    }
    secureWipe(passphrase, sizeof passphrase);
    output.close();
    return status;
}

}  // namespace

int decryptFile(const PassphraseConfig& config, const char* inPath) {
    platform::MappedFile input;
    if (!input.openRead(inPath, true)) {
        reportCannotOpen(inPath);
        return kExitFileFailure;
    }
    ContainerView view;
    int status = kExitFileFailure;
    switch (readContainer(input.data(), input.size(), view)) {
        case ContainerKind::Plain:
            status = passThrough(input);
            break;
        case ContainerKind::Damaged:
            reportDamaged(inPath);
            break;
        case ContainerKind::Encrypted:
            status = restore(view, config);
            break;
    }
    input.close();
    return status;
}

}  // namespace tandrel
