#include "container/output_stream.h"

#include "platform/platform.h"

namespace tandrel {
namespace {

constexpr std::size_t kShallowQueue = 256u << 10;
constexpr std::size_t kDeepQueue = 8u << 20;

}  // namespace

// A large output is written on a thread of its own; for a small one a thread
// would cost more than it saves. Slow work on an output that is flushed on
// the way gets a deep queue, for what it makes while the disk spends a flush
// (some 50 ms) on nothing else. The stream's buffers are aligned, so whole
// ones go past the file cache.
OutputStream::OutputStream(platform::PendingOutput& output, std::uint32_t length, WriteBehind depth)
    : stream_([&output](std::uint64_t, const std::uint8_t* data,
                        std::size_t piece) { return output.write(data, static_cast<std::uint32_t>(piece)); },
              depth == WriteBehind::Deep && length > platform::kOutputFlushStep ? kDeepQueue : kShallowQueue,
              platform::worthHelperThreads(length)) {}

bool OutputStream::put(const std::uint8_t* data, std::uint32_t length) {
    const bool handedOver = stream_.put(offset_, data, length);
    offset_ += length;
    return handedOver;
}

}  // namespace tandrel
