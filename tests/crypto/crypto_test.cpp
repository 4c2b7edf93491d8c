// The hash, the cipher and the key derivation against answers computed
// without the tool (rows under tests/data), and probes that no key or key
// schedule is left on the stack once the calls that used it have returned.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <tuple>

#include "crypto/blowfish.h"
#include "crypto/byte_order.h"
#include "crypto/key_derivation.h"
#include "crypto/processor.h"
#include "crypto/sha256.h"
#include "support/scenario.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::stoi(hex.substr(2 * i, 2), nullptr, 16) & 255;
    return bytes;
}

// The last piece of a message, which a hasher keeps until it is gone.
[[gnu::noinline]] void hashAndForget(const std::string& message) {
    Sha256 hasher;
    hasher.reset();
    hasher.update(reinterpret_cast<const std::uint8_t*>(message.data()), static_cast<std::uint32_t>(message.size()));
    std::uint8_t digest[kSha256DigestSize];
    hasher.final(digest);
}

// Each variant reads every row's message from an odd address, each reset
// starting a fresh message. Once wiped, a hasher that took in a message
// differs from one that never did only in its flag saying the message ended.
TEST(Sha256, KnownAnswersInEveryVariant) {
    const auto rows = readRows("sha256.rows");
    ASSERT_EQ(rows.size(), 134u);
    using C = Sha256::Compression;
    using S = Sha256::ByteSwap;
    const bool sse2 = processorHasSse2(), sha = processorHasShaExtensions();
#ifndef _WIN32
    const std::string flags = readBytes("/proc/cpuinfo");  // the kernel's account of the same processor
    EXPECT_EQ(sse2, flags.find(" sse2") != std::string::npos);
    EXPECT_EQ(sha, flags.find(" sha_ni") != std::string::npos);
#endif
    EXPECT_TRUE(Sha256().compression() == (sha ? C::ShaExtensions : C::Portable) &&
                Sha256().byteSwap() == (sse2 ? S::Sse2 : S::Scalar));
    // Forcing a variant the processor lacks would crash, so those are left out.
    const std::tuple<C, S, bool> variants[] = {
        {C::Portable, S::Scalar, true}, {C::Portable, S::Sse2, sse2}, {C::ShaExtensions, S::Automatic, sha}};
    for (const auto& [compression, swap, runs] : variants) {
        if (!runs) continue;
        Sha256 hasher(compression, swap);  // taking every row in turn
        EXPECT_TRUE(hasher.compression() == compression && (swap == S::Automatic || hasher.byteSwap() == swap));
        for (const auto& row : rows) {
            const Bytes odd = fromHex("00" + row[0]);  // the piece from its second byte on
            Bytes digest(kSha256DigestSize);
            hasher.reset();
            for (int i = std::stoi(row[1]); i > 0; --i)
                hasher.update(odd.data() + 1, static_cast<std::uint32_t>(odd.size() - 1));
            hasher.final(digest.data());
            EXPECT_EQ(digest, fromHex(row[2])) << row[0] << " x" << row[1];
        }
    }
    alignas(Sha256) static unsigned char fresh[sizeof(Sha256)], used[sizeof(Sha256)];
    new (fresh) Sha256(C::Portable, S::Scalar);
    auto* hasher = new (used) Sha256(C::Portable, S::Scalar);
    hasher->reset();
    hasher->update(fresh, 10);  // a short piece ends the message at once
    hasher->wipeState();
    int differing = 0;
    for (std::size_t i = 0; i < sizeof fresh; ++i) differing += fresh[i] != used[i];
    EXPECT_EQ(differing, 1);
    const std::string plaintext = "the plaintext's last piece, which no hasher may leave behind";
    hashAndForget(std::string(64, '-') + plaintext);
    EXPECT_FALSE(stackHolds(plaintext));
}

// Every row runs through each CBC encryption variant the processor has.
TEST(BlowfishCipher, KnownAnswers) {
    const auto rows = readRows("blowfish.rows");
    ASSERT_EQ(rows.size(), 70u);
    using V = BlowfishCipher::CbcRounds;
    const bool bmi1 = processorHasBmi1();
#ifndef _WIN32
    EXPECT_EQ(bmi1, readBytes("/proc/cpuinfo").find(" bmi1") != std::string::npos);
#endif
    EXPECT_TRUE(BlowfishCipher().cbcRounds() == (bmi1 ? V::Bmi1 : V::Portable));
    for (const auto& [variant, runs] : {std::pair{V::Portable, true}, std::pair{V::Bmi1, bmi1}}) {
        if (!runs) continue;
        for (const auto& row : rows) {
            BlowfishCipher cipher(variant);
            EXPECT_TRUE(cipher.cbcRounds() == variant);
            if (row[0] == "ecb") {
                const Bytes key = fromHex(row[1]), plain = fromHex(row[2]), expected = fromHex(row[3]);
                cipher.setKey(key.data(), static_cast<std::int16_t>(key.size()));
                std::uint32_t L = loadBigEndian32(&plain[0]), R = loadBigEndian32(&plain[4]);
                cipher.encryptBlock(L, R);
                EXPECT_TRUE(L == loadBigEndian32(&expected[0]) && R == loadBigEndian32(&expected[4])) << row[1];
                cipher.decryptBlock(L, R);
                EXPECT_TRUE(L == loadBigEndian32(&plain[0]) && R == loadBigEndian32(&plain[4])) << row[1];
                continue;
            }
            cipher.chained = static_cast<std::uint32_t>(std::stoul(row[1]));
            cipher.setKey(fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f").data(), 32);
            const auto count = static_cast<std::uint32_t>(std::stoul(row[2]));
            const Bytes plain = fromHex(row[3]), expected = fromHex(row[4]);
            Bytes restored(plain.size(), 0x77);  // deciphered into a buffer of 77s
            std::copy_n(plain.begin(), count / 4 * 4, restored.begin());
            // The count is taken whole (by the calls that start a fresh chain), one
            // block per call (never deciphering blocks side by side) and in mixed
            // pieces, the chain carried.
            for (const auto& sizes : std::vector<std::vector<std::uint32_t>>{{1u << 30}, {8}, {72, 8, 24}}) {
                Bytes out(plain.size(), 0xee), back(plain.size(), 0x77);
                CbcChain there, again;
                for (std::uint32_t at = 0, i = 0, n = 0; at < count || i == 0; at += n, ++i) {
                    n = std::min(sizes[i % sizes.size()], count - at);
                    sizes[0] > count ? cipher.encryptBuffer(&plain[at], &out[at], n)
                                     : cipher.encryptBuffer(&plain[at], &out[at], n, there);
                    sizes[0] > count ? cipher.decryptBuffer(&expected[at], &back[at], n)
                                     : cipher.decryptBuffer(&expected[at], &back[at], n, again);
                }
                EXPECT_TRUE(out == expected && back == restored) << row[1] << " " << row[2] << " in pieces of " << sizes[0];
            }
        }
    }
}

std::uint32_t rowSalt;

// Makes a row's key material, and keys a cipher with it, in frames of their
// own; returns the key schedule.
[[gnu::noinline]] Bytes keyOf(const std::vector<std::string>& row, Bytes& schedule) {
    Sha256 hasher;
    hasher.reset();
    hasher.update(reinterpret_cast<const std::uint8_t*>(row[2].data()), static_cast<std::uint32_t>(row[2].size()));
    std::uint8_t digest[32];
    hasher.final(digest);
    FileKeyMaterial material;
    newFileKeyMaterial(digest, row[0].c_str(), material, [] { return rowSalt; });
    BlowfishCipher cipher;
    cipher.setKey(material.key, kFileKeySize);
    const auto* tables = reinterpret_cast<const std::uint8_t*>(&cipher) + 4;  // past `chained`: P, then S
    schedule.assign(tables, tables + 4 * (18 + 4 * 256));
    return Bytes(material.key, material.key + kFileKeySize);
}

// Once made, a key is in its user's hands only: no copy of it, of the state
// of the hasher that made it (the key's words in the machine's byte order,
// little-endian here) or of a cipher's key schedule stays behind.
TEST(DeriveKey, KnownAnswersLeaveNoKeyBehind) {
    const auto rows = readRows("key_derivation.rows");
    ASSERT_EQ(rows.size(), 9u);
    for (const auto& row : rows) {
        const Bytes expected = fromHex(row[3]);
        Bytes state = expected, schedule;
        for (std::size_t i = 0; i < kFileKeySize; i += 4) std::reverse(&state[i], &state[i] + 4);
        rowSalt = static_cast<std::uint32_t>(std::stoul(row[1], nullptr, 16));
        const Bytes key = keyOf(row, schedule);
        const auto left = [](auto first, auto last) { return stackHolds(std::string(first, last)); };
        EXPECT_FALSE(left(expected.begin(), expected.end()) || left(state.begin(), state.end()) ||
                     left(schedule.begin(), schedule.begin() + 72) || left(schedule.end() - 64, schedule.end()))
            << row[0];
        EXPECT_EQ(key, expected) << row[0] << ", " << row[1] << ", " << row[2];
    }
}

}  // namespace
}  // namespace tandrel::test
