// Reading the case and row files under TANDREL_TEST_DATA_DIR.
#include "support/scenario.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tandrel::test {
namespace {

bool readQuoted(const std::string& line, std::size_t& at, std::string& word) {
    for (++at; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\' || at + 1 >= line.size()) {
            word += line[at];
            continue;
        }
        const char escaped = line[++at];
        switch (escaped) {
            case 'n': word += '\n'; break;
            case 'r': word += '\r'; break;
            case 't': word += '\t'; break;
            case '0': word += '\0'; break;
            case 'x':
                if (at + 2 >= line.size()) return false;
                word += static_cast<char>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
                at += 2;
                break;
            default: word += escaped;
        }
    }
    if (at >= line.size()) return false;  // no closing quote
    ++at;
    return true;
}

bool splitWords(const std::string& line, std::vector<std::string>& words) {
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
        if (at >= line.size()) return true;
        std::string word;
        if (line[at] == '"') {
            if (!readQuoted(line, at, word)) return false;
        } else {
            while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') word += line[at++];
        }
        words.push_back(word);
    }
}

}  // namespace

std::vector<std::vector<std::string>> readRows(const std::string& fileName) {
    std::ifstream in(std::string(TANDREL_TEST_DATA_DIR) + "/" + fileName);
    EXPECT_TRUE(in) << "cannot read " << fileName;
    std::vector<std::vector<std::string>> rows;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::vector<std::string> words;
        if (!splitWords(text, words)) ADD_FAILURE() << fileName << ":" << number << ": unreadable line";
        if (!words.empty() && words[0][0] != '#') rows.push_back(words);
    }
    return rows;
}

std::vector<Scenario> readScenarios(const std::string& fileName) {
    std::ifstream in(std::string(TANDREL_TEST_DATA_DIR) + "/" + fileName);
    EXPECT_TRUE(in) << "cannot read " << fileName;
    std::vector<Scenario> scenarios;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::vector<std::string> words;
        if (!splitWords(text, words)) {
            ADD_FAILURE() << fileName << ":" << number << ": unreadable line";
            continue;
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "case") {
            scenarios.push_back({fileName, number, text.substr(text.find("case") + 5), {}});
        } else if (scenarios.empty()) {
            ADD_FAILURE() << fileName << ":" << number << ": line before the first case";
        } else {
            scenarios.back().lines.push_back({number, words[0], {words.begin() + 1, words.end()}});
        }
    }
    return scenarios;
}

}  // namespace tandrel::test
