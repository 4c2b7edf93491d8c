// Finds and reads the entries of a passphrase file's text. Every scan is
// bounded by the end of the text, however the lines are formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tandrel {

class PassphraseScanner {
public:
    PassphraseScanner() = default;
    explicit PassphraseScanner(std::span<const std::uint8_t> text) : text_(text) {}

    // Offset of the opening quote of the next entry at or after `from`: a
    // quote followed by at least three more before the line ends.
    std::optional<std::size_t> findEntry(std::size_t from) const;

    // Reads the entry whose opening quote is at `at` into two buffers of
    // `count` bytes each, cutting longer values to count - 1 bytes.
    void parseEntry(std::size_t at, char* nameOut, char* passOut, std::size_t count) const;

    // Calls visit(name, passphrase) for each entry in order until it returns
    // true; returns whether one did. Entries overlap: the walk resumes one
    // byte after each entry's opening quote.
    template <typename Visit>
    bool walk(char* nameOut, char* passOut, std::size_t count, Visit&& visit) const {
        for (auto at = findEntry(0); at; at = findEntry(*at + 1)) {
            parseEntry(*at, nameOut, passOut, count);
            if (visit()) return true;
        }
        return false;
    }

private:
    // What the last quote count found, so that walking the k - 3 entries of a
    // line with k quotes costs one pass over the line rather than k.
    struct QuoteCount {
        bool known = false;
        std::size_t quote = 0;   // offset of the quote the count began at
        std::size_t stop = 0;    // offset of the line end, ';' or text end
        std::size_t quotes = 0;  // quotes in [quote, stop)
    };

    std::size_t copyValue(std::size_t from, char* out, std::size_t count) const;

    std::span<const std::uint8_t> text_;
    mutable QuoteCount lastCount_;
};

}  // namespace tandrel
