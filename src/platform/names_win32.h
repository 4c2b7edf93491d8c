// Conversions between the ANSI code page and the wide form of a name, exact
// or refused. Internal to the Windows build of src/platform.
#pragma once

#include <string>

namespace tandrel::platform::os {

// False for bytes that are no valid text in the code page.
bool wideFromCodePage(const std::string& bytes, std::wstring& wide);
// False for a character the code page lacks, unless `fallback` (such as
// "?") is given to stand in for it.
bool codePageFromWide(const wchar_t* wide, std::string& bytes, const char* fallback);

}  // namespace tandrel::platform::os
