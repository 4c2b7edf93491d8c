// Files pass through the tool in pieces of one size: small enough to stay in
// the processor's cache between being copied, enciphered, hashed and
// written, and a whole number of hash blocks (64 bytes) and cipher blocks
// (8 bytes), so that only the last piece of a stream is partial.
#pragma once

#include <cstdint>

#include "platform/secure_wipe.h"

namespace tandrel {

inline constexpr std::uint32_t kChunkSize = 64 * 1024;
static_assert(kChunkSize % 64 == 0, "only the last piece may end a hash");

// One piece, plus room for the zero fill of the last cipher block. It holds
// plaintext, so it is wiped when it goes.
struct Chunk {
    std::uint8_t bytes[kChunkSize + 8];

    Chunk() = default;
    ~Chunk() { secureWipe(bytes, sizeof bytes); }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
};

}  // namespace tandrel
