// Names of temporary outputs not yet published, kept where an interrupt can
// reach them: a POSIX signal handler or the Windows console handler, which
// runs on a thread of its own. Internal to src/platform.
#pragma once

#include <cstdint>
#include <string>

namespace tandrel::platform {

// `directory` is whatever the system's removal needs beside the name (a
// folder descriptor on POSIX); false when the name is too long or every
// slot is taken.
bool rememberPendingOutput(std::intptr_t directory, const std::string& name);
void forgetPendingOutput(std::intptr_t directory, const std::string& name);

// Calls remove(directory, name) for every pending output. Touches only fixed
// memory and lock-free atomics, so it is safe inside a signal handler.
void removePendingOutputs(void (*remove)(std::intptr_t directory, const char* name));

}  // namespace tandrel::platform
