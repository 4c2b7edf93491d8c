#include "crypto/key_derivation.h"

#include <chrono>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/processor.h"
#include "crypto/sha256.h"
#include "platform/platform.h"

namespace tandrel {
namespace {

constexpr std::uint32_t kRounds = 1024;
constexpr std::uint32_t kSaltSize = 4;
// Room for the longest passphrase (1023 bytes), salt, digest and fill.
constexpr std::size_t kMessageCapacity = 4096;
constexpr std::uint32_t kMaxPassphraseLength = 1023;

// Passphrase, salt (little-endian) and digest, then as many of the message's
// own first bytes as bring it to a whole number of blocks. A full block is
// appended even when the base already ends on a boundary. Returns the length.
std::uint32_t buildMessage(const char* passphrase, std::uint32_t salt,
                           const std::uint8_t* digest, std::uint8_t* message) {
    // Callers' buffers hold at most 1023 bytes; the bound keeps the message
    // inside its buffer even if one day a longer string arrives.
    std::uint32_t passLen = 0;
    while (passLen < kMaxPassphraseLength && passphrase[passLen] != '\0') ++passLen;
    std::memcpy(message, passphrase, passLen);
    storeLittleEndian32(message + passLen, salt);
    std::memcpy(message + passLen + kSaltSize, digest, kSha256DigestSize);
    const std::uint32_t baseLen = passLen + kSaltSize + kSha256DigestSize;
    const std::uint32_t fillLen = kSha256BlockSize - baseLen % kSha256BlockSize;
    std::memcpy(message + baseLen, message, fillLen);
    return baseLen + fillLen;
}

}  // namespace

void deriveKey(const char* passphrase, std::uint32_t salt, const std::uint8_t* digest,
               std::uint8_t* keyOut) {
    std::uint8_t message[kMessageCapacity];
    const std::uint32_t messageLen = buildMessage(passphrase, salt, digest, message);

    Sha256 hasher;
    hasher.reset();
    // Whole blocks only, so no call finishes the message before final().
    for (std::uint32_t i = 0; i < kRounds; ++i) hasher.update(message, messageLen);
    hasher.final(keyOut);

    secureWipe(message, sizeof message);
    hasher.wipeState();
}

std::uint32_t readSalt() {
    std::uint64_t ticks = 0;
    if (readTimestampCounter(ticks)) return static_cast<std::uint32_t>(ticks);
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    // The multiplier spreads the process id over all 32 bits.
    return static_cast<std::uint32_t>(now) ^ static_cast<std::uint32_t>(now >> 32) ^
           (platform::processId() * 0x9e3779b9u);
}

void newFileKeyMaterial(const std::uint8_t* digest, const char* passphrase, FileKeyMaterial& out, SaltSource salt) {
    std::memcpy(out.digest, digest, sizeof out.digest);
    out.salt = salt();
    deriveKey(passphrase, out.salt, out.digest, out.key);
}

}  // namespace tandrel
