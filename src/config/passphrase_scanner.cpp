#include "config/passphrase_scanner.h"

namespace tandrel {
namespace {

bool endsLine(std::uint8_t byte) { return byte == '\r' || byte == '\n'; }
bool endsCount(std::uint8_t byte) { return endsLine(byte) || byte == ';'; }

}  // namespace

std::optional<std::size_t> PassphraseScanner::findEntry(std::size_t from) const {
    const std::size_t end = text_.size();
    // Resuming one byte after the last counted quote: until the next quote,
    // that count still describes the rest of the line.
    bool resuming = lastCount_.known && from == lastCount_.quote + 1;
    std::size_t p = from;
    while (p < end) {
        if (text_[p] == ';') {
            while (p < end && !endsLine(text_[p])) ++p;
            if (p == end) return std::nullopt;
        } else if (text_[p] == '"') {
            QuoteCount count{true, p, 0, 0};
            if (resuming && lastCount_.quote < p && p < lastCount_.stop) {
                count.stop = lastCount_.stop;
                count.quotes = lastCount_.quotes - 1;
            } else {
                std::size_t q = p + 1;
                count.quotes = 1;
                while (q < end && !endsCount(text_[q])) {
                    if (text_[q] == '"') ++count.quotes;
                    ++q;
                }
                count.stop = q;
            }
            lastCount_ = count;
            resuming = false;
            if (count.quotes >= 4) return p;
            p = count.stop;
        } else {
            ++p;
        }
    }
    return std::nullopt;
}

std::size_t PassphraseScanner::copyValue(std::size_t from, char* out, std::size_t count) const {
    std::size_t i = from;
    std::size_t copied = 0;
    while (copied + 1 < count && i < text_.size() && text_[i] != '"') {
        out[copied++] = static_cast<char>(text_[i++]);
    }
    if (count > 0) out[copied] = '\0';
    return i;
}

void PassphraseScanner::parseEntry(std::size_t at, char* nameOut, char* passOut,
                                   std::size_t count) const {
    // Step over the rest of a name cut to fit and its closing quote, then
    // past the separator to the passphrase's opening quote: a cut name's
    // tail is no passphrase.
    std::size_t i = copyValue(at + 1, nameOut, count);
    while (i < text_.size() && text_[i] != '"') ++i;
    ++i;
    while (i < text_.size() && text_[i] != '"') ++i;
    copyValue(i + 1, passOut, count);
}

}  // namespace tandrel
