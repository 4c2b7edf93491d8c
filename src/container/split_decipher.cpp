#include "container/split_decipher.h"

#include "platform/platform.h"
#include "platform/secure_wipe.h"

namespace tandrel {
namespace {

// Below this a hand-over costs more than the half it saves.
constexpr std::uint32_t kSmallestSplit = 16 * 1024;

// The chain that follows the ciphertext block at `block`: deciphering that
// block leaves the chain holding it, whatever form the cipher keeps it in.
CbcChain chainAfter(const BlowfishCipher& cipher, const std::uint8_t* block) {
    CbcChain chain;
    std::uint8_t plain[8];
    cipher.decryptBuffer(block, plain, sizeof plain, chain);
    secureWipe(plain, sizeof plain);
    return chain;
}

}  // namespace

SplitDecipher::SplitDecipher(const BlowfishCipher& cipher, bool threaded) : cipher_(cipher) {
    if (threaded) threaded_ = platform::startHelperThread(thread_, [this] { helpUntilStopped(); });
}

SplitDecipher::~SplitDecipher() {
    if (!threaded_) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SplitDecipher::decipher(std::uint8_t* bytes, std::uint32_t length, CbcChain& chain) {
    if (!threaded_ || length < kSmallestSplit) {
        cipher_.decryptBuffer(bytes, bytes, length, chain);
        return;
    }
    const std::uint32_t first = length / 2 / 8 * 8;
    // Both chains are taken before either half is deciphered in place.
    const CbcChain after = chainAfter(cipher_, bytes + length - 8);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        halfChain_ = chainAfter(cipher_, bytes + first - 8);
        halfLength_ = length - first;
        half_ = bytes + first;
    }
    changed_.notify_all();
    cipher_.decryptBuffer(bytes, bytes, first, chain);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return half_ == nullptr; });
    chain = after;
}

void SplitDecipher::helpUntilStopped() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || half_ != nullptr; });
        if (stopping_) return;
        lock.unlock();
        cipher_.decryptBuffer(half_, half_, halfLength_, halfChain_);
        lock.lock();
        half_ = nullptr;
        changed_.notify_all();
    }
}

}  // namespace tandrel
