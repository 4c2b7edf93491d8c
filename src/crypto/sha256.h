// SHA-256 with a one-shot tail: the first update whose length is not a
// multiple of 64 pads and finishes the message.
#pragma once

#include <cstdint>

#include "crypto/hash_algorithm.h"

namespace tandrel {

inline constexpr std::uint32_t kSha256DigestSize = 32;
inline constexpr std::uint32_t kSha256BlockSize = 64;

// Aligned so that the vector byte swap may use aligned loads on the blocks.
class alignas(16) Sha256 : public HashAlgorithm {
public:
    // How each block's bytes become big-endian words. Automatic asks the
    // processor; the others force a variant (Sse2 only where the build
    // targets x86 and the caller knows the processor has it; elsewhere it
    // falls back to Scalar).
    enum class ByteSwap { Automatic, Scalar, Sse2 };

    // Neither constructor resets: call reset() before the first update.
    Sha256();
    explicit Sha256(ByteSwap variant);

    void reset() override;
    std::uint32_t blockSize() const override { return kSha256BlockSize; }
    std::uint32_t digestSize() const override { return kSha256DigestSize; }
    void final(std::uint8_t* out) override;
    void update(const std::uint8_t* data, std::uint32_t len) override;

    // The variant chosen at construction (never Automatic).
    ByteSwap byteSwap() const;

    // Clears every trace of the message (blocks, schedule, state) for callers
    // that hash secrets; the destructor deliberately leaves it alone.
    void wipeState();

private:
    // `words` is a block after swapBlock: sixteen words in host order.
    using CompressRoutine = void (*)(Sha256& hasher, const std::uint8_t* words);
    using SwapRoutine = void (*)(std::uint8_t* block);

    static void compress(Sha256& hasher, const std::uint8_t* words);
    void processBlock(std::uint8_t* buffer);
    void finishMessage(const std::uint8_t* tail, std::uint32_t tailLen);

    CompressRoutine compressBlock;
    SwapRoutine swapBlock;
    alignas(16) std::uint8_t block[2][kSha256BlockSize];
    std::uint32_t work[8];
    std::uint32_t state[8];
    std::uint32_t schedule[64];
    std::uint32_t total;
    bool finalized;
};

}  // namespace tandrel
