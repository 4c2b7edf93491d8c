#include "platform/platform.h"

#include <system_error>

#include "platform/os.h"

namespace tandrel::platform {

bool startHelperThread(std::thread& thread, std::function<void()> work) {
    const os::InterruptsHeldForNewThread held;
    // The library reports a thread it cannot make by an exception; the tool
    // goes on without one.
    try {
        thread = std::thread(std::move(work));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace tandrel::platform
