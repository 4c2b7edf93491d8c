// What the processor offers the hash and the cipher, asked of the processor
// itself. Both builds use GCC's intrinsics, and every operating system they
// run on saves the vector registers, so nothing here needs the system.
#pragma once

#include <cstdint>

namespace tandrel {

bool processorHasSse2();
// The SHA-256 instructions, with the SSSE3 and SSE4.1 shuffles around them.
bool processorHasShaExtensions();
// The bit-field extract instruction (BMI1).
bool processorHasBmi1();
// False where the processor has no readable time-stamp counter.
bool readTimestampCounter(std::uint64_t& ticks);

}  // namespace tandrel
