#include "container/piece_writer.h"

namespace tandrel {

PieceWriter::PieceWriter(Sha256& hasher, platform::MappedFile& output) : hasher_(hasher), output_(output) {
    // The standard library reports a thread it cannot start (or the memory
    // for it) only by throwing; the work then stays on this thread.
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
    }
}

PieceWriter::~PieceWriter() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    handed_.notify_one();
    thread_.join();
}

bool PieceWriter::process(const Piece& piece) {
    hasher_.update(piece.hashed, piece.hashLen);
    return piece.writeLen == 0 || output_.write(piece.written, piece.writeLen, true);
}

void PieceWriter::run() {
    platform::leaveSignalsToMainThread();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        handed_.wait(lock, [this] { return count_ > 0 || stopping_; });
        if (count_ == 0) return;
        const Piece piece = queue_[first_];
        lock.unlock();
        // The pieces queued behind a failed write are dropped unwritten.
        const bool written = failed_ || process(piece);
        lock.lock();
        if (!written) failed_ = true;
        first_ = (first_ + 1) % kDepth;
        --count_;
        done_.notify_one();
    }
}

bool PieceWriter::hand(const std::uint8_t* hashed, std::uint32_t hashLen, const std::uint8_t* written,
                       std::uint32_t writeLen) {
    const Piece piece{hashed, hashLen, written, writeLen};
    if (!thread_.joinable()) {
        if (failed_) return false;
        failed_ = !process(piece);
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return count_ < kDepth; });
        if (failed_) return false;
        queue_[(first_ + count_) % kDepth] = piece;
        ++count_;
    }
    handed_.notify_one();
    return true;
}

bool PieceWriter::finish() {
    if (thread_.joinable()) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return count_ == 0; });
    }
    return !failed_;
}

}  // namespace tandrel
