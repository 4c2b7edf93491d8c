// What must hold for any input, one check per fuzz target. Each returns an
// empty string when everything held and otherwise says what did not. Built
// with TANDREL_FUZZ_CHECK naming one of them, this is that libFuzzer target;
// built without, it replays every seed corpus as an ordinary test.
#include <cstring>

#include "cli/command_line.h"
#include "container/container_format.h"
#include "container/operations.h"
#include "support/test_helpers.h"

namespace tandrel::test {

// One scratch folder per process holds the per-user settings, the files the
// runs are given and the working folder every run happens in.
const TempDir scratchRoot;
fs::path scratch(const char* name) { return scratchRoot.path() / name; }

struct Run {
    int status = -1;
    std::string printed;
    // What the run left in the working folder, and, under a name no entry
    // of it can bear, whatever it added anywhere else in the scratch folder.
    std::map<std::string, std::string> outputs;
};

// Runs `call` in the working folder with the setting naming `passphrases`,
// then empties that folder again.
template <typename Call>
Run runInWork(const fs::path& passphrases, Call&& call) {
    testing::isolateUserSettings(scratch("settings").string());
    testing::writeUserSetting(kSettingsKeyPath, kSettingsValueName, passphrases.string());
    fs::create_directory(scratch("work"));
    const auto entries = [] { return std::distance(fs::recursive_directory_iterator(scratch("")), {}); };
    const auto before = entries();
    const fs::path previous = fs::current_path();
    fs::current_path(scratch("work"));
    Run run;
    run.printed = capturedOutput([&] { run.status = call(); });
    fs::current_path(previous);
    for (const auto& entry : fs::directory_iterator(scratch("work"))) {
        run.outputs[entry.path().filename().string()] = readBytes(entry.path());
        fs::remove_all(entry.path());
    }
    if (entries() != before) run.outputs["../(written outside the working folder)"];
    return run;
}

// The first byte picks the buffer size, the rest is the passphrase file's
// text. The line rule as it is stated: per line (ended by every CR and every
// LF), the k quotes before its first ';' give k - 3 entries; entry j is named
// by the text between quotes j and j+1 and has the text between quotes j+2
// and j+3 as its passphrase, each cut to count - 1 bytes.
std::string checkPassphraseScanner(const std::string& input) {
    if (input.empty()) return {};
    const std::size_t count = 1 + static_cast<std::uint8_t>(input[0]) % 32, length = input.size() - 1;
    const std::string text = input.substr(1);
    // Each value as the caller's buffer holds it: up to its first NUL.
    const auto shown = [](std::size_t at, const std::string& name, const std::string& passphrase) {
        return std::to_string(at) + " \"" + name.c_str() + "\" \"" + passphrase.c_str() + "\"\n";
    };
    std::string expected, found;
    for (std::size_t start = 0, end = 0; start <= length; start = end + 1) {
        end = std::min(text.find_first_of("\r\n", start), length);
        const std::size_t stop = std::min(end, text.find(';', start));
        std::vector<std::size_t> q;
        for (auto i = text.find('"', start); i < stop; i = text.find('"', i + 1)) q.push_back(i);
        const auto value = [&](std::size_t j) {
            return text.substr(q[j] + 1, std::min(q[j + 1] - q[j] - 1, count - 1));
        };
        for (std::size_t j = 0; j + 3 < q.size(); ++j) {
            expected += shown(q[j], value(j), value(j + 2));
        }
    }
    // Exact-size buffers, so that the sanitizer sees any access past one.
    const std::vector<std::uint8_t> exact(input.begin() + 1, input.end());
    std::vector<char> name(count), passphrase(count);
    const PassphraseScanner scanner({exact.data(), length});
    for (auto at = scanner.findEntry(0); at; at = scanner.findEntry(*at + 1)) {
        scanner.parseEntry(*at, name.data(), passphrase.data(), count);
        found += shown(*at, name.data(), passphrase.data());
    }
    return found == expected ? "" : "entries\n" + found + "where the line rule gives\n" + expected;
}

std::uint32_t word(const std::uint8_t* at) { return at[0] | at[1] << 8 | at[2] << 16 | std::uint32_t{at[3]} << 24; }

// The input is a whole file. The reader, over an exact-size copy, must agree
// with a literal reading of the layout: 56 header bytes, the two names each
// with its NUL inside its length, then the ciphertext of the plaintext
// extended by 1 to 8 bytes. The decrypt mode, over the same bytes as a file,
// must copy a plain file, restore a sound one, or leave nothing at all.
std::string checkContainer(const std::string& input) {
    const std::size_t size = input.size();
    const auto exact = std::make_unique<std::uint8_t[]>(size);
    const std::uint8_t* data = static_cast<std::uint8_t*>(std::memcpy(exact.get(), input.data(), size));
    ContainerView view;
    const ContainerKind kind = readContainer(data, static_cast<std::uint32_t>(size), view);
    const bool plain = size < 4 || std::memcmp(data, "TDL\1\0\0\0\0", std::min<std::size_t>(size, 8)) != 0;
    const bool header = !plain && size >= 56;
    const std::uint64_t plainLen = header ? word(data + 8) : 0, projectAt = 56 + (header ? word(data + 48) : 0);
    const std::uint64_t cipherAt = projectAt + (header ? word(data + 52) : 0), padded = plainLen + 8 - plainLen % 8;
    const auto holdsText = [&](std::uint64_t at, std::uint64_t end) {
        return at < end && end <= size && std::memchr(data + at, 0, end - at);
    };
    const bool sound =
        plainLen > 0 && holdsText(56, projectAt) && holdsText(projectAt, cipherAt) && cipherAt + padded <= size;
    const auto expected = plain ? ContainerKind::Plain : sound ? ContainerKind::Encrypted : ContainerKind::Damaged;
    if (kind != expected) return "read as kind " + std::to_string(static_cast<int>(kind));
    if (sound && (view.ciphertext != data + cipherAt || view.paddedLen != padded)) return "ciphertext misplaced";

    writeBytes(scratch("image"), input);
    writeBytes(scratch("passphrases"), "\"Fuzz\" \"seed corpus\"\n");
    const Run run = runInWork(scratch("passphrases"), [] {
        const PassphraseConfig config(kSettingsKeyPath);
        return decryptFile(config, scratch("image").string().c_str());
    });
    if (run.status == 0 && !run.printed.empty()) return "printed on success: " + run.printed;
    if (kind == ContainerKind::Plain && size > 0) {
        const bool copied = run.outputs == std::map<std::string, std::string>{{"script.znc", input}};
        return run.status == 0 && copied ? "" : "a plain file was not copied to script.znc";
    }
    if (run.status != 0) return run.outputs.empty() ? "" : "a rejected file left " + run.outputs.begin()->first;
    // A sound file restores to one file of the length its header gives; its
    // name and its bytes are the stored-name rules' and the cipher's to show.
    const bool restored = run.outputs.size() == 1 && run.outputs.begin()->second.size() == plainLen;
    return restored ? "" : "not restored to one file of " + std::to_string(plainLen) + " bytes";
}

// The input, split at every NUL, is the argument vector; the setting names a
// passphrase file that does not exist, so no mode finds a passphrase. The
// selection rule: argv[1] holding "-encrypt" with five arguments, else
// holding "-decrypt" with three, else holding "-config" with any number;
// anything else, or no argv[1], is usage.
std::string checkCommandLine(const std::string& input) {
    std::vector<std::string> args(input.empty() ? 0 : 1);
    for (const char byte : input) byte == '\0' ? args.emplace_back() : args.back() += byte;
    std::vector<char*> argv(args.size() + 1);
    for (std::size_t i = 0; i < args.size(); ++i) argv[i] = args[i].data();
    const auto holds = [&](const char* word) { return args.size() > 1 && args[1].find(word) != std::string::npos; };
    // A decrypt of a file that exists is the container target's business.
    std::error_code error;
    if (holds("-decrypt") && args.size() == 3 && fs::is_regular_file(scratch("work") / args[2], error)) return {};
    const auto [status, ending] =
        holds("-encrypt") && args.size() == 5   ? std::pair(2, "Passphrase not found for project \"" + args[4] + "\"")
        : holds("-decrypt") && args.size() == 3 ? std::pair(3, "Cannot open \"" + args[2] + "\"")
        : holds("-config") ? std::pair(2, std::string("The config file is not valid, or could not be found."))
                           : std::pair(1, std::string("to verify contents of config file: Tandrel -config\n"));
    const Run run = runInWork(scratch("missing"), [&] { return runCommandLine(int(args.size()), argv.data()); });
    if (run.status != status || !run.printed.ends_with(ending)) {
        return "status " + std::to_string(run.status) + ", printed " + run.printed + "\nexpected an ending " + ending;
    }
    return run.outputs.empty() ? "" : "a run that found no passphrase left " + run.outputs.begin()->first;
}

#ifdef TANDREL_FUZZ_CHECK

// The tool takes the interrupt and timer signals for itself, and libFuzzer
// leaves a signal alone once it has a handler: taking them here, before the
// first input, makes every run alike. libFuzzer's per-input timer is thereby
// gone; tools/fuzz.sh bounds each run from outside instead.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::prepareProcess();
    return 0;
}

// A broken promise ends the run as a finding, with the check's account of it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = TANDREL_FUZZ_CHECK(std::string(data, data + size));
    if (fault.empty()) return 0;
    std::fprintf(stderr, "\n%s\n", fault.c_str());
    std::abort();
}
#else
TEST(FuzzCorpus, EveryFileHolds) {
    const std::pair<const char*, std::string (*)(const std::string&)> targets[] = {
        {"passphrase_scanner", checkPassphraseScanner},
        {"container", checkContainer},
        {"command_line", checkCommandLine}};
    for (const auto& [corpus, check] : targets) {
        const fs::path folder = fs::path(TANDREL_FUZZ_CORPUS_DIR) / corpus;
        EXPECT_GE(std::distance(fs::directory_iterator(folder), {}), 3) << corpus;
        for (const auto& entry : fs::directory_iterator(folder)) {
            EXPECT_EQ(check(readBytes(entry.path())), "") << entry.path();
        }
    }
}
#endif

}  // namespace tandrel::test
