// The scanner against the line rule it must amount to, written out here as
// plainly as it is stated: per line (ended by every CR and every LF), the k
// quotes before its first ';' give k - 3 entries; entry j is named by the
// text between quotes j and j+1 and has the text between quotes j+2 and j+3
// as its passphrase, each cut to count - 1 bytes. A name longer than that
// leaves the scan one byte short of its closing quote, which it then takes
// for the passphrase's opening one: that entry's passphrase is the text
// between quotes j+1 and j+2.
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "config/passphrase_scanner.h"
#include "fuzz/checks.h"

namespace tandrel::fuzz {
namespace {

struct Entry {
    std::size_t quote = 0;  // offset of the entry's opening quote
    std::string name;
    std::string passphrase;
};

// A value as the caller's buffer holds it: cut to count - 1 bytes and read
// up to its first NUL.
std::string asBuffered(std::string_view value, std::size_t count) {
    value = value.substr(0, count - 1);
    return std::string(value.substr(0, value.find('\0')));
}

std::vector<Entry> entriesByLineRule(std::string_view text, std::size_t count) {
    std::vector<Entry> entries;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        std::vector<std::size_t> quotes;
        for (std::size_t i = 0; i < line.size() && line[i] != ';'; ++i) {
            if (line[i] == '"') quotes.push_back(start + i);
        }
        const auto between = [&](std::size_t first) {
            return text.substr(quotes[first] + 1, quotes[first + 1] - quotes[first] - 1);
        };
        for (std::size_t j = 0; j + 3 < quotes.size(); ++j) {
            const bool nameCut = between(j).size() > count - 1;
            entries.push_back({quotes[j], asBuffered(between(j), count),
                               asBuffered(between(nameCut ? j + 1 : j + 2), count)});
        }
        start = end + 1;
    }
    return entries;
}

std::string shown(const Entry& entry) {
    return "(" + std::to_string(entry.quote) + " \"" + entry.name + "\" \"" + entry.passphrase + "\")";
}

}  // namespace

std::string checkPassphraseScanner(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    const std::size_t count = 1 + data[0] % 32;
    // Exact-size copies, so that the sanitizer sees any access past the text
    // or past a buffer.
    const std::size_t length = size - 1;
    const auto text = std::make_unique<std::uint8_t[]>(length);
    std::memcpy(text.get(), data + 1, length);
    const auto name = std::make_unique<char[]>(count);
    const auto passphrase = std::make_unique<char[]>(count);

    const std::vector<Entry> expected =
        entriesByLineRule({reinterpret_cast<const char*>(data + 1), length}, count);
    const PassphraseScanner scanner({text.get(), length});
    std::size_t index = 0;
    for (auto at = scanner.findEntry(0); at; at = scanner.findEntry(*at + 1), ++index) {
        if (*at >= length) return "an entry opens at " + std::to_string(*at) + ", past the text";
        scanner.parseEntry(*at, name.get(), passphrase.get(), count);
        const Entry found{*at, name.get(), passphrase.get()};
        if (index == expected.size()) return "entry " + shown(found) + " beyond the line rule's";
        if (found.quote != expected[index].quote || found.name != expected[index].name ||
            found.passphrase != expected[index].passphrase) {
            return "entry " + std::to_string(index) + " is " + shown(found) + ", the line rule gives " +
                   shown(expected[index]);
        }
    }
    if (index != expected.size()) {
        return std::to_string(index) + " entries, the line rule gives " + std::to_string(expected.size());
    }
    return {};
}

}  // namespace tandrel::fuzz
