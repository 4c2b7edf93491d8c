#include "platform/pending_outputs.h"

#include <atomic>
#include <cstring>

namespace tandrel::platform {
namespace {

constexpr int kSlots = 8;
constexpr std::size_t kPathMax = 4096 + 64;
char paths[kSlots][kPathMax];
std::atomic<bool> used[kSlots];
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

}  // namespace

bool rememberPendingOutput(const std::string& path) {
    if (path.size() >= kPathMax) return false;
    for (int i = 0; i < kSlots; ++i) {
        if (!used[i].load()) {
            std::memcpy(paths[i], path.c_str(), path.size() + 1);
            used[i].store(true);
            return true;
        }
    }
    return false;
}

void forgetPendingOutput(const std::string& path) {
    for (int i = 0; i < kSlots; ++i) {
        if (used[i].load() && path == paths[i]) {
            used[i].store(false);
            return;
        }
    }
}

void removePendingOutputs(void (*remove)(const char* path)) {
    for (int i = 0; i < kSlots; ++i) {
        if (used[i].load()) remove(paths[i]);
    }
}

}  // namespace tandrel::platform
