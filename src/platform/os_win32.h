// Windows pieces that the platform layer's Windows files share. Internal
// to src/platform.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"
#include "platform/windows_api.h"

namespace tandrel::platform::os {

inline HANDLE handleOf(Handle value) { return reinterpret_cast<HANDLE>(value); }
inline Handle valueOf(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

FileId identityIn(const BY_HANDLE_FILE_INFORMATION& info);
// A name in the form the wide functions take at any length (see files_win32.cpp).
std::wstring longName(const std::string& name);
bool exists(const std::string& path);
bool deleteByName(const std::string& path);

BOOL WINAPI removePendingOnInterrupt(DWORD event);
LONG WINAPI onLostPage(EXCEPTION_POINTERS* pointers);

}  // namespace tandrel::platform::os
