// Per-file keys: SHA-256 over a passphrase, a salt and the plaintext's digest,
// repeated 1024 times.
#pragma once

#include <cstdint>

#include "platform/secure_wipe.h"

namespace tandrel {

inline constexpr std::uint32_t kFileKeySize = 32;

// Writes the 32-byte key for `passphrase` (NUL-terminated, at most 1023
// bytes), `salt` and the 32-byte plaintext `digest`.
void deriveKey(const char* passphrase, std::uint32_t salt, const std::uint8_t* digest,
               std::uint8_t* keyOut);

using SaltSource = std::uint32_t (*)();

// The low 32 bits of the processor's time-stamp counter; where there is none,
// a clock reading mixed with the process id.
std::uint32_t readSalt();

struct FileKeyMaterial {
    std::uint32_t salt;
    std::uint8_t digest[32];
    std::uint8_t key[kFileKeySize];

    ~FileKeyMaterial() { secureWipe(key, sizeof key); }
};

// Everything the encrypt side needs for a new file, given the plaintext's
// 32-byte digest: the digest, a fresh salt from `salt` and the key derived
// from them.
void newFileKeyMaterial(const std::uint8_t* digest, const char* passphrase, FileKeyMaterial& out,
                        SaltSource salt = readSalt);

}  // namespace tandrel
