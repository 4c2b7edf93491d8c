#include <algorithm>
#include <cstring>

#include "container/background_stream.h"
#include "container/chunk.h"
#include "container/container_format.h"
#include "container/messages.h"
#include "container/operations.h"
#include "container/output_stream.h"
#include "container/split_decipher.h"
#include "crypto/blowfish.h"
#include "crypto/sha256.h"
#include "platform/platform.h"
#include "platform/secure_wipe.h"

namespace tandrel {
namespace {

constexpr const char* kPassThroughName = "script.znc";

// A file that is not encrypted is handed on unchanged as "script.znc".
int passThrough(const platform::MappedFile& input, const char* inPath) {
    platform::PendingOutput copy;
    bool written = copy.create(kPassThroughName, input.size());
    if (written) {
        OutputStream stream(copy, input.size(), WriteBehind::Shallow);
        Chunk chunk;
        for (std::uint32_t offset = 0, piece = 0; written && offset < input.size(); offset += piece) {
            piece = std::min(kChunkSize, input.size() - offset);
            input.copyOut(offset, chunk.bytes, piece);
            written = stream.put(chunk.bytes, piece);
        }
        written = stream.finish() && written;
    }
    if (written && !input.intact()) {
        reportChangedWhileRead(inPath);
        return kExitFileFailure;
    }
    if (!written || !copy.publish()) {
        reportFileFailure(copy);
        reportCannotCreate(kPassThroughName);
        return kExitFileFailure;
    }
    reportLeftCopy(copy);
    return kExitSuccess;
}

enum class Restoring { Proven, WriteFailed, DigestDiffers };

// Rounds of a quarter mebibyte: halved between two threads, each half is
// still worth a hand-over. It holds plaintext, so what was used is wiped.
struct Round {
    static constexpr std::uint32_t kSize = 256 * 1024;
    std::uint8_t bytes[kSize];
    std::uint32_t used = 0;

    Round() = default;
    ~Round() { secureWipe(bytes, used); }
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;
};

// Deciphers into the output round by round and hashes the plaintext; the
// fill after the plaintext is discarded unchecked. For a large file two
// threads decipher, and the plaintext is hashed and written on threads of
// their own.
Restoring decipherInto(platform::PendingOutput& output, const platform::MappedFile& input, const ContainerView& view,
                       const char* passphrase) {
    std::uint8_t key[kDigestSize];
    deriveKey(passphrase, view.header.salt, view.header.digest, key);
    BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(key, static_cast<std::int16_t>(sizeof key));
    secureWipe(key, sizeof key);

    const std::uint32_t plainLen = view.header.plainLen;
    const auto start = static_cast<std::uint32_t>(view.ciphertext - input.data());
    Sha256 hasher;
    hasher.reset();
    BackgroundStream hashing(
        [&hasher](std::uint64_t, const std::uint8_t* data, std::size_t piece) {
            hasher.update(data, static_cast<std::uint32_t>(piece));
            return true;
        },
        kChunkSize, platform::worthHelperThreads(plainLen));
    OutputStream writing(output, plainLen, WriteBehind::Shallow);
    SplitDecipher deciphering(cipher, platform::worthHelperThreads(plainLen));
    CbcChain chain;
    Round round;
    for (std::uint32_t offset = 0, piece = 0; offset < view.paddedLen; offset += piece) {
        piece = std::min(Round::kSize, view.paddedLen - offset);
        round.used = std::max(round.used, piece);
        input.copyOut(start + offset, round.bytes, piece);
        deciphering.decipher(round.bytes, piece, chain);
        const std::uint32_t plain = offset < plainLen ? std::min(piece, plainLen - offset) : 0;
        hashing.put(offset, round.bytes, plain);
        if (plain > 0 && !writing.put(round.bytes, plain)) return Restoring::WriteFailed;
    }
    if (!writing.finish()) return Restoring::WriteFailed;
    hashing.finish();
    std::uint8_t digest[kDigestSize];
    hasher.final(digest);
    return std::memcmp(digest, view.header.digest, kDigestSize) == 0 ? Restoring::Proven
                                                                      : Restoring::DigestDiffers;
}

int restore(const ContainerView& view, const PassphraseConfig& config, const platform::MappedFile& input,
            const char* inPath) {
    char passphrase[kLookupBufferSize];
    if (!config.lookupPassphrase(view.project.c_str(), passphrase, sizeof passphrase)) {
        secureWipe(passphrase, sizeof passphrase);
        reportPassphraseNotFound(printableText(view.project.c_str()).c_str());
        return kExitConfiguration;
    }
    const char* name = restorableName(view.name.c_str());
    platform::PendingOutput output;
    int status = kExitFileFailure;
    if (name == nullptr || !output.create(name, view.header.plainLen, platform::LinkAtTarget::Replace)) {
        reportFileFailure(output);
        reportCannotCreate(printableText(view.name.c_str()).c_str());
    } else {
        const Restoring restoring = decipherInto(output, input, view, passphrase);
        // Only a proven result replaces anything: otherwise the output is
        // dropped and an existing file of that name stays as it was.
        if (restoring == Restoring::WriteFailed) {
            reportFileFailure(output);
            reportCannotCreate(printableText(view.name.c_str()).c_str());
        } else if (!input.intact()) {
            reportChangedWhileRead(inPath);
        } else if (restoring == Restoring::DigestDiffers) {
            reportVerificationFailed();
        } else if (!output.publish()) {
            reportFileFailure(output);
            reportCannotCreate(printableText(view.name.c_str()).c_str());
        } else {
            reportLeftCopy(output);
            status = kExitSuccess;
        }
    }
    secureWipe(passphrase, sizeof passphrase);
    return status;
}

}  // namespace

int decryptFile(const PassphraseConfig& config, const char* inPath) {
    platform::MappedFile input;
    if (!input.openRead(inPath)) {
        reportFileFailure(input);
        reportCannotOpen(inPath);
        return kExitFileFailure;
    }
    ContainerView view;
    int status = kExitFileFailure;
    switch (readContainer(input.data(), input.size(), view)) {
        case ContainerKind::Plain:
            status = passThrough(input, inPath);
            break;
        case ContainerKind::Damaged:
            reportDamaged(inPath);
            break;
        case ContainerKind::Encrypted:
            status = restore(view, config, input, inPath);
            break;
    }
    return status;
}

}  // namespace tandrel
