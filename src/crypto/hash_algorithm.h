// The digest interface the rest of the tool hashes through.
#pragma once

#include <cstdint>

namespace tandrel {

class HashAlgorithm {
public:
    virtual ~HashAlgorithm() = default;
    // Starts a new message.
    virtual void reset() {}
    virtual std::uint32_t blockSize() const = 0;
    virtual std::uint32_t digestSize() const = 0;
    // Finishes the message if no update has, then writes digestSize() bytes.
    virtual void final(std::uint8_t* out) = 0;
    // Every piece but the last must be a whole number of blocks: a piece of
    // any other length finishes the message.
    virtual void update(const std::uint8_t* data, std::uint32_t len) = 0;

protected:
    HashAlgorithm() = default;
    HashAlgorithm(const HashAlgorithm&) = default;
    HashAlgorithm& operator=(const HashAlgorithm&) = default;
};

}  // namespace tandrel
