// SHA-256 with a one-shot tail: the first update whose length is not a
// multiple of 64 pads and finishes the message.
#pragma once

#include <cstdint>

#include "crypto/hash_algorithm.h"

namespace tandrel {

inline constexpr std::uint32_t kSha256DigestSize = 32;
inline constexpr std::uint32_t kSha256BlockSize = 64;

#ifdef _MSC_VER
// The alignment pads the object's end on purpose (warning C4324 at /W4).
#pragma warning(push)
#pragma warning(disable : 4324)
#endif

// Aligned so that the vector byte swap may use aligned loads.
class alignas(16) Sha256 : public HashAlgorithm {
public:
    // How each block's bytes become big-endian words. Automatic asks the
    // processor; the others force a variant (Sse2 only where the build
    // targets x86 and the caller knows the processor has it; elsewhere it
    // falls back to Scalar).
    enum class ByteSwap { Automatic, Scalar, Sse2 };
    // How blocks are compressed, chosen the same way: Portable is plain C++
    // (and uses the byte swap); ShaExtensions uses the x86 SHA instructions
    // and swaps bytes itself. Forcing ShaExtensions where the build does not
    // target x86 falls back to Portable.
    enum class Compression { Automatic, Portable, ShaExtensions };

    // Neither constructor resets: call reset() before the first update.
    Sha256();
    Sha256(Compression compression, ByteSwap byteSwap);

    void reset() override;
    std::uint32_t blockSize() const override { return kSha256BlockSize; }
    std::uint32_t digestSize() const override { return kSha256DigestSize; }
    void final(std::uint8_t* out) override;
    void update(const std::uint8_t* data, std::uint32_t len) override;

    // The variants chosen at construction (never Automatic).
    ByteSwap byteSwap() const;
    Compression compression() const;

    // Clears every trace of the message (blocks, schedule, state): what is
    // hashed is a secret (a plaintext, a passphrase), so the destructor
    // does it too.
    void wipeState();
    ~Sha256() override { wipeState(); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

private:
    // Absorbs `count` whole blocks of message bytes, read where they lie
    // (any alignment).
    using CompressRoutine = void (*)(Sha256& hasher, const std::uint8_t* blocks,
                                     std::uint32_t count);
    using SwapRoutine = void (*)(std::uint8_t* block);

    static void compressPortable(Sha256& hasher, const std::uint8_t* blocks, std::uint32_t count);
    static void compressShaExtensions(Sha256& hasher, const std::uint8_t* blocks,
                                      std::uint32_t count);
    void finishMessage(const std::uint8_t* tail, std::uint32_t tailLen);

    CompressRoutine compressBlock;
    SwapRoutine swapBlock;
    alignas(16) std::uint8_t block[2][kSha256BlockSize];
    std::uint32_t work[8];
    std::uint32_t state[8];
    // Aligned because the portable compression byte-swaps its first sixteen
    // words in place.
    alignas(16) std::uint32_t schedule[64];
    std::uint32_t total;
    bool finalized;
};

#ifdef _MSC_VER
#pragma warning(pop)
#endif

}  // namespace tandrel
