// The hash, the cipher and the key derivation against answers computed
// without the tool (rows under tests/data), and probes that no key or key
// schedule is left on the stack once the calls that used it have returned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "crypto/blowfish.h"
#include "crypto/byte_order.h"
#include "crypto/key_derivation.h"
#include "crypto/sha256.h"
#include "platform/platform.h"
#include "support/scenario.h"

namespace tandrel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Whether the stack below the caller still holds `pattern`, left there by
// calls that have returned.
[[gnu::noinline]] bool stackHolds(const Bytes& pattern) {
    volatile unsigned char below[32768];
    __asm__ volatile("" : : "r"(below) : "memory");  // it holds what it holds, not nothing
    for (std::size_t i = 0; i + pattern.size() <= sizeof below; ++i) {
        std::size_t k = 0;
        while (k < pattern.size() && below[i + k] == pattern[k]) ++k;
        if (k == pattern.size()) return true;
    }
    return false;
}

// One hasher per variant takes every row in turn, from an odd address: each
// reset must start a fresh message, and a second final must not pad again.
TEST(Sha256, KnownAnswersInEveryVariant) {
    const auto rows = readRows("sha256.rows");
    ASSERT_EQ(rows.size(), 134u);
    using C = Sha256::Compression;
    using S = Sha256::ByteSwap;
    const bool sse2 = platform::processorHasSse2(), sha = platform::processorHasShaExtensions();
    EXPECT_TRUE(Sha256().compression() == (sha ? C::ShaExtensions : C::Portable) &&
                Sha256().byteSwap() == (sse2 ? S::Sse2 : S::Scalar));
    // Forcing a variant the processor lacks would crash, so those are left out.
    const std::tuple<C, S, bool> variants[] = {
        {C::Portable, S::Scalar, true}, {C::Portable, S::Sse2, sse2}, {C::ShaExtensions, S::Automatic, sha}};
    for (const auto& [compression, swap, runs] : variants) {
        if (!runs) continue;
        Sha256 hasher(compression, swap);
        EXPECT_TRUE(hasher.compression() == compression && (swap == S::Automatic || hasher.byteSwap() == swap));
        for (const auto& row : rows) {
            const Bytes piece = fromHex(row[0]);
            Bytes odd(piece.size() + 1), digest(kSha256DigestSize), again(kSha256DigestSize);
            std::copy(piece.begin(), piece.end(), odd.begin() + 1);
            hasher.reset();
            for (int i = std::stoi(row[1]); i > 0; --i) {
                hasher.update(odd.data() + 1, static_cast<std::uint32_t>(piece.size()));
            }
            hasher.final(digest.data());
            hasher.final(again.data());
            EXPECT_TRUE(digest == fromHex(row[2]) && again == digest) << row[0] << " x" << row[1];
        }
    }
}

TEST(BlowfishCipher, KnownAnswers) {
    const auto rows = readRows("blowfish.rows");
    ASSERT_EQ(rows.size(), 70u);
    // In place the count is taken whole, one block per call (never deciphering
    // blocks side by side) and in mixed pieces, the chain carried.
    const std::vector<std::vector<std::uint32_t>> pieceSizes{{1u << 30}, {8}, {72, 8, 24}};
    for (const auto& row : rows) {
        BlowfishCipher cipher;
        if (row[0] == "ecb") {
            const Bytes key = fromHex(row[1]), plain = fromHex(row[2]);
            cipher.setKey(key.data(), static_cast<std::int16_t>(key.size()));
            std::uint32_t L = loadBigEndian32(&plain[0]), R = loadBigEndian32(&plain[4]);
            cipher.encryptBlock(L, R);
            Bytes block(8);
            storeBigEndian32(&block[0], L);
            storeBigEndian32(&block[4], R);
            cipher.decryptBlock(L, R);
            EXPECT_TRUE(block == fromHex(row[3]) && L == loadBigEndian32(&plain[0]) &&
                        R == loadBigEndian32(&plain[4])) << "key " << row[1];
            continue;
        }
        cipher.chained = static_cast<std::uint32_t>(std::stoul(row[1]));
        cipher.setKey(fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f").data(), 32);
        const auto count = static_cast<std::uint32_t>(std::stoul(row[2]));
        const Bytes plain = fromHex(row[3]), expected = fromHex(row[4]);
        const auto merged = [&](const Bytes& words, Bytes rest) {  // the whole words of one, then the rest
            std::copy_n(words.begin(), count / 4 * 4, rest.begin());
            return rest;
        };
        Bytes out(plain.size(), 0xee), back(plain.size(), 0xee);
        cipher.encryptBuffer(plain.data(), out.data(), count);
        cipher.decryptBuffer(expected.data(), back.data(), count);
        EXPECT_TRUE(out == expected && back == merged(plain, expected)) << row[1] << " " << row[2];
        for (const auto& sizes : pieceSizes) {
            Bytes forward = plain, backward = merged(expected, plain);
            CbcChain there, again;
            for (std::uint32_t at = 0, i = 0, n = 0; at < count; at += n, ++i) {
                n = std::min(sizes[i % sizes.size()], count - at);
                cipher.encryptBuffer(&forward[at], &forward[at], n, there);
                cipher.decryptBuffer(&backward[at], &backward[at], n, again);
            }
            EXPECT_TRUE(forward == merged(expected, plain) && backward == plain)
                << row[1] << " " << row[2] << " in pieces of " << sizes[0];
        }
    }
}

// Keys a cipher in a frame of its own; `tables` gets its key schedule.
[[gnu::noinline]] void keyCipher(Bytes& tables) {
    BlowfishCipher cipher;
    cipher.setKey(reinterpret_cast<const std::uint8_t*>("key"), 3);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&cipher);
    tables.assign(bytes + 4, bytes + sizeof cipher);  // past `chained`: P, then S
}

TEST(BlowfishCipher, DestructorWipesTheKeySchedule) {
    Bytes tables;
    keyCipher(tables);
    EXPECT_FALSE(stackHolds(Bytes(tables.begin(), tables.begin() + 72)) ||
                 stackHolds(Bytes(tables.end() - 64, tables.end())));
}

std::uint32_t rowSalt;

// Makes a row's key material in frames of its own.
[[gnu::noinline]] Bytes keyOf(const std::vector<std::string>& row, std::uint32_t& salt) {
    std::string passphrase;
    for (int i = std::stoi(row[1]); i > 0; --i) passphrase += row[0];
    FileKeyMaterial material;
    newFileKeyMaterial(reinterpret_cast<const std::uint8_t*>(row[3].data()),
                       static_cast<std::uint32_t>(row[3].size()), passphrase.c_str(), material,
                       [] { return rowSalt; });
    salt = material.salt;
    return Bytes(material.key, material.key + kFileKeySize);
}

// Once made, the key is in the caller's hands only: neither the material's
// copy nor the state of the hasher that made it (the key, word by word) stays.
TEST(DeriveKey, KnownAnswersLeaveNoKeyBehind) {
    const auto rows = readRows("key_derivation.rows");
    ASSERT_EQ(rows.size(), 9u);
    for (const auto& row : rows) {
        const Bytes expected = fromHex(row[4]);
        Bytes state(kFileKeySize);
        for (std::size_t i = 0; i < kFileKeySize; i += 4) {
            const std::uint32_t word = loadBigEndian32(&expected[i]);
            std::memcpy(&state[i], &word, 4);
        }
        rowSalt = static_cast<std::uint32_t>(std::stoul(row[2], nullptr, 16));
        std::uint32_t salt = 0;
        const Bytes key = keyOf(row, salt);
        EXPECT_FALSE(stackHolds(expected) || stackHolds(state)) << row[0];
        EXPECT_TRUE(key == expected && salt == rowSalt) << row[0] << " x" << row[1] << ", " << row[3];
    }
}

}  // namespace
}  // namespace tandrel::test
