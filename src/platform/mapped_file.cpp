// The rules of MappedFile, the same on every system: which target is refused
// with which message, how an output is published, and what a replaced file
// keeps. The system calls under them are in os_<system>.cpp.
#include <algorithm>
#include <vector>

#include "platform/os.h"
#include "platform/platform.h"

namespace tandrel::platform {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

// Files this process holds open for reading: the inputs and the passphrase
// file. Windows refuses to replace them because of the way they are shared;
// this record gives every system that rule, under any name that reaches them.
std::vector<os::FileId> openInputs;

bool isOpenInput(const os::FileId& id) {
    return std::find(openInputs.begin(), openInputs.end(), id) != openInputs.end();
}

// A new name, a link that is replaced rather than followed, or a regular
// file the user could write as it is and that no input of this run is. In a
// shared folder, a file of another user or one with other names may have
// been planted to catch the result: it is not written, as the kernel's own
// rules for such folders would not let a shell write it either.
bool mayBecomeOutput(const os::Target& target) {
    if (target.unusable || target.leaf.empty() || isReservedFileName(target.leaf.c_str())) return false;
    if (!target.exists || target.link) return true;
    const bool planted =
        target.sharedFolder && ((target.ownedByOther && !target.ownedByFolderOwner) || target.manyLinks);
    return target.regularFile && target.writable && !planted && !isOpenInput(target.id);
}

}  // namespace

void prepareProcess(void (*keptAtExit)(const char* path)) {
    if (keptAtExit != nullptr) os::whenKeptAtExit(keptAtExit);
    os::prepareProcess();
}

struct MappedFile::State {
    bool readOnly = true;
    os::Handle file = os::kNone;
    os::Handle mapping = os::kNone;
    const std::uint8_t* view = nullptr;
    std::uint32_t size = 0;
    os::FileId id;
    // An output: where it goes, and the file it is written to until then.
    os::Target target;
    os::Temporary temporary;
    std::uint64_t written = 0;
};

MappedFile::MappedFile() = default;

MappedFile::~MappedFile() { close(); }

bool MappedFile::fail(const char* failure) {
    failure_ = failure;
    return false;
}

bool MappedFile::openRead(const char* path) {
    close();
    os::prepareProcess();
    auto state = std::make_unique<State>();
    if (!os::nameIsExact(path) || !os::openForReading(path, state->file)) return fail(kOpenFailedMessage);
    std::uint64_t length = 0;
    const char* failure = nullptr;
    if (!os::lengthOf(state->file, length)) {
        failure = kOpenFailedMessage;
    } else if (length == 0) {
        failure = kMappingFailedMessage;  // nothing to map
    } else if (length >= kFourGiB) {
        failure = kTooLargeMessage;
    } else if (!os::createReadMapping(state->file, state->mapping)) {
        failure = kMappingFailedMessage;
    } else if ((state->view = os::mapView(state->file, state->mapping, length)) == nullptr) {
        failure = kViewFailedMessage;
    }
    if (failure != nullptr) {
        os::closeHandle(state->mapping);
        os::closeHandle(state->file);
        return fail(failure);
    }
    state->size = static_cast<std::uint32_t>(length);
    state->id = os::identityOf(state->file);
    os::watchView(state->view, length);
    openInputs.push_back(state->id);
    state_ = std::move(state);
    return true;
}

bool MappedFile::createSized(const char* path, std::uint32_t length, LinkAtTarget links, WriteBehind writeBehind) {
    close();
    os::prepareProcess();
    auto state = std::make_unique<State>();
    state->readOnly = false;
    const std::string name = path;
    if (name.empty() || os::endsInSeparator(name) || !os::nameIsExact(name)) return fail(kOpenFailedMessage);
    state->target = os::inspectTarget(path, links == LinkAtTarget::Follow);
    if (!mayBecomeOutput(state->target) || !os::createTemporary(state->target, state->temporary)) {
        os::closeHandle(state->target.file);
        return fail(kOpenFailedMessage);
    }
    state_ = std::move(state);
    // Setting the space aside now turns a full disk or a size limit into a
    // clean failure here rather than halfway through the work.
    if (length == 0 || !os::reserve(state_->temporary, length, writeBehind)) {
        close();
        return fail(kMappingFailedMessage);
    }
    state_->size = length;
    return true;
}

bool MappedFile::write(const std::uint8_t* data, std::uint32_t length) {
    if (!state_ || state_->readOnly || length > state_->size - state_->written) return false;
    if (!os::writeAt(state_->temporary, state_->written, data, length)) return fail(kMappingFailedMessage);
    state_->written += length;
    return true;
}

bool MappedFile::commit() {
    if (!state_ || state_->readOnly) return false;
    State& state = *state_;
    const os::Target& target = state.target;
    bool published = false;
    if (state.written == state.size && os::makeDurable(state.temporary)) {
        // A file is replaced by renaming the new one over it, unless that
        // would lose something of the old one; then the result is copied
        // into it, so that it keeps its identity and everything attached.
        const bool replacing = target.exists && !target.link;
        const bool renameWouldLose =
            replacing && (target.ownedByOther || target.manyLinks || target.extendedAttributes);
        if (!renameWouldLose && os::carryOver(state.temporary, target)) {
            published = os::publishByRename(state.temporary, target);
        } else if (replacing) {
            published = os::publishInPlace(state.temporary, target, state.size);
        }
    }
    // Whatever holds the whole result and could not be removed is named.
    if (!published) os::discard(state.temporary);
    const std::string kept = state.temporary.keptAs;
    close();
    keptCopy_ = kept;
    return published || fail(kOpenFailedMessage);
}

void MappedFile::close() {
    failure_ = nullptr;
    keptCopy_.clear();
    if (!state_) return;
    State& state = *state_;
    if (state.view != nullptr) {
        os::unmapView(state.view, state.size);
        os::stopWatchingView(state.view);
        const auto found = std::find(openInputs.begin(), openInputs.end(), state.id);
        if (found != openInputs.end()) openInputs.erase(found);
    }
    os::closeHandle(state.mapping);
    os::closeHandle(state.file);
    os::discard(state.temporary);
    os::closeHandle(state.target.file);
    state_.reset();
}

void MappedFile::copyOut(std::uint32_t offset, std::uint8_t* to, std::uint32_t length) const {
    os::copyFromFile(state_->file, state_->view, offset, to, length);
}

const char* MappedFile::failure() const { return failure_; }

const std::string& MappedFile::keptCopy() const { return keptCopy_; }

std::uint32_t MappedFile::size() const { return state_ ? state_->size : 0; }

const std::uint8_t* MappedFile::data() const { return state_ ? state_->view : nullptr; }

bool MappedFile::isOpen() const { return state_ != nullptr; }

bool MappedFile::intact() const {
    if (!state_ || !state_->readOnly) return false;
    std::uint64_t length = 0;
    return !os::viewWasCut(state_->view) && os::lengthOf(state_->file, length) &&
           length == state_->size;
}

}  // namespace tandrel::platform
