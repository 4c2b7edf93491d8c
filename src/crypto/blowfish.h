// The Blowfish block cipher with the tool's buffer operations: ECB, or CBC
// from a zero vector when `chained` is 1.
#pragma once

#include <cstdint>

namespace tandrel {

// Where a CBC chain stands between calls: the last ciphertext block, as its
// two little-endian words. A fresh chain is the zero vector.
struct CbcChain {
    std::uint32_t L = 0;
    std::uint32_t R = 0;
};

class BlowfishCipher {
public:
    // 1 chains the buffer operations (CBC); anything else keeps blocks
    // independent. Not set by construction: assign it before use.
    std::uint32_t chained;

    // How CBC encryption finds the third byte of a half for its table
    // lookup, the slowest step on the chain that links every round of every
    // block. Automatic asks the processor; Portable is plain C++ (a shift and
    // a zero extension); Bmi1 uses the one-instruction bit-field extract,
    // where the build can emit it (x86-64 under GCC or Clang; elsewhere it
    // falls back to Portable) and the caller knows the processor has it.
    enum class CbcRounds { Automatic, Portable, Bmi1 };

    BlowfishCipher() : BlowfishCipher(CbcRounds::Automatic) {}
    explicit BlowfishCipher(CbcRounds rounds);
    ~BlowfishCipher();
    BlowfishCipher(const BlowfishCipher&) = delete;
    BlowfishCipher& operator=(const BlowfishCipher&) = delete;

    // keyLen from 1 to 32767 bytes; the key is read as a cyclic big-endian
    // byte string.
    void setKey(const std::uint8_t* key, std::int16_t keyLen);

    void encryptBlock(std::uint32_t& L, std::uint32_t& R) const;
    void decryptBlock(std::uint32_t& L, std::uint32_t& R) const;

    // Process byteCount / 4 whole little-endian words; blocks are word pairs,
    // an odd last word is copied unchanged and remainder bytes are neither
    // read nor written. src may equal dst. Every call starts its chain afresh.
    void encryptBuffer(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t byteCount) const;
    void decryptBuffer(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t byteCount) const;

    // The same, continuing `chain` (when chained is 1) and leaving it where
    // the next piece of the same stream picks up, so a stream can be
    // processed piece by piece. Every piece but the last must be a whole
    // number of blocks.
    void encryptBuffer(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t byteCount,
                       CbcChain& chain) const;
    void decryptBuffer(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t byteCount,
                       CbcChain& chain) const;

    // The variant chosen at construction (never Automatic).
    CbcRounds cbcRounds() const { return rounds; }

private:
    template <bool Extract>
    std::uint32_t f(std::uint32_t x) const;
    template <bool Extract>
    void encipher(std::uint32_t& L, std::uint32_t& R) const;
    template <bool Extract>
    void encryptChained(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t byteCount,
                        CbcChain& chain) const;

    // Deciphers `Lanes` consecutive blocks from src into dst, continuing
    // `chain`, round by round across the blocks.
    template <int Lanes>
    void decryptBlocks(const std::uint8_t* src, std::uint8_t* dst, CbcChain& chain) const;

    std::uint32_t P[18];
    std::uint32_t S[4][256];
    CbcRounds rounds;
};

}  // namespace tandrel
