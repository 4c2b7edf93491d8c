// What must hold for any input, one check per fuzz target. Each returns an
// empty string when everything held and otherwise says what did not; the
// fuzzers and the corpus replay both call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tandrel::fuzz {

using Check = std::string (*)(const std::uint8_t* data, std::size_t size);

// The first byte picks the buffer size for names and passphrases, the rest
// is the passphrase file's text.
std::string checkPassphraseScanner(const std::uint8_t* data, std::size_t size);

// The input is a whole file handed to the decrypt mode.
std::string checkContainer(const std::uint8_t* data, std::size_t size);

// The input, split at every NUL, is the argument vector.
std::string checkCommandLine(const std::uint8_t* data, std::size_t size);

}  // namespace tandrel::fuzz
