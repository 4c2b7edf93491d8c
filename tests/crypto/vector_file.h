// Reader for the known-answer files in tests/data: records of "Name = value"
// lines separated by blank lines, '#' starting a comment line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tandrel::test {

using VectorRecord = std::map<std::string, std::string>;

// Records of TANDREL_TEST_DATA_DIR/<fileName>; empty if the file is missing.
std::vector<VectorRecord> readVectorFile(const std::string& fileName);

std::vector<std::uint8_t> fromHex(const std::string& hex);
std::string toHex(const std::uint8_t* bytes, std::size_t count);

}  // namespace tandrel::test
