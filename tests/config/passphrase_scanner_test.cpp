// The scanner on exact-size buffers, where the sanitizer catches any read
// past the end of the text.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/passphrase_scanner.h"

namespace tandrel::test {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entriesOf(const std::string& text, std::size_t count) {
    const std::vector<std::uint8_t> exact(text.begin(), text.end());
    const PassphraseScanner scanner(exact);
    std::vector<char> name(count), passphrase(count);
    Entries entries;
    scanner.walk(name.data(), passphrase.data(), count, [&] {
        entries.emplace_back(name.data(), passphrase.data());
        return false;
    });
    return entries;
}

TEST(PassphraseScanner, EntriesRunningToTheLastByteStayInside) {
    const struct {
        std::string text;
        Entries entries;
    } cases[] = {
        {"\"\"\"\"", {{"", ""}}},
        {"\"a\"\"", {}},
        {"x\"a\"\"b\"", {{"a", "b"}}},
        {"\"a\" \"b\" \"", {{"a", "b"}, {" ", " "}}},
        {"\"a\" \"b", {}},
        {"\"a\" \"b\" ;", {{"a", "b"}}},
        {";", {}},
        {"\"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(entriesOf(c.text, 16), c.entries) << c.text;
}

TEST(PassphraseScanner, OverlongNameIsCutAndReadOnFromItsLastByte) {
    // A name of count bytes is cut to count - 1; the byte after the cut is
    // skipped as if it were the closing quote, so the passphrase read is the
    // separator up to the real passphrase's opening quote.
    EXPECT_EQ(entriesOf("\"abcd\" \"p\"", 4), (Entries{{"abc", " "}}));
    EXPECT_EQ(entriesOf("\"abc\" \"p\"", 4), (Entries{{"abc", "p"}}));
    // The file ends straight after the cut name's quotes.
    EXPECT_EQ(entriesOf("\"abcd\"\"\"\"", 4), (Entries{{"abc", ""}, {"", ""}}));
    EXPECT_EQ(entriesOf("\"a\" \"" + std::string(20, 'p') + "\"", 8), (Entries{{"a", "ppppppp"}}));
}

TEST(PassphraseScanner, ManyQuotesOnOneLineStayLinear) {
    // k quotes give k - 3 entries; a walk that recounted the line for each
    // would take hours here.
    const std::string text(2'000'000, '"');
    EXPECT_EQ(entriesOf(text, 4).size(), text.size() - 3);
}

}  // namespace
}  // namespace tandrel::test
