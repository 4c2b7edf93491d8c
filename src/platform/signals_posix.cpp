// POSIX signals: every signal that would end the process removes the
// unfinished named outputs first, a page an input view lost becomes a page of
// zeros, and what must not be cut in two holds interrupts back.
#include <atomic>
#include <csignal>
#include <cstdint>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/os_posix.h"
#include "platform/pending_outputs.h"

namespace tandrel::platform::os {
namespace {

// ---- Signals ----------------------------------------------------------------
// Every signal whose default action ends the process removes the named
// temporary files first; unnamed ones go with the process by themselves.
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2,
                                   SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR,  SIGIO,
#ifdef SIGSTKFLT
                                   SIGSTKFLT,
#endif
};
// Signals the processor raises for a fault of this process. Another program
// may send them too; only then do they end the run like any other signal.
constexpr int kFaultSignals[] = {SIGSEGV, SIGFPE, SIGILL, SIGBUS, SIGABRT, SIGTRAP, SIGSYS};

// Calls `act` for every signal that ends the process by default and can be
// caught, the real-time ones included (their range is known only at run time).
template <typename Act>
void forEachCleanupSignal(Act&& act) {
    for (int signalNumber : kCleanupSignals) act(signalNumber);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) act(signalNumber);
}

void removeByName(std::intptr_t directory, const char* name) { unlinkat(fd(directory), name, 0); }

// Ends the process by the signal's default action: at once, or, inside the
// handler of that very signal, as soon as the handler returns.
void removePendingAndRaise(int signalNumber) {
    removePendingOutputs(removeByName);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

extern "C" void removePendingAndDie(int signalNumber) { removePendingAndRaise(signalNumber); }

// Faults cannot be held back by the signal mask (a real one would end the
// process at once), so while InterruptsHeld is in force a sent one is noted
// here and raised again when the hold ends.
std::atomic<int> holdDepth{0};
std::atomic<int> deferredFault{0};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// What each fault signal did before this process took it over (a
// sanitizer's report, say): a real fault is handed back to it. A fault
// signal the caller ignored is still caught, since the kernel delivers a
// real one regardless; only a sent one is then ignored.
struct sigaction previousFaultAction[NSIG];
bool faultIgnoredBefore[NSIG];

const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));

// A page of an input view that its file no longer covers is replaced by a
// page of zeros and the view is marked as cut; the reader then finishes its
// pass and reports the change. mmap is a plain system call here, safe in a
// handler on the systems this build targets.
bool replaceLostPage(const siginfo_t* info) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    WatchedView* view = watchedViewHolding(address);
    void* page = reinterpret_cast<void*>(address & ~(pageSize - 1));
    if (view == nullptr ||
        mmap(page, pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
        return false;
    }
    view->cut.store(true);
    return true;
}

// A fault signal sent by another program (si_code 0 or below) ends the run
// like any other signal, or waits for the end of a hold. A real fault of
// this process removes the unfinished outputs and is handed back to what
// handled it before, which then ends the process as it would have; only a
// lost page of an input view is survived.
extern "C" void onFault(int signalNumber, siginfo_t* info, void*) {
    const bool sent = info->si_code <= 0;
    if (!sent && signalNumber == SIGBUS && info->si_code == BUS_ADRERR && replaceLostPage(info)) return;
    if (sent && faultIgnoredBefore[signalNumber]) return;
    if (sent) {
        deferredFault.store(signalNumber);
        // The holder collects it when its hold ends; a hold that ended while
        // this was stored has left it here, to be taken now.
        if (holdDepth.load() > 0) return;
        if (const int fault = deferredFault.exchange(0); fault != 0) removePendingAndRaise(fault);
        return;
    }
    removePendingOutputs(removeByName);
    // A fault the caller ignored is one the kernel forces: its default ends
    // the process.
    if (faultIgnoredBefore[signalNumber]) {
        std::signal(signalNumber, SIG_DFL);
    } else {
        sigaction(signalNumber, &previousFaultAction[signalNumber], nullptr);
    }
    // A memory or arithmetic fault repeats when the handler returns, now
    // reaching what handled it before; a trap or a refused system call does
    // not, and is raised again.
    if (signalNumber == SIGTRAP || signalNumber == SIGSYS) std::raise(signalNumber);
}

// A signal the caller chose to ignore (nohup, a script's trap) stays
// ignored: catching it would make the run killable after all. The handler
// goes in and the old action is given back in one call each, since the
// caller holds the signals back meanwhile.
void install(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(signalNumber, &action, &previous);
    if (previous.sa_handler == SIG_IGN) sigaction(signalNumber, &previous, nullptr);
}

void installFaultHandler(int signalNumber) {
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    struct sigaction& previous = previousFaultAction[signalNumber];
    sigaction(signalNumber, &action, &previous);
    faultIgnoredBefore[signalNumber] = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN;
}

}  // namespace

InterruptsHeld::InterruptsHeld() {
    static_assert(sizeof(sigset_t) <= sizeof saved_ && alignof(sigset_t) <= 8, "room for the caller's mask");
    sigset_t held;
    sigemptyset(&held);
    forEachCleanupSignal([&](int signalNumber) { sigaddset(&held, signalNumber); });
    sigprocmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
    holdDepth.fetch_add(1);
}

InterruptsHeld::~InterruptsHeld() {
    if (holdDepth.fetch_sub(1) == 1) {
        if (const int fault = deferredFault.exchange(0); fault != 0) removePendingAndRaise(fault);
    }
    sigprocmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

namespace {

bool cleanupArmed = false;

}  // namespace

// The handlers that remove named outputs matter only once an output has a
// name, which most runs never give one (unnamed temporary files go with the
// process by themselves): they are set then, sparing every other run some
// hundred system calls.
void armCleanupSignals() {
    if (cleanupArmed) return;
    cleanupArmed = true;
    forEachCleanupSignal([](int signalNumber) { install(signalNumber, removePendingAndDie); });
    for (int signalNumber : kFaultSignals) {
        if (signalNumber != SIGBUS) installFaultHandler(signalNumber);
    }
}

// The bus-error handler stands for everything set here: where it is in
// place, so is the rest, and where it is not (as in a child process that
// reset its signals after a fork), all of it is set again.
void prepareProcess() {
    struct sigaction current {};
    sigaction(SIGBUS, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == onFault) return;
    // A closed standard output or a file-size limit must surface as a failed
    // write, never as the end of the process with its status lost.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    installFaultHandler(SIGBUS);
    cleanupArmed = false;
    // A fault the caller left held back would end the run by the default
    // action, past the handler that turns a cut input into a clean failure.
    sigset_t faults;
    sigemptyset(&faults);
    sigaddset(&faults, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

// ---- Threads -------------------------------------------------------------------

// A copy in place waits for every interrupt here; nothing ends the process
// in the middle of it but a kill no handler sees.
void whenKeptAtExit(void (*)(const char*)) {}

InterruptsHeldForNewThread::InterruptsHeldForNewThread() {
    static_assert(sizeof(sigset_t) <= sizeof saved_ && alignof(sigset_t) <= 8, "room for the caller's mask");
    sigset_t held;
    sigfillset(&held);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&held, fault);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
}

InterruptsHeldForNewThread::~InterruptsHeldForNewThread() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

}  // namespace tandrel::platform::os
