// CBC decryption on two threads. Each block's plaintext needs only its own
// ciphertext and the block before it, so a piece splits into two halves
// that decipher at once: the caller's thread takes the first, a helper the
// second, chained from the last ciphertext block of the first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "crypto/blowfish.h"

namespace tandrel {

class SplitDecipher {
public:
    // Without `threaded`, or when no thread can be made, every piece is
    // deciphered on the caller's thread alone.
    SplitDecipher(const BlowfishCipher& cipher, bool threaded);
    ~SplitDecipher();
    SplitDecipher(const SplitDecipher&) = delete;
    SplitDecipher& operator=(const SplitDecipher&) = delete;

    // Deciphers `length` bytes (a multiple of 8) in place, chained from
    // `chain`, which then holds the chain after them.
    void decipher(std::uint8_t* bytes, std::uint32_t length, CbcChain& chain);

private:
    void helpUntilStopped();

    const BlowfishCipher& cipher_;
    // The half handed to the helper; null when it has none.
    std::uint8_t* half_ = nullptr;
    std::uint32_t halfLength_ = 0;
    CbcChain halfChain_;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool threaded_ = false;
    std::thread thread_;
};

}  // namespace tandrel
