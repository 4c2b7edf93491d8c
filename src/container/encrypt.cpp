#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "container/chunk.h"
#include "container/container_format.h"
#include "container/messages.h"
#include "container/operations.h"
#include "container/piece_writer.h"
#include "crypto/blowfish.h"
#include "crypto/sha256.h"
#include "platform/platform.h"
#include "platform/secure_wipe.h"

namespace tandrel {
namespace {

enum class Sealing { Done, WriteFailed, InputChanged };

// Enciphers the zero-filled plaintext into the output, piece by piece. Each
// piece is first copied out of the input, which another process may change
// meanwhile, and what is enciphered is hashed: only when that has the digest
// the header stores will the file decrypt. CBC encryption is one long chain
// of dependent rounds that keeps this thread busy, so the hashing and the
// writing of a piece go to a second thread while the next pieces are
// enciphered, the pieces taking their turns through a few pairs of buffers.
Sealing encipherInto(platform::MappedFile& output, const platform::MappedFile& input,
                     const BlowfishCipher& cipher, const std::uint8_t* digest) {
    const std::uint32_t plainLen = input.size();
    const auto fill = static_cast<std::uint32_t>(paddedLength(plainLen) - plainLen);
    Sha256 hasher;
    hasher.reset();
    CbcChain chain;
    // The plaintext buffers, then as many for ciphertext.
    constexpr std::uint32_t kTurns = PieceWriter::kDepth + 1;
    const auto batches = std::make_unique_for_overwrite<Batch[]>(2 * kTurns);
    PieceWriter writer(hasher, output);
    for (std::uint32_t offset = 0, piece = 0, turn = 0; offset < plainLen;
         offset += piece, turn = (turn + 1) % kTurns) {
        piece = std::min(kBatchSize, plainLen - offset);
        std::uint8_t* bytes = batches[turn].bytes;
        std::uint8_t* enciphered = batches[kTurns + turn].bytes;
        std::memcpy(bytes, input.data() + offset, piece);
        std::uint32_t blocks = piece;
        if (offset + piece == plainLen) {
            // The fill is written here rather than read past the input's
            // last byte, which may be the last byte of its mapping.
            std::memset(bytes + piece, 0, fill);
            blocks += fill;
        }
        cipher.encryptBuffer(bytes, enciphered, blocks, chain);
        if (!writer.hand(bytes, piece, enciphered, blocks)) return Sealing::WriteFailed;
    }
    if (!writer.finish()) return Sealing::WriteFailed;
    std::uint8_t hashed[kDigestSize];
    hasher.final(hashed);
    return std::memcmp(hashed, digest, kDigestSize) == 0 && input.intact() ? Sealing::Done
                                                                           : Sealing::InputChanged;
}

// Writes the header and the ciphertext, then publishes the output.
int seal(platform::MappedFile& output, const platform::MappedFile& input, const char* name,
         const char* project, const char* passphrase, SaltSource saltSource, const char* inPath,
         const char* outPath) {
    FileKeyMaterial material;
    newFileKeyMaterial(input.data(), input.size(), passphrase, material, saltSource);
    std::vector<std::uint8_t> header(kHeaderSize + std::strlen(name) + 1 + std::strlen(project) + 1);
    writeHeader(header.data(), name, project, input.size(), material.salt, material.digest);
    BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(material.key, static_cast<std::int16_t>(sizeof material.key));

    const Sealing sealing = output.write(header.data(), static_cast<std::uint32_t>(header.size()), true)
                                ? encipherInto(output, input, cipher, material.digest)
                                : Sealing::WriteFailed;
    if (sealing == Sealing::InputChanged) {
        reportChangedWhileRead(inPath);
        return kExitFileFailure;
    }
    if (sealing == Sealing::WriteFailed || !output.commit(true)) {
        reportCannotCreate(outPath);
        return kExitFileFailure;
    }
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
    platform::MappedFile output;
    const char* name = nameWithoutDirectory(inPath);
    if (!input.openRead(inPath, true)) {
        reportCannotOpen(inPath);
    } else if (restorableName(name) == nullptr) {
        reportUnrestorableName(inPath);
    } else if (const std::uint64_t outLen =
                   containerLength(input.size(), std::strlen(name), std::strlen(project));
               outLen > UINT32_MAX) {
        std::printf("%s", platform::kTooLargeMessage);
        reportCannotOpen(inPath);
    } else if (!output.createSized(outPath, static_cast<std::uint32_t>(outLen), true,
                                   platform::LinkAtTarget::Follow)) {
        reportCannotCreate(outPath);
    } else {
        status = seal(output, input, name, project, passphrase, saltSource, inPath, outPath);
    }
    secureWipe(passphrase, sizeof passphrase);
    output.close();
    input.close();
    return status;
}

}  // namespace tandrel
