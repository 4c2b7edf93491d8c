// The processor's own instructions, reached through the compiler: the same
// on every operating system.
#include "platform/processor.h"

#include "platform/platform.h"

#if defined(_M_X64) || defined(_M_IX86) || defined(__x86_64__) || defined(__i386__)
#define TANDREL_X86 1
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#include <x86intrin.h>
#endif
#endif

namespace tandrel::platform {

bool featureQueryReportsSse2() {
#if defined(TANDREL_X86) && defined(_MSC_VER)
    int registers[4] = {0, 0, 0, 0};
    __cpuid(registers, 1);
    return (registers[3] & (1 << 26)) != 0;
#elif defined(TANDREL_X86)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (edx & bit_SSE2) != 0;
#else
    return false;
#endif
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

}  // namespace tandrel::platform
