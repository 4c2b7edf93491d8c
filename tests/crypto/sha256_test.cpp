#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
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

std::string hashOnce(const std::vector<std::uint8_t>& message,
                     Sha256::ByteSwap variant = Sha256::ByteSwap::Automatic) {
    Sha256 hasher(variant);
    hasher.reset();
    hasher.update(message.data(), static_cast<std::uint32_t>(message.size()));
    return digestHex(hasher);
}

class Sha256Variant : public ::testing::TestWithParam<Sha256::ByteSwap> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256::ByteSwap::Sse2 && !platform::processorHasSse2()) {
            GTEST_SKIP() << "processor without SSE2";
        }
    }
};

// Each message is hashed from an odd address too: blocks are copied, never
// read in place, so the caller's alignment must not matter.
TEST_P(Sha256Variant, MatchesKnownAnswersForEveryLengthUpTo130) {
    const auto records = test::readVectorFile("sha256.vec");
    ASSERT_EQ(records.size(), 133u);
    for (const auto& record : records) {
        const auto message = fromHex(record.at("Msg"));
        EXPECT_EQ(hashOnce(message, GetParam()), record.at("MD")) << "length " << message.size();

        std::vector<std::uint8_t> shifted(message.size() + 1);
        if (!message.empty()) std::memcpy(shifted.data() + 1, message.data(), message.size());
        Sha256 hasher(GetParam());
        hasher.reset();
        hasher.update(shifted.data() + 1, static_cast<std::uint32_t>(message.size()));
        EXPECT_EQ(digestHex(hasher), record.at("MD")) << "unaligned, length " << message.size();
    }
}

TEST_P(Sha256Variant, MillionLetterAFedAs64BytePieces) {
    const std::vector<std::uint8_t> piece(64, 'a');
    Sha256 hasher(GetParam());
    hasher.reset();
    for (int i = 0; i < 1000000 / 64; ++i) hasher.update(piece.data(), 64);
    EXPECT_EQ(digestHex(hasher),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

INSTANTIATE_TEST_SUITE_P(ByteSwap, Sha256Variant,
                         ::testing::Values(Sha256::ByteSwap::Scalar, Sha256::ByteSwap::Sse2),
                         [](const auto& info) {
                             return info.param == Sha256::ByteSwap::Scalar ? "Scalar" : "Sse2";
                         });

std::vector<std::uint8_t> patterned(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 5);
    return bytes;
}

TEST(Sha256, AutomaticChoiceFollowsTheProcessor) {
    const auto expected = platform::processorHasSse2() ? Sha256::ByteSwap::Sse2
                                                       : Sha256::ByteSwap::Scalar;
    EXPECT_EQ(Sha256().byteSwap(), expected);
    EXPECT_EQ(Sha256(Sha256::ByteSwap::Scalar).byteSwap(), Sha256::ByteSwap::Scalar);
}

TEST(Sha256, TwoFullBlockUpdatesEqualOneMessage) {
    const auto message = patterned(128);
    Sha256 hasher;
    hasher.reset();
    hasher.update(message.data(), 64);
    hasher.update(message.data() + 64, 64);
    EXPECT_EQ(digestHex(hasher), hashOnce(message));
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
