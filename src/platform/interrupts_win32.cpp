// Windows interrupts: the console handler removes unfinished outputs that
// live by their name, but never in the middle of publishing one.
#include <atomic>
#include <cstring>
#include <string>

#include "platform/os.h"
#include "platform/os_win32.h"
#include "platform/pending_outputs.h"
#include "platform/platform.h"

namespace tandrel::platform::os {
namespace {

// ---- Interrupts ----------------------------------------------------------------
// The console handler runs on a thread of its own while the main thread goes
// on. Publishing holds this lock, so that the handler never removes a file
// halfway through a replacement; the handler takes it for good, since the
// process ends once it returns.
SRWLOCK publishing = SRWLOCK_INIT;

void removeByName(std::intptr_t, const char* path) { deleteByName(path); }

// The file that holds the whole result while it is copied into its target,
// for the handler: written before `copying` is set, never while it is.
char copyingFrom[32768 * 3];
std::atomic<bool> copying{false};
std::atomic<void (*)(const char*)> keptAtExit{nullptr};

// A closed console, a logoff or a shutdown leaves the process a few seconds
// (five for a closed console), then ends it. A copy in place is waited for
// that long; one still running then is left to the end, and the file that
// holds the whole result is named and kept.
bool awaitPublishing(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
        AcquireSRWLockExclusive(&publishing);
        return true;
    }
    for (int waited = 0; waited < 4000; waited += 10) {
        if (TryAcquireSRWLockExclusive(&publishing)) return true;
        Sleep(10);
    }
    if (const auto report = keptAtExit.load(); report != nullptr && copying.load()) report(copyingFrom);
    return false;
}

}  // namespace

void whenKeptAtExit(void (*report)(const char* path)) { keptAtExit.store(report); }

InterruptsHeld::InterruptsHeld() : saved_{} { AcquireSRWLockExclusive(&publishing); }
InterruptsHeld::~InterruptsHeld() { ReleaseSRWLockExclusive(&publishing); }

void copyInPlaceBegins(const std::string& from) {
    const bool named = from.size() < sizeof copyingFrom;
    if (named) std::memcpy(copyingFrom, from.c_str(), from.size() + 1);
    copying.store(named);
}

void copyInPlaceEnds() { copying.store(false); }

// Temporary files that carry a delete disposition go with the process by
// themselves; only those living by their name alone are removed here.
BOOL WINAPI removePendingOnInterrupt(DWORD event) {
    if (awaitPublishing(event)) removePendingOutputs(removeByName);
    return FALSE;  // the default handler then ends the process
}

void prepareProcess() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    SetConsoleCtrlHandler(removePendingOnInterrupt, TRUE);
    AddVectoredExceptionHandler(1, onLostPage);
}

// ---- Threads -------------------------------------------------------------------

// Windows delivers no interrupt to a thread: a console event runs on a
// thread of the system's own.
InterruptsHeldForNewThread::InterruptsHeldForNewThread() : saved_{} {}
InterruptsHeldForNewThread::~InterruptsHeldForNewThread() = default;

}  // namespace tandrel::platform::os
