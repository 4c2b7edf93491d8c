// The processor's own instructions, reached through the compiler: the same
// on every operating system.
#include "crypto/processor.h"

// Both builds use GCC's intrinsics (MinGW-w64 for Windows).
#if defined(__x86_64__) || defined(__i386__)
#define TANDREL_X86 1
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace tandrel {
namespace {

// Feature bits: leaf 1 EDX, leaf 1 ECX, leaf 7 EBX.
constexpr std::uint32_t kSse2InEdx = 1u << 26;
constexpr std::uint32_t kSsse3InEcx = 1u << 9;
constexpr std::uint32_t kSse41InEcx = 1u << 19;
constexpr std::uint32_t kBmi1InEbx = 1u << 3;
constexpr std::uint32_t kShaInEbx = 1u << 29;

enum Register { kEax, kEbx, kEcx, kEdx };

// EAX, EBX, ECX and EDX of a feature leaf (subleaf 0); false where the
// processor does not have that leaf.
bool featureLeaf(unsigned leaf, std::uint32_t (&registers)[4]) {
#ifdef TANDREL_X86
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(leaf, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    registers[kEax] = eax;
    registers[kEbx] = ebx;
    registers[kEcx] = ecx;
    registers[kEdx] = edx;
    return true;
#else
    (void)leaf;
    (void)registers;
    return false;
#endif
}

}  // namespace

// The answers below are asked once per process: they cannot change while it
// runs, and under a hypervisor every query traps and costs microseconds,
// more than hashing a small file.
bool processorHasSse2() {
    static const bool reported = [] {
        std::uint32_t basic[4];
        return featureLeaf(1, basic) && (basic[kEdx] & kSse2InEdx) != 0;
    }();
    return reported;
}

// The SHA-256 instructions work on XMM registers, so they also need what
// SSE2 needs from the operating system; the byte shuffles around them need
// SSSE3 and SSE4.1.
bool processorHasShaExtensions() {
    static const bool present = [] {
        std::uint32_t basic[4];
        std::uint32_t extended[4];
        return processorHasSse2() && featureLeaf(1, basic) &&
               (basic[kEcx] & kSsse3InEcx) != 0 && (basic[kEcx] & kSse41InEcx) != 0 &&
               featureLeaf(7, extended) && (extended[kEbx] & kShaInEbx) != 0;
    }();
    return present;
}

bool processorHasBmi1() {
    static const bool present = [] {
        std::uint32_t extended[4];
        return featureLeaf(7, extended) && (extended[kEbx] & kBmi1InEbx) != 0;
    }();
    return present;
}

bool readTimestampCounter(std::uint64_t& ticks) {
#ifdef TANDREL_X86
    ticks = __rdtsc();
    return true;
#else
    ticks = 0;
    return false;
#endif
}

}  // namespace tandrel
