// Reading the case and row files under TANDREL_TEST_DATA_DIR.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>

#include "support/scenario.h"

namespace tandrel::test {
namespace {

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Splits a line into words; false when a quoted word has no closing quote.
bool splitWords(const std::string& line, std::vector<std::string>& words) {
    static const std::map<char, char> kEscapes{{'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'0', '\0'}};
    for (std::size_t at = 0;;) {
        while (at < line.size() && isBlank(line[at])) ++at;
        if (at == line.size()) return true;
        std::string& word = words.emplace_back();
        if (line[at] != '"') {
            while (at < line.size() && !isBlank(line[at])) word += line[at++];
            continue;
        }
        for (++at; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] != '\\' || at + 1 == line.size()) {
                word += line[at];
            } else if (line[++at] == 'x') {
                word += static_cast<char>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
                at += 2;
            } else {
                word += kEscapes.count(line[at]) != 0 ? kEscapes.at(line[at]) : line[at];
            }
        }
        if (at++ == line.size()) return false;
    }
}

// The lines of a data file that are neither blank nor comments, as words.
std::vector<ScenarioLine> readLines(const std::string& fileName) {
    std::ifstream in(std::string(TANDREL_TEST_DATA_DIR) + "/" + fileName);
    EXPECT_TRUE(in) << "cannot read " << fileName;
    std::vector<ScenarioLine> lines;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::vector<std::string> words;
        if (!splitWords(text, words)) ADD_FAILURE() << fileName << ":" << number << ": unreadable line";
        if (!words.empty() && words[0][0] != '#') lines.push_back({number, text, std::move(words)});
    }
    return lines;
}

}  // namespace

std::vector<std::vector<std::string>> readRows(const std::string& fileName) {
    std::vector<std::vector<std::string>> rows;
    for (ScenarioLine& line : readLines(fileName)) rows.push_back(std::move(line.words));
    return rows;
}

std::vector<Scenario> readScenarios(const std::string& fileName) {
    std::vector<Scenario> scenarios;
    for (ScenarioLine& line : readLines(fileName)) {
        if (line.words[0] == "case") scenarios.push_back({fileName, line.number, line.text.substr(5), {}});
        if (line.words[0] != "case" && scenarios.empty()) ADD_FAILURE() << fileName << ":" << line.number << ": no case";
        if (line.words[0] != "case" && !scenarios.empty()) scenarios.back().lines.push_back(std::move(line));
    }
    return scenarios;
}

}  // namespace tandrel::test
