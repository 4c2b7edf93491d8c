#include <cstdio>
#include <cstring>

#include "container/container_format.h"
#include "container/messages.h"
#include "container/operations.h"
#include "crypto/blowfish.h"
#include "crypto/secure_wipe.h"
#include "platform/platform.h"

namespace tandrel {
namespace {

// Writes the whole encrypted file into `out`, which is exactly long enough.
void fillContainer(std::uint8_t* out, const std::uint8_t* plaintext, std::uint32_t plainLen,
                   const char* name, const char* project, const char* passphrase,
                   SaltSource saltSource) {
    FileKeyMaterial material;
    newFileKeyMaterial(plaintext, plainLen, passphrase, material, saltSource);
    const std::size_t cipherOffset =
        writeHeader(out, name, project, plainLen, material.salt, material.digest);
    const auto padded = static_cast<std::uint32_t>(paddedLength(plainLen));
    // The fill is written here rather than read past the input's last byte,
    // which may be the last byte of its mapping.
    std::uint8_t* blocks = out + cipherOffset;
    std::memcpy(blocks, plaintext, plainLen);
    std::memset(blocks + plainLen, 0, padded - plainLen);

    BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(material.key, static_cast<std::int16_t>(sizeof material.key));
    cipher.encryptBuffer(blocks, blocks, padded);
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
    } else if (!output.createSized(outPath, static_cast<std::uint32_t>(outLen), true)) {
        reportCannotCreate(outPath);
    } else {
        fillContainer(output.writableData(), input.data(), input.size(), name, project, passphrase,
                      saltSource);
        if (output.commit(true)) {
            status = kExitSuccess;
        } else {
            reportCannotCreate(outPath);
        }
    }
    secureWipe(passphrase, sizeof passphrase);
    output.close();
    input.close();
    return status;
}

}  // namespace tandrel
