// The rules of PendingOutput, the same on every system: which target is
// refused, how an output is written, named and published, and what is kept
// under which name. The system calls under them are in outputs_<system>.cpp.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/os.h"
#include "platform/pending_outputs.h"
#include "platform/platform.h"
#include "platform/secure_wipe.h"

namespace tandrel::platform {
namespace {

// Temporary names need not be secret, only new: the system refuses a name
// that exists, and the next one is tried.
constexpr int kNameAttempts = 100;

// Pieces of a large output that start and end on this boundary may go past
// the file cache.
constexpr std::uint64_t kDirectAlignment = 4096;

std::string temporaryName() {
    static unsigned counter = 0;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t mixed = (now ^ std::uint64_t{processId()} << 20) + ++counter * 0x9e3779b9ull;
    char name[24];
    std::snprintf(name, sizeof name, ".tandrel-%08llx", static_cast<unsigned long long>(mixed & 0xffffffffu));
    return name;
}

// Tries fresh names until `claim` takes one that was free.
template <typename ClaimName>
bool claimFreshName(os::Temporary& temporary, ClaimName&& claim) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = temporaryName();
        const os::Claim claimed = claim(name);
        if (claimed == os::Claim::Made) temporary.name = name;
        if (claimed != os::Claim::Taken) return claimed == os::Claim::Made;
    }
    return false;
}

// The record an interrupt removes a named temporary file by: its name in the
// folder held open, or its whole name where no folder is held.
std::string recordedName(const os::Temporary& temporary) {
    return temporary.folder == os::kNone ? temporary.directory + temporary.name : temporary.name;
}

// The caller holds interrupts back: the handlers that remove recorded names
// are set with the first one, and a signal the caller ignores must not find
// its handler in place for a moment.
bool remember(os::Temporary& temporary) {
    os::prepareCleanup();
    temporary.pending = rememberPendingOutput(temporary.folder, recordedName(temporary));
    return temporary.pending;
}

void unrecord(os::Temporary& temporary) {
    if (temporary.pending) forgetPendingOutput(temporary.folder, recordedName(temporary));
    temporary.pending = false;
}

// The file no longer goes by its temporary name: it was published, kept or
// removed.
void forget(os::Temporary& temporary) {
    unrecord(temporary);
    temporary.name.clear();
}

// A replacement starts private: left behind by a kill, or kept after a
// failure, it never shows anyone what the file it replaces kept from them. A
// new file is made as any new file is there. A named file that the system
// will not remove when it is closed is recorded, so that an interrupt
// removes it; the interrupt waits until one or the other holds.
bool makeTemporary(const os::Target& target, os::Temporary& temporary) {
    const bool replacing = target.exists && !target.link;
    temporary.directory = target.directory;
    if (!os::openFolder(temporary)) return false;
    if (os::createUnnamed(temporary, replacing)) return true;
    const os::InterruptsHeld held;
    if (!claimFreshName(temporary, [&](const std::string& name) { return os::createNamed(temporary, name, replacing); })) {
        return false;
    }
    if (os::removeOnClose(temporary, true) || remember(temporary)) return true;
    os::removeName(temporary);
    temporary.name.clear();
    return false;
}

// From here the file lives by its name until it is published, kept or
// removed: an unnamed one gets a name, and one the system would remove on
// closing no longer is. The caller holds interrupts back.
bool liveByName(os::Temporary& temporary) {
    if (temporary.pending) return true;
    if (!temporary.name.empty()) {
        if (remember(temporary) && os::removeOnClose(temporary, false)) return true;
        unrecord(temporary);
        return false;
    }
    if (!claimFreshName(temporary, [&](const std::string& name) { return os::linkUnnamed(temporary, name); })) {
        return false;
    }
    if (remember(temporary)) return true;
    os::removeName(temporary);
    temporary.name.clear();
    return false;
}

// How a piece of a large output is written. Whole, aligned pieces go past
// the file cache where the system allows: copying into it costs more than
// the write (on virtual machines every new page of cache is slow to come
// by). A failed flush on the way is the file's, since a later one would not
// report it again.
bool writeLarge(os::Handle file, bool& directAllowed, std::uint64_t offset, const std::uint8_t* data,
                std::size_t length) {
    const bool whole = offset % kDirectAlignment == 0 && length % kDirectAlignment == 0 &&
                       reinterpret_cast<std::uintptr_t>(data) % kDirectAlignment == 0;
    os::writeDirectly(file, whole && directAllowed);
    if (!os::writeAt(file, offset, data, length)) {
        // A direct write may be refused where a plain one is not.
        if (!whole || !directAllowed) return false;
        directAllowed = false;
        os::writeDirectly(file, false);
        if (!os::writeAt(file, offset, data, length)) return false;
    }
    return (offset + length) % kOutputFlushStep != 0 || os::flushData(file);
}

// Copies the finished file over the start of the target, a piece at a time.
bool copyContent(os::Handle from, os::Handle to, std::uint64_t length) {
    std::uint8_t buffer[64 * 1024];
    bool copied = true;
    for (std::uint64_t offset = 0; copied && offset < length; offset += sizeof buffer) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, length - offset));
        copied = os::readAt(from, offset, buffer, piece) && os::writeAt(to, offset, buffer, piece);
    }
    secureWipe(buffer, sizeof buffer);  // it held what may be plaintext
    return copied;
}

}  // namespace

struct PendingOutput::State {
    os::Target target;
    os::Temporary temporary;
    std::uint32_t length = 0;
    std::uint32_t written = 0;
    bool directAllowed = true;
};

PendingOutput::PendingOutput() = default;

PendingOutput::~PendingOutput() { discard(); }

bool PendingOutput::fail(const char* failure) {
    failure_ = failure;
    return false;
}

// An output that never held a result: a temporary file that stays holds
// nothing worth naming.
bool PendingOutput::abandon(const char* failure) {
    discard();
    keptCopy_.clear();
    return fail(failure);
}

// A new name, a link that is replaced rather than followed, or a regular
// file the user could write as it is and that no input of this run is. In a
// shared folder, a file of another user or one with other names may have
// been planted to catch the result: it is not written, as the kernel's own
// rules for such folders would not let a shell write it either.
namespace {

bool mayBecomeOutput(const os::Target& target) {
    if (target.unusable || target.leaf.empty() || isReservedFileName(target.leaf.c_str())) return false;
    if (!target.exists || target.link) return true;
    const bool planted =
        target.sharedFolder && ((target.ownedByOther && !target.ownedByFolderOwner) || target.manyLinks);
    return target.regularFile && target.writable && !planted && !os::isMappedInput(target.id);
}

}  // namespace

bool PendingOutput::create(const char* path, std::uint32_t length, LinkAtTarget links) {
    discard();
    os::prepareProcess();
    const std::string name = path;
    if (name.empty() || os::endsInSeparator(name) || !os::nameIsExact(name)) return fail(kOpenFailedMessage);
    state_ = std::make_unique<State>();
    State& state = *state_;
    state.target = os::inspectTarget(path, links == LinkAtTarget::Follow);
    if (!mayBecomeOutput(state.target) || !makeTemporary(state.target, state.temporary)) {
        return abandon(kOpenFailedMessage);
    }
    // Setting the space aside now turns a full disk or a size limit into a
    // clean failure here rather than halfway through the work.
    if (length == 0 || !os::reserve(state.temporary.file, length)) return abandon(kMappingFailedMessage);
    state.length = length;
    return true;
}

bool PendingOutput::write(const std::uint8_t* data, std::uint32_t length) {
    if (!state_ || length > state_->length - state_->written) return false;
    State& state = *state_;
    const os::Handle file = state.temporary.file;
    const bool written = worthHelperThreads(state.length)
                             ? writeLarge(file, state.directAllowed, state.written, data, length)
                             : os::writeAt(file, state.written, data, length);
    if (!written) return fail(kMappingFailedMessage);
    state.written += length;
    return true;
}

bool PendingOutput::publish() {
    if (!state_) return false;
    State& state = *state_;
    const os::Target& target = state.target;
    const bool written = state.written == state.length;
    os::writeDirectly(state.temporary.file, false);  // it may yet be read back, into any buffer
    bool published = false;
    if (written && os::makeDurable(state.temporary.file)) {
        // A file is replaced by renaming the new one over it, unless that
        // would lose something of the old one; then the result is copied
        // into it, so that it keeps its identity and everything attached.
        const bool replacing = target.exists && !target.link;
        const bool renameWouldLose =
            replacing && (target.ownedByOther || target.manyLinks || target.extendedAttributes);
        if (!renameWouldLose && os::carryOver(state.temporary, target)) {
            published = publishByRename();
        } else if (replacing) {
            published = publishInPlace();
        }
    }
    std::string kept = std::move(keptCopy_);
    discard();
    if (!kept.empty()) keptCopy_ = std::move(kept);
    return published || fail(kOpenFailedMessage);
}

bool PendingOutput::publishByRename() {
    os::Temporary& temporary = state_->temporary;
    const os::Target& target = state_->target;
    const os::InterruptsHeld held;
    // A new file gets its name in one step, and never takes the place of a
    // file that appeared meanwhile; a link is replaced itself.
    if (!target.exists && temporary.name.empty()) {
        if (os::linkUnnamed(temporary, target.leaf) != os::Claim::Made) return false;
    } else {
        if (!liveByName(temporary)) return false;
        const os::Renamed renamed = os::renameTo(temporary, target.leaf, target.exists);
        if (renamed == os::Renamed::Not) return false;
        if (renamed == os::Renamed::AlsoKept) keptCopy_ = temporary.directory + temporary.name;
        forget(temporary);
    }
    os::syncFolder(temporary);
    // Published: nothing of it is this process's to remove, and other
    // programs may open it as they like.
    os::closeTemporary(temporary);
    return true;
}

bool PendingOutput::publishInPlace() {
    os::Temporary& temporary = state_->temporary;
    const os::Target& target = state_->target;
    const os::Handle destination = os::openInPlace(target);
    if (destination == os::kNone) return false;
    // Interrupts wait until the file is whole again. The result gets its
    // name first: from the moment the target changes (even by what sets its
    // space aside) a complete copy stands beside it.
    const os::InterruptsHeld held;
    bool copied = liveByName(temporary);
    if (copied) os::syncFolder(temporary);
    if (!copied || !os::setAsideInPlace(destination, state_->length)) {
        os::closeInPlace(destination);
        return false;
    }
    // From here the named temporary file holds the only complete copy until
    // the target does.
    os::copyInPlaceBegins(temporary.directory + temporary.name);
    copied = os::dropPrivilegesInPlace(destination, target) &&
             copyContent(temporary.file, destination, state_->length) &&
             os::finishInPlace(destination, state_->length);
    os::copyInPlaceEnds();
    os::closeInPlace(destination);
    // The copy stays only where the copy failed, or where the folder lets no
    // name be removed (append-only); either way it is named to the user.
    if (!copied || !os::removeName(temporary)) keptCopy_ = temporary.directory + temporary.name;
    forget(temporary);
    if (copied) os::syncFolder(temporary);
    return copied;
}

void PendingOutput::discard() {
    failure_ = nullptr;
    keptCopy_.clear();
    if (!state_) return;
    os::Temporary& temporary = state_->temporary;
    if (!temporary.name.empty()) {
        const os::InterruptsHeld held;
        // Whatever holds the whole result and cannot be removed is named.
        if (!os::removeName(temporary)) keptCopy_ = temporary.directory + temporary.name;
        forget(temporary);
    }
    os::closeTemporary(temporary);
    os::closeHandle(state_->target.file);
    state_.reset();
}

}  // namespace tandrel::platform
