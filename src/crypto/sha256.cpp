#include "crypto/sha256.h"

#include <bit>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/processor.h"
#include "platform/secure_wipe.h"

// Each compiler names the architecture its own way; MSVC defines only the
// _M_ macros.
#if defined(_M_X64) || defined(_M_IX86) || defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TANDREL_SHA256_X86 1
#endif

// GCC and Clang compile an instruction-set extension only in functions that
// ask for it, so the routines chosen at run time carry the request. MSVC
// compiles every intrinsic anywhere and has no such attribute.
#if defined(__GNUC__) || defined(__clang__)
#define TANDREL_TARGET(features) __attribute__((target(features)))
#else
#define TANDREL_TARGET(features)
#endif

namespace tandrel {
namespace {

constexpr std::uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

void swapBlockScalar(std::uint8_t* block) {
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t word = loadBigEndian32(block + 4 * i);
        std::memcpy(block + 4 * i, &word, sizeof word);
    }
}

#ifdef TANDREL_SHA256_X86
// Four 16-byte lanes: swap the 16-bit halves of each word, then the bytes of
// each half. The target lets 32-bit builds carry it for processors that
// report the feature at run time.
TANDREL_TARGET("sse2") void swapBlockSse2(std::uint8_t* block) {
    for (int lane = 0; lane < 4; ++lane) {
        __m128i* at = reinterpret_cast<__m128i*>(block + 16 * lane);
        __m128i v = _mm_load_si128(at);
        v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
        v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        _mm_storeu_si128(at, v);
    }
}
#endif

using SwapRoutine = void (*)(std::uint8_t*);

SwapRoutine chooseSwap(Sha256::ByteSwap variant) {
#ifdef TANDREL_SHA256_X86
    if (variant == Sha256::ByteSwap::Automatic) {
        variant = processorHasSse2() ? Sha256::ByteSwap::Sse2 : Sha256::ByteSwap::Scalar;
    }
    if (variant == Sha256::ByteSwap::Sse2) return swapBlockSse2;
#else
    (void)variant;
#endif
    return swapBlockScalar;
}

// Choice and majority in their three- and four-operation forms: where e is
// set take f, else g; and the bits set in at least two of a, b, c.
inline std::uint32_t choose(std::uint32_t e, std::uint32_t f, std::uint32_t g) {
    return g ^ (e & (f ^ g));
}
inline std::uint32_t majority(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return (a & b) | (c & (a | b));
}
inline std::uint32_t bigSigma0(std::uint32_t x) {
    return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
inline std::uint32_t bigSigma1(std::uint32_t x) {
    return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
inline std::uint32_t smallSigma0(std::uint32_t x) {
    return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
inline std::uint32_t smallSigma1(std::uint32_t x) {
    return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}

// One round with the variables' roles passed in rotated order, so the eight
// calls of a group need no shuffling of a..h.
inline void compressionRound(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                             std::uint32_t& d, std::uint32_t e, std::uint32_t f,
                             std::uint32_t g, std::uint32_t& h, std::uint32_t kw) {
    const std::uint32_t t1 = h + bigSigma1(e) + choose(e, f, g) + kw;
    const std::uint32_t t2 = bigSigma0(a) + majority(a, b, c);
    d += t1;
    h = t1 + t2;
}

#ifdef TANDREL_SHA256_X86
#define TANDREL_SHA_TARGET TANDREL_TARGET("sha,sse4.1,ssse3")

TANDREL_SHA_TARGET inline __m128i loadUnaligned(const void* at) {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}

// Four rounds: the instruction does two, taking W+K from the low half of
// `words`, and the register that held A,B,E,F before them holds the new
// C,D,G,H after them.
TANDREL_SHA_TARGET inline void fourRounds(__m128i& abef, __m128i& cdgh, __m128i words,
                                          int firstRound) {
    const __m128i wk = _mm_add_epi32(words, loadUnaligned(kRoundConstants + firstRound));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0e));
}

// W[t..t+3] from W[t-16..t-1], given as four vectors of four words. By
// reference: 32-bit MSVC cannot pass a fourth vector by value.
TANDREL_SHA_TARGET inline __m128i nextWords(const __m128i& w16, const __m128i& w12,
                                            const __m128i& w8, const __m128i& w4) {
    const __m128i w7 = _mm_alignr_epi8(w4, w8, 4);
    return _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w16, w12), w7), w4);
}

// The instructions keep the state as A,B,E,F and C,D,G,H, each with its
// first letter in the highest lane; the state is rearranged once per call.
TANDREL_SHA_TARGET void compressWithShaExtensions(std::uint32_t* state, const std::uint8_t* blocks,
                                                  std::uint32_t count) {
    // pshufb indices that reverse the bytes of each 32-bit word.
    static constexpr std::uint8_t kWordByteOrder[16] = {3,  2,  1, 0, 7,  6,  5,  4,
                                                        11, 10, 9, 8, 15, 14, 13, 12};
    const __m128i byteOrder = loadUnaligned(kWordByteOrder);
    const __m128i badc = _mm_shuffle_epi32(loadUnaligned(state), 0xb1);
    const __m128i hgfe = _mm_shuffle_epi32(loadUnaligned(state + 4), 0x1b);
    __m128i abef = _mm_alignr_epi8(badc, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, badc, 0xf0);

    for (; count > 0; --count, blocks += kSha256BlockSize) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_shuffle_epi8(loadUnaligned(blocks + 16 * i), byteOrder);
        }
        for (int round = 0; round < 64; round += 16) {
            fourRounds(abef, cdgh, w[0], round);
            fourRounds(abef, cdgh, w[1], round + 4);
            fourRounds(abef, cdgh, w[2], round + 8);
            fourRounds(abef, cdgh, w[3], round + 12);
            if (round < 48) {
                w[0] = nextWords(w[0], w[1], w[2], w[3]);
                w[1] = nextWords(w[1], w[2], w[3], w[0]);
                w[2] = nextWords(w[2], w[3], w[0], w[1]);
                w[3] = nextWords(w[3], w[0], w[1], w[2]);
            }
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace

Sha256::Sha256() : Sha256(Compression::Automatic, ByteSwap::Automatic) {}

Sha256::Sha256(Compression compression, ByteSwap byteSwap)
    : compressBlock(compressPortable), swapBlock(chooseSwap(byteSwap)) {
#ifdef TANDREL_SHA256_X86
    if (compression == Compression::Automatic) {
        compression = processorHasShaExtensions() ? Compression::ShaExtensions
                                                            : Compression::Portable;
    }
    if (compression == Compression::ShaExtensions) compressBlock = compressShaExtensions;
#else
    (void)compression;
#endif
}

Sha256::ByteSwap Sha256::byteSwap() const {
    return swapBlock == swapBlockScalar ? ByteSwap::Scalar : ByteSwap::Sse2;
}

Sha256::Compression Sha256::compression() const {
    return compressBlock == compressPortable ? Compression::Portable : Compression::ShaExtensions;
}

void Sha256::reset() {
    std::memcpy(state, kInitialState, sizeof state);
    total = 0;
    finalized = false;
}

void Sha256::wipeState() {
    secureWipe(block, sizeof block);
    secureWipe(work, sizeof work);
    secureWipe(state, sizeof state);
    secureWipe(schedule, sizeof schedule);
    secureWipe(&total, sizeof total);
}

void Sha256::compressPortable(Sha256& hasher, const std::uint8_t* blocks, std::uint32_t count) {
    std::uint32_t* w = hasher.schedule;
    for (; count > 0; --count, blocks += kSha256BlockSize) {
        // Copied first so the swap works on aligned words wherever the
        // caller's bytes lie.
        std::memcpy(w, blocks, kSha256BlockSize);
        hasher.swapBlock(reinterpret_cast<std::uint8_t*>(w));
        for (int t = 16; t < 64; ++t) {
            w[t] = smallSigma1(w[t - 2]) + w[t - 7] + smallSigma0(w[t - 15]) + w[t - 16];
        }

        std::uint32_t a = hasher.state[0], b = hasher.state[1], c = hasher.state[2],
                      d = hasher.state[3], e = hasher.state[4], f = hasher.state[5],
                      g = hasher.state[6], h = hasher.state[7];
        for (int t = 0; t < 64; t += 8) {
            compressionRound(a, b, c, d, e, f, g, h, kRoundConstants[t] + w[t]);
            compressionRound(h, a, b, c, d, e, f, g, kRoundConstants[t + 1] + w[t + 1]);
            compressionRound(g, h, a, b, c, d, e, f, kRoundConstants[t + 2] + w[t + 2]);
            compressionRound(f, g, h, a, b, c, d, e, kRoundConstants[t + 3] + w[t + 3]);
            compressionRound(e, f, g, h, a, b, c, d, kRoundConstants[t + 4] + w[t + 4]);
            compressionRound(d, e, f, g, h, a, b, c, kRoundConstants[t + 5] + w[t + 5]);
            compressionRound(c, d, e, f, g, h, a, b, kRoundConstants[t + 6] + w[t + 6]);
            compressionRound(b, c, d, e, f, g, h, a, kRoundConstants[t + 7] + w[t + 7]);
        }

        const std::uint32_t finalWork[8] = {a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i) {
            hasher.work[i] = finalWork[i];
            hasher.state[i] += finalWork[i];
        }
    }
}

#ifdef TANDREL_SHA256_X86
void Sha256::compressShaExtensions(Sha256& hasher, const std::uint8_t* blocks,
                                   std::uint32_t count) {
    compressWithShaExtensions(hasher.state, blocks, count);
}
#endif

// Whole blocks go to the compression straight from the caller's memory, all
// in one call.
void Sha256::update(const std::uint8_t* data, std::uint32_t len) {
    total += len;
    const std::uint32_t wholeBlocks = len / kSha256BlockSize;
    if (wholeBlocks != 0) {
        compressBlock(*this, data, wholeBlocks);
        data += wholeBlocks * kSha256BlockSize;
        len %= kSha256BlockSize;
        if (len == 0) return;
    }
    finishMessage(data, len);
}

void Sha256::finishMessage(const std::uint8_t* tail, std::uint32_t tailLen) {
    std::uint8_t* first = block[0];
    // A zero-length tail may come with a null pointer, which memcpy must not see.
    if (tailLen != 0) std::memcpy(first, tail, tailLen);
    first[tailLen] = 0x80;
    std::memset(first + tailLen + 1, 0, kSha256BlockSize - tailLen - 1);

    const bool needsSecondBlock = tailLen >= kSha256BlockSize - 8;
    std::uint8_t* last = needsSecondBlock ? block[1] : first;
    if (needsSecondBlock) std::memset(last, 0, kSha256BlockSize);
    storeBigEndian32(last + 56, total >> 29);
    storeBigEndian32(last + 60, total << 3);

    compressBlock(*this, first, 1);
    if (needsSecondBlock) compressBlock(*this, last, 1);
    finalized = true;
}

void Sha256::final(std::uint8_t* out) {
    if (!finalized) update(nullptr, 0);
    for (int i = 0; i < 8; ++i) storeBigEndian32(out + 4 * i, state[i]);
}

}  // namespace tandrel
