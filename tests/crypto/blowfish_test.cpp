#include "crypto/blowfish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "crypto/byte_order.h"
#include "crypto/vector_file.h"
#include "crypto/wipe_probe.h"

namespace tandrel {
namespace {

using test::fromHex;
using test::toHex;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kToolKey[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                       11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                       22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

void keyed(BlowfishCipher& cipher, std::uint32_t chained) {
    cipher.chained = chained;
    cipher.setKey(kToolKey, 32);
}

Bytes patterned(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 29 + 3);
    return bytes;
}

Bytes encrypted(const Bytes& plain, std::uint32_t chained) {
    BlowfishCipher cipher;
    keyed(cipher, chained);
    Bytes out(plain.size());
    cipher.encryptBuffer(plain.data(), out.data(), static_cast<std::uint32_t>(plain.size()));
    return out;
}

TEST(BlowfishCipher, MatchesPublishedEcbVectors) {
    const auto records = test::readVectorFile("blowfish_ecb.vec");
    ASSERT_EQ(records.size(), 58u);
    for (const auto& record : records) {
        const Bytes key = fromHex(record.at("Key"));
        const Bytes plain = fromHex(record.at("Plain"));
        BlowfishCipher cipher;
        cipher.chained = 0;
        cipher.setKey(key.data(), static_cast<std::int16_t>(key.size()));

        std::uint32_t L = loadBigEndian32(plain.data());
        std::uint32_t R = loadBigEndian32(plain.data() + 4);
        cipher.encryptBlock(L, R);
        std::uint8_t block[8];
        storeBigEndian32(block, L);
        storeBigEndian32(block + 4, R);
        EXPECT_EQ(toHex(block, 8), record.at("Cipher")) << "key " << record.at("Key");

        cipher.decryptBlock(L, R);
        storeBigEndian32(block, L);
        storeBigEndian32(block + 4, R);
        EXPECT_EQ(toHex(block, 8), record.at("Plain")) << "key " << record.at("Key");
    }
}

// Key lengths past the 72 bytes the schedule reads, up to the largest allowed.
TEST(BlowfishCipher, BlockRoundTripForAnyKeyLength) {
    const Bytes longKey = patterned(32767);
    for (int length : {1, 3, 32, 57, 73, 32767}) {
        BlowfishCipher cipher;
        cipher.setKey(longKey.data(), static_cast<std::int16_t>(length));
        std::uint32_t L = 0x01234567, R = 0x89abcdef;
        cipher.encryptBlock(L, R);
        EXPECT_FALSE(L == 0x01234567 && R == 0x89abcdef) << length;
        cipher.decryptBlock(L, R);
        EXPECT_EQ(L, 0x01234567u) << length;
        EXPECT_EQ(R, 0x89abcdefu) << length;
    }
}

// Computed with OpenSSL's BF_cbc_encrypt (key 00..1f, zero IV) on the
// plaintext with every 4-byte word reversed, reversing the output words again:
// the tool reads its words little-endian where the standard reads big-endian.
TEST(BlowfishCipher, ChainedBufferMatchesIndependentCbc) {
    const Bytes plain = patterned(24);
    ASSERT_EQ(toHex(plain.data(), plain.size()),
              "03203d5a7794b1ceeb0825425f7c99b6d3f00d2a4764819e");
    const Bytes cipherText = encrypted(plain, 1);
    EXPECT_EQ(toHex(cipherText.data(), cipherText.size()),
              "491c0921b8f900b3441328ca20b30d1a9f226bc347625737");

    BlowfishCipher cipher;
    keyed(cipher, 1);
    Bytes back(24);
    cipher.decryptBuffer(cipherText.data(), back.data(), 24);
    EXPECT_EQ(back, plain);
}

TEST(BlowfishCipher, ChainingMakesEqualBlocksDiffer) {
    const Bytes plain(16, 0x5a);
    const Bytes chained = encrypted(plain, 1);
    const Bytes independent = encrypted(plain, 0);
    EXPECT_NE(Bytes(chained.begin(), chained.begin() + 8),
              Bytes(chained.begin() + 8, chained.end()));
    EXPECT_EQ(Bytes(independent.begin(), independent.begin() + 8),
              Bytes(independent.begin() + 8, independent.end()));
    // The first block has nothing to chain from.
    EXPECT_EQ(Bytes(chained.begin(), chained.begin() + 8),
              Bytes(independent.begin(), independent.begin() + 8));
}

// Counts that are not whole blocks: the odd word is copied, the bytes past the
// last whole word are left as they were, and under 4 bytes nothing is touched.
TEST(BlowfishCipher, PartialCountsTouchOnlyWholeWords) {
    const Bytes plain = patterned(24);
    for (std::uint32_t chained : {0u, 1u}) {
        const Bytes full = encrypted(Bytes(plain.begin(), plain.begin() + 16), chained);
        BlowfishCipher cipher;
        keyed(cipher, chained);
        for (std::uint32_t count : {0u, 1u, 2u, 3u, 20u, 22u}) {
            Bytes out(24, 0xee);
            cipher.encryptBuffer(plain.data(), out.data(), count);
            Bytes expected(24, 0xee);
            if (count >= 16) {
                std::copy(full.begin(), full.end(), expected.begin());
                std::copy(plain.begin() + 16, plain.begin() + 20, expected.begin() + 16);
            }
            EXPECT_EQ(out, expected) << "count " << count << " chained " << chained;
        }
    }
}

// The chain restarts with every call, so splitting a buffer changes the result.
TEST(BlowfishCipher, EachCallStartsItsOwnChain) {
    const Bytes plain = patterned(16);
    BlowfishCipher cipher;
    keyed(cipher, 1);
    Bytes oneCall(16), twoCalls(16);
    cipher.encryptBuffer(plain.data(), oneCall.data(), 16);
    cipher.encryptBuffer(plain.data(), twoCalls.data(), 8);
    cipher.encryptBuffer(plain.data() + 8, twoCalls.data() + 8, 8);
    EXPECT_TRUE(std::equal(oneCall.begin(), oneCall.begin() + 8, twoCalls.begin()));
    EXPECT_FALSE(std::equal(oneCall.begin() + 8, oneCall.end(), twoCalls.begin() + 8));

    // A carried chain makes the pieces one stream again, both ways.
    CbcChain forward, backward;
    Bytes pieces(16), back(16);
    cipher.encryptBuffer(plain.data(), pieces.data(), 8, forward);
    cipher.encryptBuffer(plain.data() + 8, pieces.data() + 8, 8, forward);
    EXPECT_EQ(pieces, oneCall);
    cipher.decryptBuffer(pieces.data(), back.data(), 8, backward);
    cipher.decryptBuffer(pieces.data() + 8, back.data() + 8, 8, backward);
    EXPECT_EQ(back, plain);
}

TEST(BlowfishCipher, EncryptionInPlaceEqualsSeparateBuffers) {
    const Bytes plain = patterned(4096 + 4);
    const auto count = static_cast<std::uint32_t>(plain.size());
    for (std::uint32_t chained : {0u, 1u}) {
        BlowfishCipher cipher;
        keyed(cipher, chained);
        Bytes separate(plain.size());
        cipher.encryptBuffer(plain.data(), separate.data(), count);
        Bytes inPlace = plain;
        cipher.encryptBuffer(inPlace.data(), inPlace.data(), count);
        EXPECT_EQ(inPlace, separate) << "chained " << chained;
    }
}

// Decryption works on several blocks at once, which one block per call (the
// chain carried) never does. For every length the two must agree, in one
// call or in pieces, in place or not: whole blocks restored, an odd last word
// copied from the source, the bytes past it left as they were.
TEST(BlowfishCipher, DecryptionAgreesWithOneBlockPerCall) {
    std::vector<std::uint32_t> lengths;
    for (std::uint32_t length = 0; length <= 80; ++length) lengths.push_back(length);
    for (std::uint32_t length : {4096u + 4, 65536u + 13}) lengths.push_back(length);
    const std::uint32_t pieceSizes[] = {72, 8, 24};
    for (std::uint32_t chained : {0u, 1u}) {
        BlowfishCipher cipher;
        keyed(cipher, chained);
        for (std::uint32_t length : lengths) {
            const Bytes plain = patterned(length);
            const Bytes cipherText = encrypted(plain, chained);
            const std::uint32_t blocksEnd = length / 8 * 8;
            const auto restored = [&](Bytes bytes) {
                std::copy(plain.begin(), plain.begin() + blocksEnd, bytes.begin());
                std::copy(cipherText.begin() + blocksEnd, cipherText.begin() + length / 4 * 4,
                          bytes.begin() + blocksEnd);
                return bytes;
            };
            const Bytes untouched(length, 0xee);

            Bytes oneBlockPerCall = untouched;
            CbcChain chain;
            for (std::uint32_t at = 0; at < length; at += 8) {
                cipher.decryptBuffer(cipherText.data() + at, oneBlockPerCall.data() + at,
                                     std::min(8u, length - at), chain);
            }
            EXPECT_EQ(oneBlockPerCall, restored(untouched)) << length << " chained " << chained;

            Bytes oneCall = untouched;
            cipher.decryptBuffer(cipherText.data(), oneCall.data(), length);
            EXPECT_EQ(oneCall, oneBlockPerCall) << length << " chained " << chained;

            Bytes inPlace = cipherText;
            cipher.decryptBuffer(inPlace.data(), inPlace.data(), length);
            EXPECT_EQ(inPlace, restored(cipherText)) << length << " chained " << chained;

            Bytes pieces = cipherText;
            CbcChain carried;
            std::uint32_t at = 0;
            for (std::uint32_t piece = 0; at < length; ++piece) {
                const std::uint32_t count = std::min(pieceSizes[piece % 3], length - at);
                cipher.decryptBuffer(pieces.data() + at, pieces.data() + at, count, carried);
                at += count;
            }
            EXPECT_EQ(pieces, inPlace) << length << " chained " << chained;
        }
    }
}

TEST(BlowfishCipher, DestructorWipesTheKeySchedule) {
    static_assert(sizeof(BlowfishCipher) == 4 * (1 + 18 + 1024), "chained, P, S in order");
    alignas(BlowfishCipher) std::array<unsigned char, sizeof(BlowfishCipher)> storage;
    storage.fill(0xcc);
    auto* cipher = new (storage.data()) BlowfishCipher;
    keyed(*cipher, 1);
    const std::size_t tables = sizeof(BlowfishCipher) - 4;
    ASSERT_FALSE(test::bytesAreZero(storage.data() + 4, tables));
    cipher->~BlowfishCipher();
    EXPECT_TRUE(test::bytesAreZero(storage.data() + 4, tables));
}

}  // namespace
}  // namespace tandrel
