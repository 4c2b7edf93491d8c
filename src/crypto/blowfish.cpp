#include "crypto/blowfish.h"

#include "crypto/blowfish_table.h"
#include "crypto/byte_order.h"
#include "crypto/processor.h"
#include "platform/secure_wipe.h"

// The bit-field extract is reached through inline assembly: GCC turns its
// intrinsic back into the shift and zero extension it was meant to replace.
// MSVC has no inline assembly for x86-64 and keeps the portable rounds.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TANDREL_BLOWFISH_BEXTR 1
#endif

namespace tandrel {

namespace table = blowfish_table;

namespace {

// Bits 16 to 23 of a half: the start bit, then the length, as the bit-field
// extract reads its control operand.
constexpr std::uint32_t kThirdByteControl = 16 | 8 << 8;

#ifdef TANDREL_BLOWFISH_BEXTR
// The 32-bit extract clears the upper half of its 64-bit register; an output
// declared that wide tells the compiler so, which saves the zero extension
// it would otherwise put between the extract and the lookup.
inline __attribute__((always_inline)) std::uint64_t extractThirdByte(std::uint32_t x) {
    std::uint64_t byte;
    __asm__("bextr %k2, %k1, %k0" : "=r"(byte) : "r"(x), "r"(kThirdByteControl));
    return byte;
}
#endif

}  // namespace

BlowfishCipher::BlowfishCipher(CbcRounds variant) : rounds(CbcRounds::Portable) {
#ifdef TANDREL_BLOWFISH_BEXTR
    if (variant == CbcRounds::Automatic) {
        variant = processorHasBmi1() ? CbcRounds::Bmi1 : CbcRounds::Portable;
    }
    if (variant == CbcRounds::Bmi1) rounds = CbcRounds::Bmi1;
#else
    (void)variant;
#endif
}

BlowfishCipher::~BlowfishCipher() {
    secureWipe(P, sizeof P);
    secureWipe(S, sizeof S);
}

// Extract selects the bit-field extract for the third byte; it is only
// ever true where TANDREL_BLOWFISH_BEXTR is defined.
template <bool Extract>
inline std::uint32_t BlowfishCipher::f(std::uint32_t x) const {
    std::uint64_t third = (x >> 16) & 255;
#ifdef TANDREL_BLOWFISH_BEXTR
    if constexpr (Extract) third = extractThirdByte(x);
#endif
    return ((S[0][x >> 24] + S[1][third]) ^ S[2][(x >> 8) & 255]) + S[3][x & 255];
}

// CBC encryption waits on each block's rounds before the next can start, so
// the rounds are written into the buffer loop itself: the halves then stay in
// registers from block to block instead of passing through memory on that
// chain, as a call would make them.
#if defined(_MSC_VER)
#define TANDREL_INLINE_ROUNDS __forceinline
#else
#define TANDREL_INLINE_ROUNDS inline __attribute__((always_inline))
#endif

// The rounds are unrolled and the halves never swapped: each line finishes
// one round's F and starts the next round's P step on the other half.
template <bool Extract>
TANDREL_INLINE_ROUNDS void BlowfishCipher::encipher(std::uint32_t& L, std::uint32_t& R) const {
    std::uint32_t l = L ^ P[0];
    std::uint32_t r = R;
    r ^= f<Extract>(l) ^ P[1];
    l ^= f<Extract>(r) ^ P[2];
    r ^= f<Extract>(l) ^ P[3];
    l ^= f<Extract>(r) ^ P[4];
    r ^= f<Extract>(l) ^ P[5];
    l ^= f<Extract>(r) ^ P[6];
    r ^= f<Extract>(l) ^ P[7];
    l ^= f<Extract>(r) ^ P[8];
    r ^= f<Extract>(l) ^ P[9];
    l ^= f<Extract>(r) ^ P[10];
    r ^= f<Extract>(l) ^ P[11];
    l ^= f<Extract>(r) ^ P[12];
    r ^= f<Extract>(l) ^ P[13];
    l ^= f<Extract>(r) ^ P[14];
    r ^= f<Extract>(l) ^ P[15];
    l ^= f<Extract>(r) ^ P[16];
    L = r ^ P[17];
    R = l;
}

void BlowfishCipher::encryptBlock(std::uint32_t& L, std::uint32_t& R) const { encipher<false>(L, R); }

void BlowfishCipher::decryptBlock(std::uint32_t& L, std::uint32_t& R) const {
    std::uint32_t l = L ^ P[17];
    std::uint32_t r = R;
    r ^= f<false>(l) ^ P[16];
    l ^= f<false>(r) ^ P[15];
    r ^= f<false>(l) ^ P[14];
    l ^= f<false>(r) ^ P[13];
    r ^= f<false>(l) ^ P[12];
    l ^= f<false>(r) ^ P[11];
    r ^= f<false>(l) ^ P[10];
    l ^= f<false>(r) ^ P[9];
    r ^= f<false>(l) ^ P[8];
    l ^= f<false>(r) ^ P[7];
    r ^= f<false>(l) ^ P[6];
    l ^= f<false>(r) ^ P[5];
    r ^= f<false>(l) ^ P[4];
    l ^= f<false>(r) ^ P[3];
    r ^= f<false>(l) ^ P[2];
    l ^= f<false>(r) ^ P[1];
    L = r ^ P[0];
    R = l;
}

void BlowfishCipher::setKey(const std::uint8_t* key, std::int16_t keyLen) {
    const auto n = static_cast<std::uint32_t>(keyLen);
    for (std::uint32_t k = 0; k < table::kSWords; ++k) {
        S[k >> 8][k & 255] = table::kMaskedS[k] ^ k ^ table::kSMask;
    }
    // The P mask comes off in the same step that mixes the key in.
    std::uint32_t j = 0;
    for (std::uint32_t i = 0; i < table::kPWords; ++i) {
        const std::uint32_t word = std::uint32_t{key[j]} << 24 |
                                   std::uint32_t{key[(j + 1) % n]} << 16 |
                                   std::uint32_t{key[(j + 2) % n]} << 8 |
                                   std::uint32_t{key[(j + 3) % n]};
        P[i] = table::kMaskedP[i] ^ word ^ i ^ table::kPMask;
        j = (j + 4) % n;
    }

    std::uint32_t L = 0;
    std::uint32_t R = 0;
    for (std::uint32_t i = 0; i < table::kPWords; i += 2) {
        encryptBlock(L, R);
        P[i] = L;
        P[i + 1] = R;
    }
    for (std::uint32_t k = 0; k < table::kSWords; k += 2) {
        encryptBlock(L, R);
        S[k >> 8][k & 255] = L;
        S[k >> 8][(k + 1) & 255] = R;
    }
}

void BlowfishCipher::encryptBuffer(const std::uint8_t* src, std::uint8_t* dst,
                                   std::uint32_t byteCount) const {
    CbcChain fresh;
    encryptBuffer(src, dst, byteCount, fresh);
}

void BlowfishCipher::decryptBuffer(const std::uint8_t* src, std::uint8_t* dst,
                                   std::uint32_t byteCount) const {
    CbcChain fresh;
    decryptBuffer(src, dst, byteCount, fresh);
}

void BlowfishCipher::encryptBuffer(const std::uint8_t* src, std::uint8_t* dst,
                                   std::uint32_t byteCount, CbcChain& chain) const {
    if (rounds == CbcRounds::Bmi1) {
        encryptChained<true>(src, dst, byteCount, chain);
    } else {
        encryptChained<false>(src, dst, byteCount, chain);
    }
}

template <bool Extract>
void BlowfishCipher::encryptChained(const std::uint8_t* src, std::uint8_t* dst,
                                    std::uint32_t byteCount, CbcChain& chain) const {
    const std::uint32_t words = byteCount / 4;
    std::uint32_t chainL = chain.L;
    std::uint32_t chainR = chain.R;
    std::uint32_t w = 0;
    for (; w + 1 < words; w += 2) {
        std::uint32_t L = loadLittleEndian32(src + 4 * w);
        std::uint32_t R = loadLittleEndian32(src + 4 * w + 4);
        if (chained == 1) {
            L ^= chainL;
            R ^= chainR;
        }
        encipher<Extract>(L, R);
        chainL = L;
        chainR = R;
        storeLittleEndian32(dst + 4 * w, L);
        storeLittleEndian32(dst + 4 * w + 4, R);
    }
    if (w < words) storeLittleEndian32(dst + 4 * w, loadLittleEndian32(src + 4 * w));
    chain = {chainL, chainR};
}

// A block's sixteen rounds are a chain of dependent table lookups that
// leaves most of the processor idle; CBC decryption has no chain between
// blocks, so several blocks go through the rounds side by side. Every
// ciphertext block is read before any plaintext is stored, which keeps
// in-place operation correct.
template <int Lanes>
void BlowfishCipher::decryptBlocks(const std::uint8_t* src, std::uint8_t* dst,
                                   CbcChain& chain) const {
    std::uint32_t cipherL[Lanes], cipherR[Lanes], l[Lanes], r[Lanes];
    for (int lane = 0; lane < Lanes; ++lane) {
        cipherL[lane] = loadLittleEndian32(src + 8 * lane);
        cipherR[lane] = loadLittleEndian32(src + 8 * lane + 4);
        l[lane] = cipherL[lane] ^ P[17];
        r[lane] = cipherR[lane];
    }
    for (int i = 16; i > 0; i -= 2) {
        for (int lane = 0; lane < Lanes; ++lane) r[lane] ^= f<false>(l[lane]) ^ P[i];
        for (int lane = 0; lane < Lanes; ++lane) l[lane] ^= f<false>(r[lane]) ^ P[i - 1];
    }
    for (int lane = 0; lane < Lanes; ++lane) {
        std::uint32_t L = r[lane] ^ P[0];
        std::uint32_t R = l[lane];
        if (chained == 1) {
            L ^= chain.L;
            R ^= chain.R;
        }
        chain = {cipherL[lane], cipherR[lane]};
        storeLittleEndian32(dst + 8 * lane, L);
        storeLittleEndian32(dst + 8 * lane + 4, R);
    }
}

void BlowfishCipher::decryptBuffer(const std::uint8_t* src, std::uint8_t* dst,
                                   std::uint32_t byteCount, CbcChain& chain) const {
    // Measured on a 1 MiB buffer: four blocks at a time run twice as fast as
    // one, eight three times as fast; more spill to the stack and lose again.
    constexpr int kLanes = 8;
    const std::uint32_t blocks = byteCount / 8;
    CbcChain running = chain;
    std::uint32_t block = 0;
    for (; block + kLanes <= blocks; block += kLanes) {
        decryptBlocks<kLanes>(src + 8 * block, dst + 8 * block, running);
    }
    for (; block < blocks; ++block) decryptBlocks<1>(src + 8 * block, dst + 8 * block, running);
    // An odd last word is copied unchanged.
    if (byteCount % 8 >= 4) {
        storeLittleEndian32(dst + 8 * blocks, loadLittleEndian32(src + 8 * blocks));
    }
    chain = running;
}

}  // namespace tandrel
