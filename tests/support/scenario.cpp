#include "support/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>

#include "container/messages.h"
#include "platform/os.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

// ---- Reading the data files -----------------------------------------------

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

// ---- Files -----------------------------------------------------------------

// Byte i of a pattern of n bytes is (131 i + n) mod 251: no period of a
// power of two, so no two cipher blocks or pages of it are alike.
std::string pattern(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + length) % 251);
    return bytes;
}

std::uint32_t octal(const std::string& word) { return static_cast<std::uint32_t>(std::stoul(word, nullptr, 8)); }

void setMode(const fs::path& path, const std::string& mode) {
    fs::permissions(path, static_cast<fs::perms>(octal(mode)), fs::perm_options::replace);
}

void put32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<char>(value >> (8 * i));
}

std::uint32_t get32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return value;
}

class Run {
public:
    explicit Run(const Scenario& scenario) : scenario_(scenario), work_(root_.path() / "work") {
        fs::create_directory(work_);
        writeBytes(root_.path() / "passphrases.txt", "\"Web\" \"correct horse\"\n");
        setConfigFileSetting(root_.file("passphrases.txt"));
    }

    void go() {
        for (const ScenarioLine& line : scenario_.lines) {
            SCOPED_TRACE(scenario_.file + ":" + std::to_string(line.number));
            const std::vector<std::string> w(line.words.begin() + 1, line.words.end());
            if (!setUp(line.words[0], w, line) && !shape(line.words[0], w) && !call(line.words[0], w)) {
                if (ran_) check(line.words[0], w, line);
                if (!ran_) ADD_FAILURE() << "unknown or misplaced line: " << line.text;
            }
        }
        if (!ran_) ADD_FAILURE() << "the case never runs the tool";
        closeAll();
    }

private:
    fs::path at(const std::string& name) const { return work_ / name; }

    std::string contentOf(const std::string& source) {
        if (source.rfind("pattern:", 0) == 0) return pattern(std::stoul(source.substr(8)));
        if (source.rfind("copy:", 0) == 0) return contents_.at(source.substr(5));
        if (source.rfind("data:", 0) == 0) return readBytes(fs::path(TANDREL_TEST_DATA_DIR) / source.substr(5));
        return source;
    }

    // Lines that build the scratch folder before the run. False for others.
    bool setUp(const std::string& verb, const std::vector<std::string>& w, const ScenarioLine& line) {
        if (verb == "user" || verb == "system") return true;  // read by runEntry and unsupportedHere
        if (verb == "passphrases") {
            writeBytes(root_.path() / "passphrases.txt", contentOf(w.at(0)));
        } else if (verb == "setting") {
            // Written as it is: a bare name is opened in the folder the tool runs in.
            if (w.at(0) == "none") clearConfigFileSetting();
            if (w.at(0) != "none") setConfigFileSetting(w.at(0));
            return true;
        } else if (verb == "depth") {
            // The case's folder moves down into folders so deep that a name of
            // one byte in it makes a path of exactly the given length. Windows
            // makes folders past its path limit only by their long names.
            const std::string longNames = std::string(TANDREL_SYSTEM) == "windows" ? "\\\\?\\" : "";
            while (work_.string().size() + 2 < std::stoul(w.at(0))) {
                const std::size_t room = std::stoul(w.at(0)) - work_.string().size() - 2;
                work_ /= std::string(room <= 102 ? room - 1 : 100, 'd');
                EXPECT_TRUE(fs::create_directory(longNames + work_.string()));
            }
            return true;
        } else if (verb == "workdir") {
            setMode(work_, w.at(0));
            if (w.size() > 1) {
                EXPECT_TRUE(systemLine({line.number, "", {"owner", ".", w.at(1)}}, work_));
            }
        } else if (verb == "file") {
            writeBytes(at(w.at(0)), contents_[w.at(0)] = contentOf(w.at(2)));
            setMode(at(w.at(0)), w.at(1));
        } else if (verb == "chmod") {
            setMode(at(w.at(0)), w.at(1));
        } else if (verb == "dir") {
            fs::create_directories(at(w.at(0)));
            setMode(at(w.at(0)), w.at(1));
        } else if (verb == "symlink") {
            fs::create_symlink(w.at(1), at(w.at(0)));
        } else if (verb == "hardlink") {
            fs::create_hard_link(at(w.at(1)), at(w.at(0)));
        } else if (verb == "owner" || verb == "xattr" || verb == "acl" || verb == "attributes" || verb == "fifo" ||
                   verb == "lock" || verb == "append-only" || verb == "access") {
            EXPECT_TRUE(systemLine(line, work_)) << verb;
        } else if (verb == "sealed") {
            seal(w.at(0), w.at(1), w.at(2));
        } else if (!edit(verb, w)) {
            return false;
        }
        if (fs::exists(at(w.at(0)))) indexes_[w.at(0)] = fileIndex(at(w.at(0)));
        return true;
    }

    // Encrypts a plaintext of the folder with the tool. Sealing the same
    // plaintext again for another case reuses the first file: any sound
    // encrypted file serves, and large ones take long to make.
    void seal(const std::string& name, const std::string& plaintext, const std::string& project) {
        static std::map<std::string, std::string> made;
        const std::string key = plaintext + '\0' + project + '\0' + contents_.at(plaintext);
        if (made.count(key) == 0) {
            const EntryRun sealing = runEntry({"-encrypt", name, plaintext, project}, work_, {});
            EXPECT_EQ(sealing.status, 0);
            EXPECT_EQ(sealing.output, "");
            made[key] = readBytes(at(name));
        }
        writeBytes(at(name), contents_[name] = made[key]);
    }

    // Edits of an existing file, such as a damaged or crafted encrypted file.
    bool edit(const std::string& verb, const std::vector<std::string>& w) {
        if (verb == "cut") {
            fs::resize_file(at(w.at(0)), std::stoull(w.at(1)));  // growing is sparse: gibibytes take no room
            return true;
        }
        const std::string edits = " set32 flip append stored-name stored-project ";
        if (edits.find(" " + verb + " ") == std::string::npos) return false;
        std::string bytes = readBytes(at(w.at(0)));
        if (verb == "set32") {
            put32(bytes, std::stoul(w.at(1)), static_cast<std::uint32_t>(std::stoul(w.at(2), nullptr, 0)));
        } else if (verb == "flip") {
            bytes.at(std::stoul(w.at(1))) ^= static_cast<char>(1 << std::stoi(w.at(2)));
        } else if (verb == "append") {
            bytes += w.at(1);
        } else {
            // Replaces the name or project field, keeping everything after it.
            const bool name = verb == "stored-name";
            const std::size_t start = name ? 56 : 56 + get32(bytes, 48);
            const std::size_t oldLength = get32(bytes, name ? 48 : 52);
            bytes = bytes.substr(0, start) + w.at(1) + '\0' + bytes.substr(start + oldLength);
            put32(bytes, name ? 48 : 52, static_cast<std::uint32_t>(w.at(1).size() + 1));
        }
        writeBytes(at(w.at(0)), bytes);
        return true;
    }

    // The lines that shape the run, and the run itself. False for others.
    bool shape(const std::string& verb, const std::vector<std::string>& w) {
        if (verb == "cwd") {
            cwd_ = w.at(0);
        } else if (verb == "stdout") {
            options_.stdoutClosed = w.at(0) == "closed";
        } else if (verb == "program" || verb == "codepage") {
            options_.asProgram = true;
            if (verb == "codepage") options_.codePage = w.at(0);
        } else if (verb == "refuse") {
            options_.refused = w.at(0);
        } else if (verb == "temporaries" || verb == "ignore" || verb == "block" || verb == "limit") {
            options_.namedTemporaries |= verb == "temporaries" && w.at(0) == "named";
            if (verb == "ignore") options_.ignoredSignal = w.at(0);
            if (verb == "block") options_.blockedSignal = w.at(0);
            if (verb == "limit") options_.fileSizeLimit = std::stoull(w.at(0));
        } else if (verb == "during") {
            const auto after = std::find(w.begin(), w.end(), "after");
            if (after != w.end()) options_.holdAfterBytes = std::stoull(*(after + 1));
            if (w.at(0) == "signal" || w.at(0) == "kill") options_.signalWhileWriting = w.at(0) == "kill" ? "SIGKILL" : w.at(1);
            if (w.at(0) == "truncate") options_.whileWriting = [this, w] { fs::resize_file(at(w.at(1)), std::stoul(w.at(2))); };
            if (w.at(0) == "poke") options_.whileWriting = [this, w] { poke(at(w.at(1)), std::stoul(w.at(2)), w.at(3)); };
            if (w.at(0) == "write") options_.whileWriting = [this, w] { writeBytes(at(w.at(1)), w.at(2)); };
            if (w.at(0) == "folder") options_.whileWriting = [this, w] { fs::remove(at(w.at(1))), fs::create_directory(at(w.at(1))); };
        } else if (verb == "run") {
            for (const ScenarioLine& other : scenario_.lines) {
                if (other.words[0] == "user") options_.asNobody = other.words.at(1) == "nobody";
            }
            result_ = runEntry(w, work_ / cwd_, options_);
            ran_ = true;
        } else {
            return false;
        }
        return true;
    }

    // Calls of the platform layer in this process, each with what it printed
    // and whether it succeeded (status 0) or not (1). A word starting with @
    // is a path as it stands, not a name in the folder.
    bool call(const std::string& verb, const std::vector<std::string>& w) {
        const std::string word = w.empty() ? "" : w[0];
        const std::string path = word.rfind('@', 0) == 0 ? word.substr(1) : at(word).string();
        bool done = false;
        if (verb == "hold" || verb == "glance") {
            EXPECT_TRUE(held_.emplace_back(std::make_unique<platform::MappedFile>())->openRead(path.c_str()));
            if (verb == "glance") held_.back()->close();
            return true;
        }
        if (verb == "open") {
            EXPECT_TRUE(w.size() == 1 || w.at(1) == "quiet") << "open <path> [quiet]";
            input_.openRead(path.c_str());  // a second opening lets the first go
            done = input_.openRead(path.c_str());
            // What the tool prints for it, unless the case asks for quiet.
            if (w.size() == 1) result_.output = capturedOutput([&] { reportFileFailure(input_); });
            mapped_ = done ? std::string(reinterpret_cast<const char*>(input_.data()), input_.size()) : "-";
        } else if (verb == "create") {
#ifndef _WIN32
            platform::os::unnamedTemporaries = !options_.namedTemporaries;  // as a run of the tool sets it
#endif
            EXPECT_TRUE(w.size() == 2 || w.at(2) == "follow") << "create <path> <length> [follow]";
            const auto length = static_cast<std::uint32_t>(std::stoul(w.at(1)));
            const auto links = w.size() > 2 ? platform::LinkAtTarget::Follow : platform::LinkAtTarget::Replace;
            done = output_.create(path.c_str(), length, links);
            result_.output = capturedOutput([&] { reportFileFailure(output_); });
            // An output takes its length and not a byte more.
            EXPECT_TRUE(!done || (writeText(output_, std::string(length, 'n')) && !writeText(output_, "n")));
        } else if (verb == "cut-under") {
            // Cut short from outside while it is mapped, then read whole again
            // (and, given a second length, grown back to it).
            EXPECT_TRUE(systemLine({0, "", {"truncate", w.at(0), w.at(1)}}, work_)) << "truncate " << w.at(0);
            mapped_ = std::string(reinterpret_cast<const char*>(input_.data()), input_.size());
            if (w.size() > 2) {
                EXPECT_TRUE(systemLine({0, "", {"truncate", w.at(0), w.at(2)}}, work_));
            }
            done = input_.intact();
        } else if (verb == "publish") {
            done = output_.publish();
            result_.output = capturedOutput([&] { done ? reportLeftCopy(output_) : reportFileFailure(output_); });
            closeAll();
        } else {
            return false;
        }
        // GoogleTest reads its capture back as text, without the CRs the runtime wrote.
        result_.output = testing::printedForm(result_.output);
        result_.status = done ? 0 : 1;
        return ran_ = true;
    }

    // Every descriptor the case opened is closed with its files.
    void closeAll() {
        systemLine({0, "", {"release", "."}}, work_);
        held_.clear();
        input_.close();
        output_.discard();
        EXPECT_EQ(openDescriptorCount(), descriptors_) << "descriptors left open";
        EXPECT_EQ(input_.size(), 0u);
    }

    static void poke(const fs::path& path, std::size_t offset, const std::string& byte) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.put(static_cast<char>(std::stoul(byte, nullptr, 0)));
    }

    // An encrypted file of a plaintext of the scratch folder: its signature,
    // its recorded length, its stored name, and its whole length.
    void expectSealed(const std::string& bytes, const std::string& plaintext) {
        ASSERT_GE(bytes.size(), 56u + plaintext.size() + 1);
        EXPECT_EQ(bytes.substr(0, 4), "TDL\x01");
        if (contents_.count(plaintext) != 0) {
            EXPECT_EQ(get32(bytes, 8), contents_.at(plaintext).size());
        }
        EXPECT_EQ(bytes.substr(56, plaintext.size() + 1), plaintext + '\0');
        // Header, name, project, and the plaintext filled to whole blocks with at least one byte.
        EXPECT_EQ(bytes.size(), 56u + get32(bytes, 48) + get32(bytes, 52) + (get32(bytes, 8) / 8 + 1) * 8);
    }

    // The tool's temporary names end in eight hexadecimal digits.
    static std::string withoutTemporaryNames(std::string text) {
        for (std::size_t at = 0; (at = text.find(".tandrel-", at)) != std::string::npos; at += 10) text.replace(at + 9, 8, "*");
        return text;
    }

    void check(const std::string& verb, const std::vector<std::string>& w, const ScenarioLine& line) {
        if (verb == "prints") {
            // The cases write a message's line feeds as the tool's literals do,
            // the case's folder as <folder> and a temporary name as .tandrel-*.
            std::string shown = withoutTemporaryNames(result_.output);
            for (std::size_t found; (found = shown.find(work_.string())) != std::string::npos;) {
                shown.replace(found, work_.string().size(), "<folder>");
            }
            EXPECT_EQ(shown, testing::printedForm(w.at(0)));
        } else if (verb == "status") {
            EXPECT_EQ(result_.status, std::stoi(w.at(0))) << "killed by " << result_.killedBy;
        } else if (verb == "killed") {
            EXPECT_EQ(result_.killedBy, w.at(0));
        } else if (verb == "expect") {
            const fs::path path = at(w.at(0));
            ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << w.at(0);
            if (w.at(1) != "-" && systemHasPermissionBits()) {
                EXPECT_EQ(static_cast<std::uint32_t>(fs::status(path).permissions() & fs::perms::mask), octal(w.at(1)))
                    << "mode of " << w.at(0);
            }
            if (w.at(2).rfind("sealed:", 0) == 0) expectSealed(readBytes(path), w.at(2).substr(7));
            if (w.at(2).rfind("sealed:", 0) != 0 && w.at(2) != "*") {
                EXPECT_EQ(readBytes(path), contentOf(w.at(2))) << "content of " << w.at(0);
            }
        } else if (verb == "expect-owner" || verb == "expect-xattrs" || verb == "expect-attributes" || verb == "same-access") {
            EXPECT_TRUE(systemLine(line, work_)) << verb;
        } else if (verb == "expect-link") {
            ASSERT_TRUE(fs::is_symlink(at(w.at(0)))) << w.at(0);
            EXPECT_EQ(fs::read_symlink(at(w.at(0))).string(), w.at(1));
        } else if (verb == "same-file") {
            EXPECT_EQ(fileIndex(at(w.at(0))), indexes_.at(w.at(0))) << w.at(0) << " was replaced";
        } else if (verb == "new-file") {
            EXPECT_NE(fileIndex(at(w.at(0))), indexes_.at(w.at(0))) << w.at(0) << " was written in place";
        } else if (verb == "mapped") {
            const std::string zeros(std::max<std::size_t>(mapped_.size(), 1), '\0');
            EXPECT_EQ(mapped_, w.at(0) == "zeros" ? zeros : w.at(0));
        } else if (verb == "differs") {
            EXPECT_NE(readBytes(at(w.at(0))), readBytes(at(w.at(1))));
        } else if (verb == "bytes") {
            const std::string content = readBytes(at(w.at(0)));
            ASSERT_GE(content.size(), std::stoul(w.at(1))) << w.at(0);
            EXPECT_EQ(content.substr(std::stoul(w.at(1)), w.at(2).size()), w.at(2)) << w.at(0);
        } else if (verb == "missing") {
            EXPECT_FALSE(fs::exists(fs::symlink_status(at(w.at(0))))) << w.at(0);
        } else if (verb == "only") {
            std::vector<std::string> names;
            for (const auto& entry : fs::recursive_directory_iterator(work_)) {
                names.push_back(withoutTemporaryNames(entry.path().lexically_relative(work_).generic_string()));
            }
            std::vector<std::string> expected = w;
            std::sort(names.begin(), names.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(names, expected);
        } else {
            ADD_FAILURE() << "unknown line: " << line.text;
        }
    }

    const Scenario& scenario_;
    TempDir root_;
    fs::path work_;
    std::string cwd_;
    std::map<std::string, std::string> contents_;
    std::map<std::string, std::uint64_t> indexes_;
    EntryOptions options_;
    EntryRun result_;
    std::vector<std::unique_ptr<platform::MappedFile>> held_;  // readers, open until the output is committed
    platform::MappedFile input_;
    platform::PendingOutput output_;
    std::string mapped_;
    std::ptrdiff_t descriptors_ = openDescriptorCount();
    bool ran_ = false;
};

}  // namespace

std::vector<std::vector<std::string>> readRows(const std::string& fileName) {
    std::vector<std::vector<std::string>> rows;
    for (ScenarioLine& line : readLines(fileName)) rows.push_back(std::move(line.words));
    return rows;
}

std::vector<Scenario> readScenarios(const std::string& fileName) {
    std::vector<Scenario> scenarios;
    for (ScenarioLine& line : readLines(fileName)) {
        if (line.words[0] == "case") scenarios.push_back({fileName, line.number, line.text.substr(5), {}, {}});
        if (line.words[0] != "case" && scenarios.empty()) ADD_FAILURE() << fileName << ":" << line.number << ": no case";
        if (line.words[0] != "case" && !scenarios.empty()) scenarios.back().lines.push_back(std::move(line));
    }
    return scenarios;
}

namespace {

// The values of an `each` line, a range "a..b" standing for every number in it.
std::vector<std::string> eachValue(const std::vector<std::string>& words) {
    std::vector<std::string> values;
    for (auto word = words.begin() + 1; word != words.end(); ++word) {
        const std::size_t dots = word->find("..");
        if (dots == std::string::npos) values.push_back(*word);
        for (std::size_t n = dots == std::string::npos ? 1 : std::stoul(word->substr(0, dots));
             dots != std::string::npos && n <= std::stoul(word->substr(dots + 2)); ++n) {
            values.push_back(std::to_string(n));
        }
    }
    return values;
}

}  // namespace

std::vector<Scenario> eachRun(const Scenario& scenario) {
    const auto each = std::find_if(scenario.lines.begin(), scenario.lines.end(),
                                   [](const ScenarioLine& line) { return line.words[0] == "each"; });
    if (each == scenario.lines.end()) return {scenario};
    std::vector<Scenario> runs;
    for (const std::string& value : eachValue(each->words)) {
        Scenario& one = runs.emplace_back(scenario);
        one.value = value;
        one.lines.erase(one.lines.begin() + (each - scenario.lines.begin()));
        for (ScenarioLine& line : one.lines) {
            for (std::string& word : line.words) {
                for (std::size_t at; (at = word.find('$')) != std::string::npos;) word.replace(at, 1, value);
            }
        }
    }
    return runs;
}

void runScenario(const Scenario& scenario) {
    SCOPED_TRACE(scenario.file + ":" + std::to_string(scenario.line) + ": " + scenario.label +
                 (scenario.value.empty() ? "" : " ($ = " + scenario.value + ")"));
    const std::string reason = unsupportedHere(scenario);
    if (!reason.empty()) GTEST_SKIP() << reason;
    Run(scenario).go();
}

}  // namespace tandrel::test
