// The layout of an encrypted file: a 56-byte header of little-endian 32-bit
// words, the plaintext's file name and the project name (both with their
// NUL), then the Blowfish-CBC ciphertext of the zero-filled plaintext.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tandrel {

inline constexpr std::size_t kSignatureOffset = 0;
inline constexpr std::size_t kReservedOffset = 4;
inline constexpr std::size_t kPlainLenOffset = 8;
inline constexpr std::size_t kSaltOffset = 12;
inline constexpr std::size_t kDigestOffset = 16;
inline constexpr std::size_t kDigestSize = 32;
inline constexpr std::size_t kNameLenOffset = kDigestOffset + kDigestSize;
inline constexpr std::size_t kProjectLenOffset = kNameLenOffset + 4;
inline constexpr std::size_t kHeaderSize = kProjectLenOffset + 4;
static_assert(kHeaderSize == 56, "the header is fourteen 32-bit words");

inline constexpr std::uint8_t kSignature[4] = {'T', 'D', 'L', 0x01};

struct ContainerHeader {
    std::uint32_t plainLen = 0;
    std::uint32_t salt = 0;
    std::uint8_t digest[kDigestSize] = {};
    std::uint32_t nameLen = 0;     // name bytes plus its NUL
    std::uint32_t projectLen = 0;  // project bytes plus its NUL
};

// The plaintext is always extended by 1 to 8 zero bytes, to whole blocks.
constexpr std::uint64_t paddedLength(std::uint64_t plainLen) { return plainLen + 8 - plainLen % 8; }

// Total length of an encrypted file; 64-bit so that no sum can wrap.
// The name lengths are without their NULs.
constexpr std::uint64_t containerLength(std::uint64_t plainLen, std::uint64_t nameChars,
                                        std::uint64_t projectChars) {
    return kHeaderSize + (nameChars + 1) + (projectChars + 1) + paddedLength(plainLen);
}

// The text after the last '/' or '\' and after a leading drive ("C:"): a
// file's name without its folder. Every build reads both separators and the
// drive, so a name reads the same whichever system wrote it.
const char* nameWithoutDirectory(const char* path);

// The name a plaintext is restored under, from the name stored in its file:
// the last component only, and null when that is empty, ".", "..", holds a
// ':' or a control byte, or is reserved by the file system. Encryption
// checks its input's name the same way, so it never makes a file whose
// name decryption would refuse.
const char* restorableName(const char* stored);

// Fills the header and the two names at the start of `dest`, which must hold
// containerLength() bytes. Returns the offset at which the ciphertext goes.
std::size_t writeHeader(std::uint8_t* dest, const char* name, const char* project,
                        std::uint32_t plainLen, std::uint32_t salt, const std::uint8_t* digest);

enum class ContainerKind {
    Plain,      // not an encrypted file at all
    Damaged,    // looks encrypted, but its fields do not fit the file
    Encrypted,  // every field lies inside the file
};

// An encrypted file checked field by field. The names are copies, taken
// up to their NULs, so that a file changed while it is read cannot change
// them; the ciphertext is left in the file's bytes.
struct ContainerView {
    ContainerHeader header;
    std::string name;
    std::string project;
    const std::uint8_t* ciphertext = nullptr;
    std::uint32_t paddedLen = 0;
};

// Classifies a whole file and, for an encrypted one, fills `view`. Reads
// nothing outside the `size` bytes at `data`.
ContainerKind readContainer(const std::uint8_t* data, std::uint32_t size, ContainerView& view);

}  // namespace tandrel
