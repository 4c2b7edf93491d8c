// POSIX pieces that the platform layer's POSIX files share. Internal to
// src/platform.
#pragma once

#include <cstdint>

#include "platform/os.h"

namespace tandrel::platform::os {

inline int fd(Handle handle) { return static_cast<int>(handle); }

// Sets the handlers that remove named outputs, once: before the first name.
void armCleanupSignals();

// Sets the bytes from `from` to `to` aside by writing zeros, where the file
// system offers no reservation call: a full disk or a size limit still fails
// here.
bool reserveByWriting(Handle file, std::uint64_t from, std::uint64_t to);

}  // namespace tandrel::platform::os
