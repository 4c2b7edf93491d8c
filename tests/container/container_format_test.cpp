#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "container/container_format.h"
#include "support/scenario.h"

namespace tandrel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) file[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A sound encrypted file of `plainLen` bytes of (meaningless) ciphertext.
Bytes soundFile(const char* name, const char* project, std::uint32_t plainLen) {
    const std::uint8_t digest[kDigestSize] = {1, 2, 3};
    Bytes file(containerLength(plainLen, std::strlen(name), std::strlen(project)), 0xEE);
    writeHeader(file.data(), name, project, plainLen, 0x01020304, digest);
    return file;
}

ContainerKind classify(const Bytes& file) {
    ContainerView view;
    // An exact-size copy, so that a read past the end is caught.
    Bytes exact(file);
    return readContainer(exact.data(), static_cast<std::uint32_t>(exact.size()), view);
}

TEST(ContainerFormat, PaddingAlwaysAddsOneToEightBytes) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 8}, {1, 8}, {5, 8}, {7, 8}, {8, 16}, {9, 16}, {16, 24}, {4096, 4104}, {0xFFFFFFFF, 0x100000000}};
    for (const auto& [plain, padded] : cases) EXPECT_EQ(paddedLength(plain), padded) << plain;
    EXPECT_EQ(containerLength(5, 10, 3), 66u + 10 + 3);
    EXPECT_EQ(containerLength(4096, 10, 3), 4162u + 10 + 3);
}

TEST(ContainerFormat, HeaderIsWrittenFieldByFieldLittleEndian) {
    std::uint8_t digest[kDigestSize];
    for (std::size_t i = 0; i < kDigestSize; ++i) digest[i] = static_cast<std::uint8_t>(0xA0 + i);
    Bytes file(containerLength(1, 10, 3));
    EXPECT_EQ(writeHeader(file.data(), "report.txt", "Web", 1, 0x11223344, digest), 71u);

    const Bytes expectedStart = {'T', 'D', 'L', 0x01, 0, 0, 0, 0, 1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11};
    EXPECT_TRUE(std::equal(expectedStart.begin(), expectedStart.end(), file.begin()));
    EXPECT_EQ(std::memcmp(file.data() + 16, digest, kDigestSize), 0);
    const Bytes lengths = {11, 0, 0, 0, 4, 0, 0, 0};
    EXPECT_TRUE(std::equal(lengths.begin(), lengths.end(), file.begin() + 48));
    EXPECT_EQ(std::memcmp(file.data() + 56, "report.txt\0Web\0", 15), 0);

    ContainerView view;
    ASSERT_EQ(readContainer(file.data(), static_cast<std::uint32_t>(file.size()), view),
              ContainerKind::Encrypted);
    EXPECT_EQ(view.name, "report.txt");
    EXPECT_EQ(view.project, "Web");
    EXPECT_EQ(view.ciphertext, file.data() + 71);
    EXPECT_EQ(view.paddedLen, 8u);
    EXPECT_EQ(view.header.salt, 0x11223344u);
    EXPECT_EQ(view.header.plainLen, 1u);
}

TEST(ContainerFormat, ReaderSortsEveryFileIntoPlainDamagedOrEncrypted) {
    const Bytes sound = soundFile("name.txt", "Web", 20);
    auto with = [&](auto change) {
        Bytes file = sound;
        change(file);
        return file;
    };
    const struct {
        const char* label;
        Bytes file;
        ContainerKind kind;
    } cases[] = {
        {"sound", sound, ContainerKind::Encrypted},
        {"sound with bytes after the ciphertext", with([](Bytes& f) { f.resize(f.size() + 3); }),
         ContainerKind::Encrypted},
        {"one byte", Bytes{'T'}, ContainerKind::Plain},
        {"three signature bytes", Bytes{'T', 'D', 'L'}, ContainerKind::Plain},
        {"plain text", Bytes(100, 'x'), ContainerKind::Plain},
        {"signature of another version", with([](Bytes& f) { f[3] = 2; }), ContainerKind::Plain},
        {"reserved word set", with([](Bytes& f) { put32(f, 4, 1); }), ContainerKind::Plain},
        {"signature only", Bytes{'T', 'D', 'L', 1}, ContainerKind::Damaged},
        {"signature and part of the reserved word", Bytes{'T', 'D', 'L', 1, 0, 0}, ContainerKind::Damaged},
        {"header cut short", with([](Bytes& f) { f.resize(55); }), ContainerKind::Damaged},
        {"header only", with([](Bytes& f) { f.resize(56); }), ContainerKind::Damaged},
        {"ciphertext cut by a byte", with([](Bytes& f) { f.pop_back(); }), ContainerKind::Damaged},
        {"plain length zero", with([](Bytes& f) { put32(f, 8, 0); }), ContainerKind::Damaged},
        {"plain length too large", with([](Bytes& f) { put32(f, 8, 0xFFFFFFF0); }), ContainerKind::Damaged},
        {"plain length one block more", with([](Bytes& f) { put32(f, 8, 28); }), ContainerKind::Damaged},
        {"name length zero", with([](Bytes& f) { put32(f, 48, 0); }), ContainerKind::Damaged},
        {"name past the end", with([](Bytes& f) { put32(f, 48, 0xFFFFFFFF); }), ContainerKind::Damaged},
        {"name without its NUL", with([](Bytes& f) { f[56 + 8] = 'x'; }), ContainerKind::Damaged},
        {"project length zero", with([](Bytes& f) { put32(f, 52, 0); }), ContainerKind::Damaged},
        {"project past the end", with([](Bytes& f) { put32(f, 52, 0x80000000); }), ContainerKind::Damaged},
        {"project without its NUL", with([](Bytes& f) { f[56 + 9 + 3] = 'x'; }), ContainerKind::Damaged},
        {"project eats the ciphertext", with([](Bytes& f) { put32(f, 52, 20); }), ContainerKind::Damaged},
    };
    for (const auto& c : cases) EXPECT_EQ(classify(c.file), c.kind) << c.label;
}

TEST(ContainerFormat, RestorableNameIsABareNameOrNothing) {
    const auto rows = readRows("stored_names.rows");
    ASSERT_EQ(rows.size(), 23u);
    for (const auto& row : rows) {
        const char* name = restorableName(row.at(0).c_str());
        EXPECT_EQ(name != nullptr ? std::string(name) : "-", row.at(1)) << row.at(0);
    }
}

}  // namespace
}  // namespace tandrel::test
