#include "crypto/key_derivation.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <new>
#include <string>

#include "crypto/vector_file.h"
#include "crypto/wipe_probe.h"

namespace tandrel {
namespace {

using test::fromHex;
using test::toHex;

// SHA-256("abc"), standing in for a plaintext digest.
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr std::uint32_t kSalt = 0x12345678;

std::string derivedHex(const std::string& passphrase, std::uint32_t salt,
                       const std::vector<std::uint8_t>& digest) {
    std::uint8_t key[kFileKeySize];
    deriveKey(passphrase.c_str(), salt, digest.data(), key);
    return toHex(key, sizeof key);
}

std::string longestPassphrase() {
    std::string text;
    while (text.size() < 1023) text += "0123456789";
    return text.substr(0, 1023);
}

// Expected keys were made without the tool, by this shell pipeline:
//   { printf '%s' "$pass"; printf '\x78\x56\x34\x12';
//     printf 'abc' | sha256sum | cut -c1-64 | xxd -r -p; } > base
//   n=$(stat -c %s base); { cat base; head -c $((64 - n % 64)) base; } > msg
//   for i in $(seq 1024); do cat msg; done | sha256sum
// The passphrase lengths give messages of 36+28, 64+64 (a whole extra block,
// never an empty fill), 65+63 and 1059+29 bytes.
TEST(DeriveKey, MatchesIndependentlyComputedKeys) {
    struct Case {
        std::string passphrase;
        const char* key;
    };
    const Case cases[] = {
        {"", "2f6448ed43a9cf8a7787ce91b82d52190f4ebc069dbc34786a0fe99c31902ade"},
        {"correct horse battery staple",
         "3b365b0bc16803ba4f0819c2695d75c7902c23801419ea112a9ebc3dae923a3b"},
        {"correct horse battery staple!",
         "d182157b11eeeb6d5f98d28eb8ffe137a630e77b938a363a14773177e8ee6172"},
        {longestPassphrase(), "99f782fc00bb48ef9f44f370c8d8f7fea0388c3863b39d0f31bf665eb9acfb8a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(derivedHex(c.passphrase, kSalt, fromHex(kAbcDigest)), c.key)
            << "passphrase of " << c.passphrase.size() << " bytes";
    }
}

TEST(DeriveKey, IsDeterministicAndDependsOnEveryInput) {
    const auto digest = fromHex(kAbcDigest);
    const std::string reference = derivedHex("project pass", kSalt, digest);
    EXPECT_EQ(derivedHex("project pass", kSalt, digest), reference);
    EXPECT_NE(derivedHex("project pasS", kSalt, digest), reference);
    EXPECT_NE(derivedHex("project pass", kSalt + 1, digest), reference);
    for (std::size_t i : {0u, 17u, 31u}) {
        auto changed = digest;
        changed[i] ^= 0x80;
        EXPECT_NE(derivedHex("project pass", kSalt, changed), reference) << "digest byte " << i;
    }
}

TEST(DeriveKey, UsesAtMost1023PassphraseBytes) {
    const auto digest = fromHex(kAbcDigest);
    EXPECT_EQ(derivedHex(longestPassphrase() + std::string(5000, 'x'), kSalt, digest),
              derivedHex(longestPassphrase(), kSalt, digest));
}

std::uint32_t fixedSalt() { return kSalt; }

TEST(NewFileKeyMaterial, HashesThePlaintextAndDerivesFromTheSalt) {
    const std::uint8_t plaintext[] = {'a', 'b', 'c'};
    FileKeyMaterial material;
    newFileKeyMaterial(plaintext, 3, "correct horse battery staple", material, fixedSalt);
    EXPECT_EQ(material.salt, kSalt);
    EXPECT_EQ(toHex(material.digest, 32), kAbcDigest);
    EXPECT_EQ(toHex(material.key, 32),
              "3b365b0bc16803ba4f0819c2695d75c7902c23801419ea112a9ebc3dae923a3b");
}

TEST(NewFileKeyMaterial, DefaultSaltIsTheOneTheKeyWasDerivedFrom) {
    FileKeyMaterial material;
    newFileKeyMaterial(nullptr, 0, "pass", material);
    EXPECT_EQ(toHex(material.digest, 32),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(toHex(material.key, 32),
              derivedHex("pass", material.salt, fromHex(toHex(material.digest, 32))));
}

TEST(FileKeyMaterial, DestructorWipesTheKey) {
    alignas(FileKeyMaterial) std::array<unsigned char, sizeof(FileKeyMaterial)> storage{};
    auto* material = new (storage.data()) FileKeyMaterial{};
    newFileKeyMaterial(nullptr, 0, "pass", *material, fixedSalt);
    const unsigned char* key = storage.data() + offsetof(FileKeyMaterial, key);
    ASSERT_FALSE(test::bytesAreZero(key, kFileKeySize));
    material->~FileKeyMaterial();
    EXPECT_TRUE(test::bytesAreZero(key, kFileKeySize));
}

}  // namespace
}  // namespace tandrel
