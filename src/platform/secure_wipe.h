// Overwrites secrets in a way the optimiser may not drop as a dead store.
// It lives in the lowest subsystem so that every subsystem above can wipe
// what it holds.
#pragma once

#include <cstddef>

namespace tandrel {

inline void secureWipe(void* data, std::size_t length) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = 0;
}

}  // namespace tandrel
