// Hashes and writes the pieces of a stream on a second thread, so that the
// caller's thread can encipher or decipher the next piece meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "crypto/sha256.h"
#include "platform/platform.h"

namespace tandrel {

class PieceWriter {
public:
    // At most this many pieces are handed over and not yet done; a caller
    // that cycles through one more buffer than that may refill a buffer as
    // soon as hand() has returned. More than one lets the second thread fall
    // behind for a while, as it does when the processor is shared, without
    // holding up the caller.
    static constexpr std::uint32_t kDepth = 3;

    // Where no second thread can be started, every piece is hashed and
    // written by the caller's thread when it is handed over.
    PieceWriter(Sha256& hasher, platform::MappedFile& output);
    // Finishes the pieces in hand before the thread ends; the buffers handed
    // over must outlive the writer.
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    // Has the hasher take in hashLen bytes at `hashed`, then the output take
    // writeLen bytes at `written`, in the order the pieces are handed over,
    // and returns once no more than kDepth pieces are left to do. Both
    // buffers must stay unchanged until kDepth more calls, or finish(), have
    // returned. False, with nothing handed over, once a write has failed:
    // that write has reported it, and no later write is tried.
    bool hand(const std::uint8_t* hashed, std::uint32_t hashLen, const std::uint8_t* written,
              std::uint32_t writeLen);
    // Waits until every piece is done; false when a write failed.
    bool finish();

private:
    struct Piece {
        const std::uint8_t* hashed;
        std::uint32_t hashLen;
        const std::uint8_t* written;
        std::uint32_t writeLen;
    };

    void run();
    // False when the write failed.
    bool process(const Piece& piece);

    Sha256& hasher_;
    platform::MappedFile& output_;
    // Everything below is shared with the thread and guarded by mutex_,
    // but for failed_: only the thread that writes sets it, under the mutex,
    // so that thread may read it without.
    std::mutex mutex_;
    std::condition_variable handed_;
    std::condition_variable done_;
    // The pieces not yet done, oldest first, from queue_[first_] on; the
    // oldest may be in the thread's hands.
    Piece queue_[kDepth]{};
    std::uint32_t first_ = 0;
    std::uint32_t count_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace tandrel
