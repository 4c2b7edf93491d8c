// The rules of MappedFile, the same on every system: which file is refused
// with which message, and what no output may replace. The system calls under
// them are in files_<system>.cpp.
#include <algorithm>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/platform.h"

namespace tandrel::platform {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

// Files this process holds open for reading: the inputs and the passphrase
// file. Windows refuses to replace them because of the way they are shared;
// this record gives every system that rule, under any name that reaches them.
std::vector<std::pair<const std::uint8_t*, os::FileId>> openInputs;

os::WatchedView watchedViews[8];
static_assert(std::atomic<const std::uint8_t*>::is_always_lock_free, "read from a fault handler");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "read from a fault handler");

}  // namespace

os::WatchedView* os::watchedViewHolding(std::uintptr_t address) {
    for (WatchedView& view : watchedViews) {
        const auto base = reinterpret_cast<std::uintptr_t>(view.base.load());
        if (base != 0 && address >= base && address - base < view.length.load()) return &view;
    }
    return nullptr;
}

os::WatchedView* os::watchedView(const std::uint8_t* view) {
    for (WatchedView& slot : watchedViews) {
        if (slot.base.load() == view) return &slot;
    }
    return nullptr;
}

void prepareProcess(void (*keptAtExit)(const char* path)) {
    if (keptAtExit != nullptr) os::whenKeptAtExit(keptAtExit);
    os::prepareProcess();
}

bool os::isMappedInput(const FileId& id) {
    return std::any_of(openInputs.begin(), openInputs.end(), [&](const auto& input) { return input.second == id; });
}

MappedFile::~MappedFile() { close(); }

bool MappedFile::openRead(const char* path) {
    close();
    os::prepareProcess();
    if (!os::nameIsExact(path) || !os::openForReading(path, file_)) {
        failure_ = kOpenFailedMessage;
        return false;
    }
    std::uint64_t length = 0;
    const std::uint8_t* view = nullptr;
    if (!os::lengthOf(file_, length)) {
        failure_ = kOpenFailedMessage;
    } else if (length == 0) {
        failure_ = kMappingFailedMessage;  // nothing to map
    } else if (length >= kFourGiB) {
        failure_ = kTooLargeMessage;
    } else if (!os::createReadMapping(file_, mapping_)) {
        failure_ = kMappingFailedMessage;
    } else if ((view = os::mapView(file_, mapping_, length)) == nullptr) {
        failure_ = kViewFailedMessage;
    }
    if (view == nullptr) {
        const char* failure = failure_;
        close();
        failure_ = failure;
        return false;
    }
    view_ = view;
    size_ = static_cast<std::uint32_t>(length);
    if (os::WatchedView* slot = os::watchedView(nullptr)) {
        slot->cut.store(false);
        slot->zeroed.store(false);
        slot->length.store(length);
        slot->base.store(view_);
    }
    openInputs.emplace_back(view_, os::identityOf(file_));
    return true;
}

void MappedFile::close() {
    failure_ = nullptr;
    if (view_ != nullptr) {
        os::unmapView(view_, size_);
        if (os::WatchedView* slot = os::watchedView(view_)) slot->base.store(nullptr);
        std::erase_if(openInputs, [&](const auto& input) { return input.first == view_; });
    }
    os::closeHandle(mapping_);
    os::closeHandle(file_);
    file_ = mapping_ = os::kNone;
    view_ = nullptr;
    size_ = 0;
}

void MappedFile::copyOut(std::uint32_t offset, std::uint8_t* to, std::uint32_t length) const {
    os::copyFromFile(file_, view_, offset, to, length);
}

bool MappedFile::intact() const {
    std::uint64_t length = 0;
    const os::WatchedView* slot = os::watchedView(view_);
    return view_ != nullptr && !(slot != nullptr && slot->cut.load()) && os::lengthOf(file_, length) &&
           length == size_;
}

}  // namespace tandrel::platform
