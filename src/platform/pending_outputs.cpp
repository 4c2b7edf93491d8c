#include "platform/pending_outputs.h"

#include <atomic>
#include <cstring>

namespace tandrel::platform {
namespace {

constexpr int kSlots = 8;
constexpr std::size_t kNameMax = 4096 + 64;
struct Slot {
    std::intptr_t directory;
    char name[kNameMax];
};
Slot slots[kSlots];
std::atomic<bool> used[kSlots];
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

}  // namespace

bool rememberPendingOutput(std::intptr_t directory, const std::string& name) {
    if (name.size() >= kNameMax) return false;
    for (int i = 0; i < kSlots; ++i) {
        if (!used[i].load()) {
            slots[i].directory = directory;
            std::memcpy(slots[i].name, name.c_str(), name.size() + 1);
            used[i].store(true);
            return true;
        }
    }
    return false;
}

void forgetPendingOutput(std::intptr_t directory, const std::string& name) {
    for (int i = 0; i < kSlots; ++i) {
        if (used[i].load() && slots[i].directory == directory && name == slots[i].name) {
            used[i].store(false);
            return;
        }
    }
}

void removePendingOutputs(void (*remove)(std::intptr_t directory, const char* name)) {
    for (int i = 0; i < kSlots; ++i) {
        if (used[i].load()) remove(slots[i].directory, slots[i].name);
    }
}

}  // namespace tandrel::platform
