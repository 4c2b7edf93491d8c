// Looks at the bytes a destroyed object leaves behind. The reads are volatile
// because, to the compiler, storage after a destructor holds no values it must
// keep; only the actual memory says whether the wipe happened.
#pragma once

#include <cstddef>

namespace tandrel::test {

inline bool bytesAreZero(const void* storage, std::size_t count) {
    const volatile unsigned char* bytes = static_cast<const volatile unsigned char*>(storage);
    unsigned char seen = 0;
    for (std::size_t i = 0; i < count; ++i) seen |= bytes[i];
    return seen == 0;
}

}  // namespace tandrel::test
