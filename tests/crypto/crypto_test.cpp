// The hash, the cipher and the key derivation against answers computed
// without the tool (rows under tests/data), and probes that secrets do not
// outlive their use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <numeric>
#include <random>

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

std::string hex(const Bytes& bytes) {
    std::string text;
    for (auto byte : bytes) text += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    return text;
}

struct Variant {
    Sha256::Compression compression;
    Sha256::ByteSwap swap;
    bool runs;  // forcing a variant the processor lacks would crash
};

const Variant kVariants[] = {
    {Sha256::Compression::Portable, Sha256::ByteSwap::Scalar, true},
    {Sha256::Compression::Portable, Sha256::ByteSwap::Sse2, platform::processorHasSse2()},
    {Sha256::Compression::ShaExtensions, Sha256::ByteSwap::Automatic,
     platform::processorHasShaExtensions()},
};

Bytes digestOf(const Variant& variant, const std::uint8_t* message, std::uint32_t length,
               std::uint32_t split) {
    Sha256 hasher(variant.compression, variant.swap);
    hasher.reset();
    if (split != 0) hasher.update(message, split);  // an empty update ends the message
    hasher.update(message + split, length - split);
    Bytes digest(kSha256DigestSize);
    hasher.final(digest.data());
    return digest;
}

// One hasher per variant takes every row in turn, so each reset must start a
// fresh message, and asking for the digest twice must not pad twice.
TEST(Sha256, KnownAnswersInEveryVariant) {
    const auto rows = readRows("sha256.rows");
    ASSERT_EQ(rows.size(), 134u);
    EXPECT_EQ(Sha256().compression(), platform::processorHasShaExtensions()
                                          ? Sha256::Compression::ShaExtensions
                                          : Sha256::Compression::Portable);
    EXPECT_EQ(Sha256().byteSwap(),
              platform::processorHasSse2() ? Sha256::ByteSwap::Sse2 : Sha256::ByteSwap::Scalar);
    for (const auto& variant : kVariants) {
        if (!variant.runs) continue;
        Sha256 hasher(variant.compression, variant.swap);
        EXPECT_EQ(hasher.compression(), variant.compression);
        EXPECT_TRUE(variant.swap == Sha256::ByteSwap::Automatic || hasher.byteSwap() == variant.swap);
        for (const auto& row : rows) {
            const Bytes piece = fromHex(row[0]);
            hasher.reset();
            for (int i = std::stoi(row[1]); i > 0; --i) {
                hasher.update(piece.data(), static_cast<std::uint32_t>(piece.size()));
            }
            Bytes digest(kSha256DigestSize), again(kSha256DigestSize);
            hasher.final(digest.data());
            hasher.final(again.data());
            EXPECT_EQ(hex(digest), row[2]) << piece.size() << " bytes x" << row[1];
            EXPECT_EQ(again, digest);
        }
    }
}

// Every length across the padding boundaries and two large ones, read from an
// odd address, in one piece and split after half its whole blocks: each
// variant must give the portable scalar digest of an aligned copy.
TEST(Sha256, VariantsAgreeAtAnyLengthAlignmentAndSplit) {
    std::vector<std::uint32_t> lengths{4096 + 17, 65536 + 63};
    for (std::uint32_t length = 0; length <= 300; ++length) lengths.push_back(length);
    std::mt19937 generator(2026);
    Bytes storage(65536 + 64 + 1);
    for (auto& byte : storage) byte = static_cast<std::uint8_t>(generator());
    for (std::uint32_t length : lengths) {
        const Bytes aligned(storage.begin() + 1, storage.begin() + 1 + length);
        const Bytes expected = digestOf(kVariants[0], aligned.data(), length, 0);
        for (const auto& variant : kVariants) {
            for (std::uint32_t split : {0u, length / 128 * 64}) {
                if (!variant.runs) continue;
                EXPECT_EQ(hex(digestOf(variant, storage.data() + 1, length, split)), hex(expected))
                    << "length " << length << " split " << split;
            }
        }
    }
}

// After wipeState a hasher that took in a message differs from one that never
// did only in the flag saying its message is finished.
TEST(Sha256, WipeStateLeavesNoTraceOfTheMessage) {
    alignas(Sha256) static unsigned char fresh[sizeof(Sha256)], used[sizeof(Sha256)];
    new (fresh) Sha256;
    auto* hasher = new (used) Sha256;
    const Bytes message(200, 0x5a);
    Bytes digest(kSha256DigestSize);
    hasher->reset();
    hasher->update(message.data(), 200);
    hasher->final(digest.data());
    hasher->wipeState();
    EXPECT_EQ(std::inner_product(fresh, fresh + sizeof fresh, used, 0, std::plus<>(),
                                 std::not_equal_to<>()), 1);
}

TEST(BlowfishCipher, KnownAnswers) {
    const auto rows = readRows("blowfish.rows");
    ASSERT_EQ(rows.size(), 70u);
    const Bytes toolKey = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    // In place, the pieces are: the whole count at once, one block per call
    // (never deciphering blocks side by side), and a mix, the chain carried.
    const std::vector<std::vector<std::uint32_t>> pieceSizes{{1u << 30}, {8}, {72, 8, 24}};
    for (const auto& row : rows) {
        BlowfishCipher cipher;
        if (row[0] == "ecb") {
            const Bytes key = fromHex(row[1]), plain = fromHex(row[2]);
            cipher.setKey(key.data(), static_cast<std::int16_t>(key.size()));
            std::uint32_t L = loadBigEndian32(plain.data()), R = loadBigEndian32(plain.data() + 4);
            cipher.encryptBlock(L, R);
            Bytes block(8);
            storeBigEndian32(block.data(), L);
            storeBigEndian32(block.data() + 4, R);
            EXPECT_EQ(hex(block), row[3]) << "key " << row[1];
            cipher.decryptBlock(L, R);
            EXPECT_TRUE(L == loadBigEndian32(plain.data()) && R == loadBigEndian32(plain.data() + 4));
            continue;
        }
        cipher.chained = static_cast<std::uint32_t>(std::stoul(row[1]));
        cipher.setKey(toolKey.data(), 32);
        const auto count = static_cast<std::uint32_t>(std::stoul(row[2]));
        const Bytes plain = fromHex(row[3]), expected = fromHex(row[4]);
        // The whole words of `words`, the bytes past them from `rest`.
        const auto merged = [&](const Bytes& words, Bytes rest) {
            std::copy_n(words.begin(), count / 4 * 4, rest.begin());
            return rest;
        };
        const std::string label = "chained " + row[1] + " count " + row[2];
        Bytes out(plain.size(), 0xee), back(plain.size(), 0xee);
        cipher.encryptBuffer(plain.data(), out.data(), count);
        cipher.decryptBuffer(expected.data(), back.data(), count);
        EXPECT_EQ(hex(out), row[4]) << label;
        EXPECT_EQ(back, merged(plain, expected)) << label;
        for (const auto& sizes : pieceSizes) {
            Bytes forward = plain, backward = merged(expected, plain);
            CbcChain there, again;
            for (std::uint32_t at = 0, i = 0, n = 0; at < count; at += n, ++i) {
                n = std::min(sizes[i % sizes.size()], count - at);
                cipher.encryptBuffer(forward.data() + at, forward.data() + at, n, there);
                cipher.decryptBuffer(backward.data() + at, backward.data() + at, n, again);
            }
            EXPECT_EQ(hex(forward), hex(merged(expected, plain))) << label << " pieces " << sizes[0];
            EXPECT_EQ(backward, plain) << label << " pieces " << sizes[0];
        }
    }
}

std::uint32_t rowSalt;

// Derives a key in frames of its own that the next call's frame lies over.
[[gnu::noinline]] Bytes derived(const std::string& passphrase, const std::uint8_t* digest) {
    Bytes key(kFileKeySize);
    deriveKey(passphrase.c_str(), rowSalt, digest, key.data());
    return key;
}

// Whether the stack below the caller still holds `pattern`, left there by
// calls that have returned.
[[gnu::noinline]] bool stackHolds(const Bytes& pattern) {
    volatile unsigned char below[32768];
    __asm__ volatile("" : : "r"(below) : "memory");  // holds what it holds, not nothing
    for (std::size_t i = 0; i + pattern.size() <= sizeof below; ++i) {
        std::size_t k = 0;
        while (k < pattern.size() && below[i + k] == pattern[k]) ++k;
        if (k == pattern.size()) return true;
    }
    return false;
}

TEST(DeriveKey, KnownAnswersLeaveNoHashingStateBehind) {
    const auto rows = readRows("key_derivation.rows");
    ASSERT_EQ(rows.size(), 9u);
    for (const auto& row : rows) {
        std::string passphrase;
        for (int i = std::stoi(row[1]); i > 0; --i) passphrase += row[0];
        rowSalt = static_cast<std::uint32_t>(std::stoul(row[2], nullptr, 16));
        FileKeyMaterial material;
        newFileKeyMaterial(reinterpret_cast<const std::uint8_t*>(row[3].data()),
                           static_cast<std::uint32_t>(row[3].size()), passphrase.c_str(),
                           material, [] { return rowSalt; });
        const std::string label = row[0] + " x" + row[1] + ", salt " + row[2] + ", " + row[3];
        EXPECT_EQ(material.salt, rowSalt) << label;
        EXPECT_EQ(hex(Bytes(material.key, material.key + kFileKeySize)), row[4]) << label;
        // The hasher's state after its last block is the key, word by word.
        Bytes state = fromHex(row[4]);
        for (std::size_t i = 0; i < kFileKeySize; i += 4) {
            const std::uint32_t word = loadBigEndian32(state.data() + i);
            std::memcpy(state.data() + i, &word, 4);
        }
        const Bytes key = derived(passphrase, material.digest);
        EXPECT_FALSE(stackHolds(state)) << label;
        EXPECT_EQ(hex(key), row[4]) << label;
    }
}

// Builds a T where its bytes can be read after the destructor, lets `use`
// fill it, and says whether bytes [from, from + count) were written and then
// wiped. The reads are volatile: to the compiler a destroyed object holds
// nothing worth reading.
template <typename T, typename Use>
bool wipedByDestructor(std::size_t from, std::size_t count, Use use) {
    alignas(T) static unsigned char storage[sizeof(T)];
    const volatile unsigned char* bytes = storage + from;
    const auto zero = [&] { return std::all_of(bytes, bytes + count, [](unsigned char b) { return b == 0; }); };
    T* object = new (storage) T{};
    use(*object);
    const bool written = !zero();
    object->~T();
    return written && zero();
}

TEST(Secrets, DestructorsWipeKeys) {
    static_assert(sizeof(BlowfishCipher) == 4 * (1 + 18 + 1024), "chained, then P and S");
    const std::uint8_t key[4] = {1, 2, 3, 4};
    EXPECT_TRUE(wipedByDestructor<BlowfishCipher>(4, sizeof(BlowfishCipher) - 4,
                                                  [&](BlowfishCipher& c) { c.setKey(key, 4); }));
    EXPECT_TRUE(wipedByDestructor<FileKeyMaterial>(
        offsetof(FileKeyMaterial, key), kFileKeySize, [](FileKeyMaterial& material) {
            newFileKeyMaterial(nullptr, 0, "pass", material);  // the tool's own salt
            std::uint8_t key[kFileKeySize];
            deriveKey("pass", material.salt, material.digest, key);
            EXPECT_EQ(0, std::memcmp(key, material.key, kFileKeySize));
        }));
}

}  // namespace
}  // namespace tandrel::test
