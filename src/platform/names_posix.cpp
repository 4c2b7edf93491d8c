// POSIX names are bytes, taken as they come: the command line is what the
// process was given, and no name is converted on its way to the system.
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/platform.h"

namespace tandrel::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv) { return {argv, argv + argc}; }

// Backslashes separate too: a name stored by the Windows build may hold
// folders written its way.
const char* afterLastSeparator(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') name = at + 1;
    }
    return name;
}

bool isReservedFileName(const char*) { return false; }

namespace os {

bool nameIsExact(const std::string&) { return true; }

}  // namespace os
}  // namespace tandrel::platform
