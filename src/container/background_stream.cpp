#include "container/background_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/secure_wipe.h"

namespace tandrel {

BackgroundStream::BackgroundStream(Consumer consumer, std::size_t bufferSize, bool threaded)
    : consumer_(std::move(consumer)), bufferSize_(bufferSize) {
    if (!threaded) return;
    const std::size_t total = 2 * bufferSize_ + kAlignment;
    storage_.reset(new (std::nothrow) std::uint8_t[total]);
    if (!storage_) return;
    void* start = storage_.get();
    std::size_t room = total;
    auto* aligned = static_cast<std::uint8_t*>(std::align(kAlignment, 2 * bufferSize_, start, room));
    buffers_[0].bytes = aligned;
    buffers_[1].bytes = aligned + bufferSize_;
    threaded_ = platform::startHelperThread(thread_, [this] { consumeQueued(); });
}

BackgroundStream::~BackgroundStream() {
    if (threaded_) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    if (storage_) secureWipe(storage_.get(), 2 * bufferSize_ + kAlignment);
}

bool BackgroundStream::put(std::uint64_t offset, const std::uint8_t* data, std::uint64_t length) {
    if (!threaded_) {
        failed_ = failed_ || !consumer_(offset, data, static_cast<std::size_t>(length));
        return !failed_;
    }
    while (length > 0) {
        if (buffers_[filling_].used > 0 && buffers_[filling_].offset + buffers_[filling_].used != offset) {
            handOver();  // not contiguous with what the buffer holds
        }
        Buffer& buffer = buffers_[filling_];
        if (buffer.used == 0) buffer.offset = offset;
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize_ - buffer.used, length));
        std::memcpy(buffer.bytes + buffer.used, data, piece);
        buffer.used += piece;
        offset += piece;
        data += piece;
        length -= piece;
        if (buffer.used == bufferSize_) handOver();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    return !failed_;
}

bool BackgroundStream::finish() {
    if (!threaded_) return !failed_;
    if (buffers_[filling_].used > 0) handOver();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !buffers_[0].queued && !buffers_[1].queued; });
    return !failed_;
}

// Queues the buffer being filled and switches to the other one, once the
// thread is done with it.
void BackgroundStream::handOver() {
    std::unique_lock<std::mutex> lock(mutex_);
    buffers_[filling_].queued = true;
    filling_ ^= 1;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !buffers_[filling_].queued; });
    buffers_[filling_].used = 0;
}

// The thread: consumes the buffers in the order they were queued, which is
// alternately the one and the other.
void BackgroundStream::consumeQueued() {
    for (int next = 0;; next ^= 1) {
        bool skip = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return buffers_[next].queued || stopping_; });
            if (!buffers_[next].queued) return;
            skip = failed_;
        }
        // The buffer is the thread's alone until it is marked consumed.
        const Buffer& buffer = buffers_[next];
        const bool consumed = skip || consumer_(buffer.offset, buffer.bytes, buffer.used);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            failed_ = failed_ || !consumed;
            buffers_[next].queued = false;
        }
        changed_.notify_all();
    }
}

}  // namespace tandrel
