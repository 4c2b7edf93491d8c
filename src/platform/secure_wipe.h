// Overwrites secrets in a way the optimiser may not drop as a dead store.
// It lives in the lowest subsystem so that every subsystem above can wipe
// what it holds.
#pragma once

#include <cstddef>
#include <cstring>

namespace tandrel {

inline void secureWipe(void* data, std::size_t length) {
    // Called through a volatile pointer, memset cannot be proven to write
    // memory that nobody reads again, so the call stays; and it runs at
    // memset's speed, which matters for the tool's 64 KiB buffers.
    static void* (*const volatile wipe)(void*, int, std::size_t) = std::memset;
    wipe(data, 0, length);
}

}  // namespace tandrel
