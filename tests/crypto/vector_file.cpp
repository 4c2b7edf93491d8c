#include "crypto/vector_file.h"

#include <fstream>

namespace tandrel::test {
namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<VectorRecord> readVectorFile(const std::string& fileName) {
    std::ifstream in(std::string(TANDREL_TEST_DATA_DIR) + "/" + fileName);
    std::vector<VectorRecord> records;
    VectorRecord current;
    std::string line;
    auto closeRecord = [&] {
        if (!current.empty()) records.push_back(current);
        current.clear();
    };
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty()) {
            closeRecord();
            continue;
        }
        if (line[0] == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        current[trimmed(line.substr(0, equals))] = trimmed(line.substr(equals + 1));
    }
    closeRecord();
    return records;
}

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

}  // namespace tandrel::test
