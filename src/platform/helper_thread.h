// The reading and writing helpers' threads. Internal to src/platform.
#pragma once

#include <functional>
#include <thread>

namespace tandrel::platform {

// Starts `work` on `thread`, which takes no interrupt. False, with no thread,
// when none can be made: the caller then does the work itself.
bool startHelperThread(std::thread& thread, std::function<void()> work);

}  // namespace tandrel::platform
