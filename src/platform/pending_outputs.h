// Names of temporary outputs not yet published, kept where an interrupt can
// reach them: a POSIX signal handler or the Windows console handler, which
// runs on a thread of its own. Internal to src/platform.
#pragma once

#include <string>

namespace tandrel::platform {

// False when the name is too long or every slot is taken.
bool rememberPendingOutput(const std::string& path);
void forgetPendingOutput(const std::string& path);

// Calls remove(path) for every pending output. Touches only fixed memory and
// lock-free atomics, so it is safe inside a signal handler.
void removePendingOutputs(void (*remove)(const char* path));

}  // namespace tandrel::platform
