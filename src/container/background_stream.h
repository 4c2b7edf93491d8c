// A stream of bytes passed on, in order, to a function that runs on a thread
// of its own: writing an output, or hashing what is being enciphered, goes on
// beside the work that makes the next bytes instead of after it. The bytes
// are copied into one of two buffers, so the caller may reuse its own at
// once; a full buffer goes to the thread while the other one fills.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tandrel {

class BackgroundStream {
public:
    // Takes `length` bytes that belong at `offset` of the stream; false on
    // failure, after which the stream passes nothing more on.
    using Consumer = std::function<bool(std::uint64_t offset, const std::uint8_t* data, std::size_t length)>;

    // Buffers start on a boundary of this, so that an output may be written
    // past the system's file cache.
    static constexpr std::size_t kAlignment = 4096;

    // Without `threaded`, each piece goes to the consumer at once, on the
    // caller's thread: for work too small to be worth a thread, or when no
    // thread or buffers can be had.
    BackgroundStream(Consumer consumer, std::size_t bufferSize, bool threaded);
    // Waits for what was handed over, then wipes the buffers: they held
    // what may be plaintext.
    ~BackgroundStream();
    BackgroundStream(const BackgroundStream&) = delete;
    BackgroundStream& operator=(const BackgroundStream&) = delete;

    // False once the consumer has failed.
    bool put(std::uint64_t offset, const std::uint8_t* data, std::uint64_t length);
    // Waits until the consumer has had everything; false if it failed.
    bool finish();

private:
    struct Buffer {
        std::uint8_t* bytes = nullptr;
        std::uint64_t offset = 0;
        std::size_t used = 0;
        bool queued = false;  // handed to the thread, not yet consumed
    };

    void handOver();
    void consumeQueued();

    Consumer consumer_;
    std::size_t bufferSize_;
    std::unique_ptr<std::uint8_t[]> storage_;
    Buffer buffers_[2];
    int filling_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool threaded_ = false;
    std::thread thread_;
};

}  // namespace tandrel
