// The per-user setting in the registry, and what the processor and process
// say of themselves, on Windows.
#include <cstring>
#include <string>
#include <vector>

#include "platform/names_win32.h"
#include "platform/platform.h"
#include "platform/windows_api.h"

namespace tandrel::platform {

// ---- Per-user settings -----------------------------------------------------

// Read in its wide form and converted exactly: a value naming a character
// the code page lacks would otherwise name a look-alike file.
bool readUserSetting(const char* keyPath, const char* valueName, char* out, std::size_t capacity) {
    std::wstring key;
    std::wstring value;
    if (capacity == 0 || capacity > MAXDWORD / sizeof(wchar_t) - 1 || !os::wideFromCodePage(keyPath, key) ||
        !os::wideFromCodePage(valueName, value)) {
        return false;
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    // A value that fits `capacity` bytes has no more characters than that.
    std::vector<wchar_t> text(capacity + 1, L'\0');
    DWORD type = REG_NONE;
    auto size = static_cast<DWORD>(capacity * sizeof(wchar_t));
    const LONG status = RegQueryValueExW(opened, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    // A string may have been stored without its NUL; it is never read past its end.
    text[size / sizeof(wchar_t)] = L'\0';
    std::string bytes;
    if (!os::codePageFromWide(text.data(), bytes, nullptr) || bytes.size() >= capacity) return false;
    std::memcpy(out, bytes.c_str(), bytes.size() + 1);
    return true;
}

std::uint32_t processId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

}  // namespace tandrel::platform
