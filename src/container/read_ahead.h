// An input read ahead of the work on it: while the caller works on one piece,
// a thread of its own copies the pieces after it out of the file. Each piece
// is a private copy, so the caller may change it, and nothing another
// process does to the file changes it under the caller.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace tandrel {

namespace platform {
class MappedFile;
}

class ReadAhead {
public:
    // The whole of `input` in pieces of `pieceSize` bytes (the last one may
    // be shorter); the last one has `spare` bytes after it that the caller
    // may use. `own` holds pieceSize + spare bytes: without `threaded`, or
    // when no thread or buffers can be had, each piece is read into it when
    // it is asked for.
    ReadAhead(const platform::MappedFile& input, std::uint32_t pieceSize, std::uint32_t spare, std::uint8_t* own,
              bool threaded);
    // Stops the thread, then wipes the buffers: they held what may be plaintext.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next piece, with its length in `length`; null after the last. It
    // is the caller's until the next call.
    std::uint8_t* next(std::uint32_t& length);

private:
    // The thread reads many pieces at a time, so that handing slots over
    // costs little beside the copying.
    static constexpr std::uint32_t kPiecesPerSlot = 16;

    struct Slot {
        std::uint8_t* bytes = nullptr;
        bool full = false;  // read, and not yet given back by the caller
    };

    void readAll();

    const platform::MappedFile& input_;
    std::uint32_t length_;
    std::uint32_t pieceSize_;
    std::uint32_t slotData_;
    std::size_t slotSize_;
    std::uint8_t* own_;
    std::uint32_t handedOut_ = 0;
    std::unique_ptr<std::uint8_t[]> storage_;
    Slot slots_[2];
    int taken_ = -1;  // the slot the caller holds
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool threaded_ = false;
    std::thread thread_;
};

}  // namespace tandrel
