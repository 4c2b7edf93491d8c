#include "container/container_format.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace tandrel {
namespace {

void store32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t load32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A name field is usable when it lies inside the file and holds its NUL.
bool fieldHoldsString(const std::uint8_t* data, std::uint64_t offset, std::uint64_t length,
                      std::uint64_t size) {
    if (length == 0 || offset + length > size) return false;
    const std::uint8_t* field = data + offset;
    return std::find(field, field + length, 0) != field + length;
}

// The field's text up to its NUL, looked for again within the field alone:
// the bytes may have changed since they were checked.
std::string textOfField(const std::uint8_t* data, std::uint64_t offset, std::uint64_t length) {
    const char* field = reinterpret_cast<const char*>(data + offset);
    return std::string(field, std::find(field, field + length, '\0'));
}

}  // namespace

const char* nameWithoutDirectory(const char* path) {
    const char* name = platform::afterLastSeparator(path);
    const bool driveLetter = (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
    return driveLetter && name[1] == ':' ? name + 2 : name;
}

const char* restorableName(const char* stored) {
    const char* name = nameWithoutDirectory(stored);
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return nullptr;
    for (const char* at = name; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte == ':' || byte < 0x20 || byte == 0x7f) return nullptr;
    }
    return platform::isReservedFileName(name) ? nullptr : name;
}

std::size_t writeHeader(std::uint8_t* dest, const char* name, const char* project,
                        std::uint32_t plainLen, std::uint32_t salt, const std::uint8_t* digest) {
    const std::size_t nameLen = std::strlen(name) + 1;
    const std::size_t projectLen = std::strlen(project) + 1;
    std::memcpy(dest + kSignatureOffset, kSignature, sizeof kSignature);
    store32(dest + kReservedOffset, 0);
    store32(dest + kPlainLenOffset, plainLen);
    store32(dest + kSaltOffset, salt);
    std::memcpy(dest + kDigestOffset, digest, kDigestSize);
    store32(dest + kNameLenOffset, static_cast<std::uint32_t>(nameLen));
    store32(dest + kProjectLenOffset, static_cast<std::uint32_t>(projectLen));
    std::memcpy(dest + kHeaderSize, name, nameLen);
    std::memcpy(dest + kHeaderSize + nameLen, project, projectLen);
    return kHeaderSize + nameLen + projectLen;
}

ContainerKind readContainer(const std::uint8_t* data, std::uint32_t size, ContainerView& view) {
    // Bytes a short file lacks count as zero for telling plain from
    // encrypted; such a file is then too short to be a sound one.
    std::uint8_t start[8] = {};
    std::memcpy(start, data, std::min<std::size_t>(size, sizeof start));
    if (size < sizeof kSignature || std::memcmp(start, kSignature, sizeof kSignature) != 0 ||
        load32(start + kReservedOffset) != 0) {
        return ContainerKind::Plain;
    }
    if (size < kHeaderSize) return ContainerKind::Damaged;

    ContainerHeader& header = view.header;
    header.plainLen = load32(data + kPlainLenOffset);
    header.salt = load32(data + kSaltOffset);
    std::memcpy(header.digest, data + kDigestOffset, kDigestSize);
    header.nameLen = load32(data + kNameLenOffset);
    header.projectLen = load32(data + kProjectLenOffset);

    const std::uint64_t padded = paddedLength(header.plainLen);
    const std::uint64_t pad = padded - header.plainLen;
    const std::uint64_t projectOffset = std::uint64_t{kHeaderSize} + header.nameLen;
    const std::uint64_t cipherOffset = projectOffset + header.projectLen;
    // The first test is the format's traditional length check; the field
    // tests after it are stricter and make sure that nothing the reader
    // touches lies outside the file. No sound file has an empty plaintext:
    // an empty input cannot be encrypted.
    if (header.plainLen == 0 || size <= std::uint64_t{header.plainLen} + header.nameLen + pad + 4 ||
        !fieldHoldsString(data, kHeaderSize, header.nameLen, size) ||
        !fieldHoldsString(data, projectOffset, header.projectLen, size) ||
        cipherOffset + padded > size) {
        return ContainerKind::Damaged;
    }
    view.name = textOfField(data, kHeaderSize, header.nameLen);
    view.project = textOfField(data, projectOffset, header.projectLen);
    view.ciphertext = data + cipherOffset;
    view.paddedLen = static_cast<std::uint32_t>(padded);
    return ContainerKind::Encrypted;
}

}  // namespace tandrel
