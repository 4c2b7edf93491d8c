// What goes into an output, handed to a thread of its own when the output is
// large, so that the disk takes one piece while the work makes the next.
#pragma once

#include <cstdint>

#include "container/background_stream.h"

namespace tandrel {

namespace platform {
class PendingOutput;
}

// How much may wait in memory for the disk.
enum class WriteBehind {
    Shallow,  // a little: for work that outpaces the disk, which memory cannot help
    // Megabytes: for work slower than the disk, which then runs on while the
    // disk stops to make what it has durable.
    Deep,
};

class OutputStream {
public:
    // `output` is written only through this stream until finish().
    OutputStream(platform::PendingOutput& output, std::uint32_t length, WriteBehind depth);

    // Appends; false once a write has failed.
    bool put(const std::uint8_t* data, std::uint32_t length);
    // Waits until everything is written; false if anything failed.
    bool finish() { return stream_.finish(); }

private:
    BackgroundStream stream_;
    std::uint64_t offset_ = 0;
};

}  // namespace tandrel
