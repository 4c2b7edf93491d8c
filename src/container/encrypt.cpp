#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "container/chunk.h"
#include "container/container_format.h"
#include "container/messages.h"
#include "container/operations.h"
#include "container/output_stream.h"
#include "crypto/blowfish.h"
#include "crypto/sha256.h"
#include "platform/platform.h"
#include "container/read_ahead.h"
#include "platform/secure_wipe.h"

namespace tandrel {
namespace {

enum class Sealing { Done, WriteFailed, InputChanged };

// Enciphers one piece in place and hashes the plaintext in it, 64 bytes of
// each at a time. CBC encryption is one long chain of dependent rounds that
// leaves most of the processor idle; hashing, which depends on nothing of
// it, runs alongside in that shadow when the two are interleaved this finely.
void encipherAndHash(const BlowfishCipher& cipher, CbcChain& chain, Sha256& hasher, std::uint8_t* bytes,
                     std::uint32_t plain, std::uint32_t blocks) {
    constexpr std::uint32_t kStep = kSha256BlockSize;
    for (std::uint32_t at = 0; at < blocks; at += kStep) {
        const std::uint32_t step = std::min(kStep, blocks - at);
        if (at < plain) hasher.update(bytes + at, std::min(step, plain - at));
        cipher.encryptBuffer(bytes + at, bytes + at, step, chain);
    }
}

// Enciphers the zero-filled plaintext into the output, piece by piece. Each
// piece is a copy out of the input, which another process may change
// meanwhile, and what is enciphered is hashed: only when that has the digest
// the header stores will the file decrypt.
Sealing encipherInto(OutputStream& output, const platform::MappedFile& input,
                     const BlowfishCipher& cipher, const std::uint8_t* digest) {
    const std::uint32_t plainLen = input.size();
    const auto fill = static_cast<std::uint32_t>(paddedLength(plainLen) - plainLen);
    Sha256 hasher;
    hasher.reset();
    CbcChain chain;
    Chunk chunk;
    // The last piece has room after it for the fill of its last block, which
    // is written there rather than read past the input's last byte, the last
    // of its mapping.
    ReadAhead pieces(input, kChunkSize, 8, chunk.bytes, platform::worthHelperThreads(plainLen));
    std::uint32_t piece = 0;
    for (std::uint32_t offset = 0; std::uint8_t* bytes = pieces.next(piece); offset += piece) {
        std::uint32_t blocks = piece;
        if (offset + piece == plainLen) {
            std::memset(bytes + piece, 0, fill);
            blocks += fill;
        }
        encipherAndHash(cipher, chain, hasher, bytes, piece, blocks);
        if (!output.put(bytes, blocks)) return Sealing::WriteFailed;
    }
    if (!output.finish()) return Sealing::WriteFailed;
    std::uint8_t enciphered[kDigestSize];
    hasher.final(enciphered);
    return std::memcmp(enciphered, digest, kDigestSize) == 0 && input.intact() ? Sealing::Done
                                                                               : Sealing::InputChanged;
}

// The plaintext's digest, which the key is made from: a first pass over the
// whole input.
void hashInput(const platform::MappedFile& input, std::uint8_t* digest) {
    Sha256 hasher;
    hasher.reset();
    Chunk chunk;
    ReadAhead pieces(input, kChunkSize, 0, chunk.bytes, platform::worthHelperThreads(input.size()));
    std::uint32_t piece = 0;
    while (const std::uint8_t* bytes = pieces.next(piece)) hasher.update(bytes, piece);
    hasher.final(digest);
}

// Writes the header and the ciphertext, then publishes the output.
int seal(platform::PendingOutput& output, const platform::MappedFile& input, const char* name,
         const char* project, const char* passphrase, SaltSource saltSource, const char* inPath,
         const char* outPath) {
    std::uint8_t digest[kDigestSize];
    hashInput(input, digest);
    FileKeyMaterial material;
    newFileKeyMaterial(digest, passphrase, material, saltSource);
    std::vector<std::uint8_t> header(kHeaderSize + std::strlen(name) + 1 + std::strlen(project) + 1);
    writeHeader(header.data(), name, project, input.size(), material.salt, material.digest);
    BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(material.key, static_cast<std::int16_t>(sizeof material.key));

    Sealing sealing = Sealing::WriteFailed;
    {
        const auto length = static_cast<std::uint32_t>(header.size() + paddedLength(input.size()));
        OutputStream stream(output, length, WriteBehind::Deep);
        if (stream.put(header.data(), static_cast<std::uint32_t>(header.size()))) {
            sealing = encipherInto(stream, input, cipher, material.digest);
        }
    }
    if (sealing == Sealing::InputChanged) {
        reportChangedWhileRead(inPath);
        return kExitFileFailure;
    }
    if (sealing == Sealing::WriteFailed || !output.publish()) {
        reportFileFailure(output);
        reportCannotCreate(outPath);
        return kExitFileFailure;
    }
    reportLeftCopy(output);
    return kExitSuccess;
}

}  // namespace

int encryptFile(const PassphraseConfig& config, const char* inPath, const char* outPath,
                const char* project, SaltSource saltSource) {
    char passphrase[kLookupBufferSize];
    if (!config.lookupPassphrase(project, passphrase, sizeof passphrase)) {
        secureWipe(passphrase, sizeof passphrase);
        reportPassphraseNotFound(project);
        return kExitConfiguration;
    }
    int status = kExitFileFailure;
    platform::MappedFile input;
    platform::PendingOutput output;
    const char* name = nameWithoutDirectory(inPath);
    if (!input.openRead(inPath)) {
        reportFileFailure(input);
        reportCannotOpen(inPath);
    } else if (restorableName(name) == nullptr) {
        reportUnrestorableName(inPath);
    } else if (const std::uint64_t outLen =
                   containerLength(input.size(), std::strlen(name), std::strlen(project));
               outLen > UINT32_MAX) {
        std::printf("%s", platform::kTooLargeMessage);
        reportCannotOpen(inPath);
    } else if (!output.create(outPath, static_cast<std::uint32_t>(outLen), platform::LinkAtTarget::Follow)) {
        reportFileFailure(output);
        reportCannotCreate(outPath);
    } else {
        status = seal(output, input, name, project, passphrase, saltSource, inPath, outPath);
    }
    secureWipe(passphrase, sizeof passphrase);
    return status;
}

}  // namespace tandrel
