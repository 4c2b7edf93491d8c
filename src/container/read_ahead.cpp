#include "container/read_ahead.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "platform/secure_wipe.h"

namespace tandrel {

ReadAhead::ReadAhead(const platform::MappedFile& input, std::uint32_t pieceSize, std::uint32_t spare, std::uint8_t* own,
                     bool threaded)
    : input_(input), length_(input.size()), pieceSize_(pieceSize), slotData_(kPiecesPerSlot * pieceSize),
      slotSize_(std::size_t{slotData_} + spare), own_(own) {
    if (!threaded) return;
    storage_.reset(new (std::nothrow) std::uint8_t[2 * slotSize_]);
    if (!storage_) return;
    slots_[0].bytes = storage_.get();
    slots_[1].bytes = storage_.get() + slotSize_;
    threaded_ = platform::startHelperThread(thread_, [this] { readAll(); });
}

ReadAhead::~ReadAhead() {
    if (threaded_) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    if (storage_) secureWipe(storage_.get(), 2 * slotSize_);
}

std::uint8_t* ReadAhead::next(std::uint32_t& length) {
    length = std::min(pieceSize_, length_ - handedOut_);
    if (length == 0) return nullptr;
    if (!threaded_) {
        input_.copyOut(handedOut_, own_, length);
        handedOut_ += length;
        return own_;
    }
    const std::uint32_t within = handedOut_ % slotData_;
    if (within == 0) {
        // The slot held is used up: it goes back to the thread, for the
        // slot after the next one.
        std::unique_lock<std::mutex> lock(mutex_);
        if (taken_ >= 0) slots_[taken_].full = false;
        taken_ = taken_ == 0 ? 1 : 0;
        changed_.notify_all();
        changed_.wait(lock, [this] { return slots_[taken_].full; });
    }
    handedOut_ += length;
    return slots_[taken_].bytes + within;
}

// The thread: fills the one slot and the other in turn, each once the caller
// has given it back.
void ReadAhead::readAll() {
    for (std::uint32_t offset = 0, slot = 0; offset < length_; slot ^= 1) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return !slots_[slot].full || stopping_; });
            if (stopping_) return;
        }
        // The slot is the thread's alone until it is marked full.
        const std::uint32_t piece = std::min(slotData_, length_ - offset);
        input_.copyOut(offset, slots_[slot].bytes, piece);
        offset += piece;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            slots_[slot].full = true;
        }
        changed_.notify_all();
    }
}

}  // namespace tandrel
