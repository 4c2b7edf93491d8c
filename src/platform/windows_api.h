// The Windows API as the tool's Windows files include it: without the parts
// it never uses, and without the min and max macros that would break
// std::min and std::max. Windows builds only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
