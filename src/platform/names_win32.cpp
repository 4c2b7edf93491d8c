// Windows names: the command line read in its wide form, and conversions
// between the ANSI code page, in which the tool keeps every name, and the
// wide form the system works in. A name is converted exactly or not at all:
// the system's "best fit" would turn a character the code page lacks into a
// look-alike, such as a fullwidth B into B or a fullwidth backslash into a
// separator, and so reach a file the user never named.
#include <cstring>
#include <string>
#include <vector>

#include "platform/windows_api.h"
#include <shellapi.h>

#include "platform/names_win32.h"
#include "platform/os.h"
#include "platform/platform.h"

namespace tandrel::platform {
namespace os {

bool wideFromCodePage(const std::string& bytes, std::wstring& wide) {
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.c_str(), -1, nullptr, 0);
    if (length <= 0) return false;
    wide.assign(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.c_str(), -1, wide.data(), length) != length) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(length) - 1);
    return true;
}

// With `fallback`, a character the code page lacks becomes that character
// instead of failing the conversion.
bool codePageFromWide(const wchar_t* wide, std::string& bytes, const char* fallback) {
    // A UTF-8 code page holds every character; it takes no best-fit flag.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    const char* replacement = utf8 ? nullptr : fallback;
    const int length = WideCharToMultiByte(CP_ACP, flags, wide, -1, nullptr, 0, replacement, used);
    if (length <= 0) return false;
    bytes.assign(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, wide, -1, bytes.data(), length, replacement, used) != length) return false;
    bytes.resize(static_cast<std::size_t>(length) - 1);
    if (fallback != nullptr) return true;
    // The way back must give the very same characters.
    std::wstring back;
    return !usedDefault && wideFromCodePage(bytes, back) && back == wide;
}

bool nameIsExact(const std::string& path) {
    // A wildcard is no part of a file name; '?' stands in for characters the
    // code page lacks. Only the long-path prefix "\\?\" may hold one.
    const std::size_t prefix = path.rfind("\\\\?\\", 0) == 0 ? 4 : 0;
    std::wstring wide;
    std::string back;
    return path.find_first_of("?*", prefix) == std::string::npos && wideFromCodePage(path, wide) &&
           codePageFromWide(wide.c_str(), back, nullptr) && back == path;
}

}  // namespace os

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    arguments.assign(static_cast<std::size_t>(count), std::string());
    for (int i = 0; i < count; ++i) {
        std::string& argument = arguments[static_cast<std::size_t>(i)];
        // Inexact, the argument keeps a '?' for each character it lacks: no
        // file can bear that name, so it is refused as any unusable name is,
        // and the message shows where.
        if (!os::codePageFromWide(wide[i], argument, nullptr) && !os::codePageFromWide(wide[i], argument, "?")) {
            argument = "?";
        }
    }
    LocalFree(wide);
    return arguments;
}

// In a double-byte code page (932, 936, 949, 950) the second byte of a
// character may be 0x5C, the backslash's: only a byte that starts a
// character is taken for a separator.
const char* afterLastSeparator(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*at)) && at[1] != '\0') {
            ++at;
        } else if (*at == '\\' || *at == '/') {
            name = at + 1;
        }
    }
    return name;
}

// Windows keeps these names for devices in every folder, whatever follows
// the first dot and whatever blanks or dots end the stem. A name that the
// code page cannot hold exactly is refused with them.
bool isReservedFileName(const char* name) {
    if (!os::nameIsExact(name)) return true;
    const std::size_t length = std::strlen(name);
    if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) return true;
    std::size_t stem = std::strcspn(name, ".");
    while (stem > 0 && (name[stem - 1] == ' ' || name[stem - 1] == '.')) --stem;
    char upper[8] = {};
    if (stem == 0 || stem >= sizeof upper) return false;
    for (std::size_t i = 0; i < stem; ++i) {
        const char c = name[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (std::strcmp(upper, device) == 0) return true;
    }
    if (stem == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0)) {
        // Digits, and the superscript digits one to three of the ANSI page.
        const auto digit = static_cast<unsigned char>(upper[3]);
        return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

}  // namespace tandrel::platform
