// POSIX pieces that the platform layer's POSIX files share. Internal to
// src/platform.
#pragma once

#include <csignal>
#include <cstdint>

#include "platform/os.h"

namespace tandrel::platform::os {

inline int fd(Handle handle) { return static_cast<int>(handle); }

// Holds the cleanup signals back while a temporary file gets or loses a name
// and its record, and while a file is rewritten in place, so that an
// interrupt finds either both or neither, and never half a file.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

// Sets the handlers that remove named outputs, once: before the first name.
void armCleanupSignals();

// Sets the bytes from `from` to `to` aside by writing zeros, where the file
// system offers no reservation call: a full disk or a size limit still fails
// here.
bool reserveByWriting(Handle file, std::uint64_t from, std::uint64_t to);

}  // namespace tandrel::platform::os
