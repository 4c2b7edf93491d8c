#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/vector_file.h"
#include "platform/platform.h"

namespace tandrel {
namespace {

using test::fromHex;
using test::toHex;

std::string digestHex(Sha256& hasher) {
    std::uint8_t digest[kSha256DigestSize];
    hasher.final(digest);
    return toHex(digest, sizeof digest);
}

// One way of hashing, as the tests force it on a hasher.
struct Variant {
    const char* name;
    Sha256::Compression compression;
    Sha256::ByteSwap byteSwap;
};

constexpr Variant kPortableScalar{"PortableScalar", Sha256::Compression::Portable,
                                  Sha256::ByteSwap::Scalar};
constexpr Variant kVariants[] = {
    kPortableScalar,
    {"PortableSse2", Sha256::Compression::Portable, Sha256::ByteSwap::Sse2},
    {"ShaExtensions", Sha256::Compression::ShaExtensions, Sha256::ByteSwap::Automatic},
};

// Names the variant in test names and failure messages.
void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }

std::string hashOnce(const std::uint8_t* message, std::size_t length, const Variant& variant) {
    Sha256 hasher(variant.compression, variant.byteSwap);
    hasher.reset();
    hasher.update(message, static_cast<std::uint32_t>(length));
    return digestHex(hasher);
}

std::string hashOnce(const std::vector<std::uint8_t>& message) {
    return hashOnce(message.data(), message.size(),
                    {"Automatic", Sha256::Compression::Automatic, Sha256::ByteSwap::Automatic});
}

// A variant the processor cannot run is skipped, never run.
class Sha256Variant : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (GetParam().byteSwap == Sha256::ByteSwap::Sse2 && !platform::processorHasSse2()) {
            GTEST_SKIP() << "processor without SSE2";
        }
        if (GetParam().compression == Sha256::Compression::ShaExtensions &&
            !platform::processorHasShaExtensions()) {
            GTEST_SKIP() << "processor without the SHA extensions (or SSSE3 and SSE4.1)";
        }
    }
};

TEST_P(Sha256Variant, MatchesKnownAnswersForEveryLengthUpTo130) {
    const auto records = test::readVectorFile("sha256.vec");
    ASSERT_EQ(records.size(), 133u);
    for (const auto& record : records) {
        const auto message = fromHex(record.at("Msg"));
        EXPECT_EQ(hashOnce(message.data(), message.size(), GetParam()), record.at("MD"))
            << "length " << message.size();
    }
}

// Random messages of every length across the padding boundaries and a few
// large ones, read from odd addresses (whole blocks are read where they lie),
// in one piece and in two (the first whole blocks), must give the portable
// scalar digest of an aligned copy.
TEST_P(Sha256Variant, AgreesWithPortableScalarInPiecesAtAnyAlignment) {
    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= 300; ++length) lengths.push_back(length);
    for (std::size_t length : {4096 + 17, 65536 + 63, 262144 + 55}) lengths.push_back(length);
    std::mt19937 generator(2026);
    std::vector<std::uint8_t> storage(lengths.back() + 3);
    for (auto& byte : storage) byte = static_cast<std::uint8_t>(generator());

    for (std::size_t length : lengths) {
        for (std::size_t offset : {1, 3}) {
            const std::uint8_t* message = storage.data() + offset;
            const std::vector<std::uint8_t> aligned(message, message + length);
            const std::string expected = hashOnce(aligned.data(), length, kPortableScalar);
            ASSERT_EQ(hashOnce(message, length, GetParam()), expected)
                << "length " << length << " offset " << offset;
            const std::size_t wholeBlocks = length / 64;
            for (std::size_t split : {std::size_t{1}, wholeBlocks / 2, wholeBlocks}) {
                if (split == 0 || split > wholeBlocks) continue;
                Sha256 hasher(GetParam().compression, GetParam().byteSwap);
                hasher.reset();
                const auto first = static_cast<std::uint32_t>(split * 64);
                hasher.update(message, first);
                hasher.update(message + first, static_cast<std::uint32_t>(length) - first);
                ASSERT_EQ(digestHex(hasher), expected)
                    << "length " << length << " offset " << offset << " split " << split;
            }
        }
    }
}

TEST_P(Sha256Variant, MillionLetterAFedAs64BytePieces) {
    const std::vector<std::uint8_t> piece(64, 'a');
    Sha256 hasher(GetParam().compression, GetParam().byteSwap);
    hasher.reset();
    for (int i = 0; i < 1000000 / 64; ++i) hasher.update(piece.data(), 64);
    EXPECT_EQ(digestHex(hasher),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

INSTANTIATE_TEST_SUITE_P(Variants, Sha256Variant, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<std::uint8_t> patterned(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 5);
    return bytes;
}

TEST(Sha256, AutomaticChoiceFollowsTheProcessor) {
    const auto swap = platform::processorHasSse2() ? Sha256::ByteSwap::Sse2
                                                   : Sha256::ByteSwap::Scalar;
    const auto compression = platform::processorHasShaExtensions()
                                 ? Sha256::Compression::ShaExtensions
                                 : Sha256::Compression::Portable;
    EXPECT_EQ(Sha256().byteSwap(), swap);
    EXPECT_EQ(Sha256().compression(), compression);
    const Sha256 forced(Sha256::Compression::Portable, Sha256::ByteSwap::Scalar);
    EXPECT_EQ(forced.byteSwap(), Sha256::ByteSwap::Scalar);
    EXPECT_EQ(forced.compression(), Sha256::Compression::Portable);
}

// A short piece ends the message at once: final must not pad a second time,
// and asking again gives the same digest.
TEST(Sha256, ShortUpdateFinishesTheMessage) {
    const auto message = patterned(10);
    Sha256 hasher;
    hasher.reset();
    hasher.update(message.data(), 10);
    const std::string first = digestHex(hasher);
    EXPECT_EQ(first, hashOnce(message));
    EXPECT_EQ(digestHex(hasher), first);
}

TEST(Sha256, ResetStartsANewMessage) {
    const auto message = patterned(200);
    Sha256 hasher;
    hasher.reset();
    hasher.update(message.data(), 64);
    hasher.reset();
    hasher.update(message.data(), 200);
    EXPECT_EQ(digestHex(hasher), hashOnce(message));
}

}  // namespace
}  // namespace tandrel
