// What must hold for any input, one check per fuzz target. Each returns an
// empty string when everything held and otherwise says what did not. Built
// with TANDREL_FUZZ_CHECK naming one of them, this is that libFuzzer target;
// built without, it replays every seed corpus as an ordinary test.
#include <cstring>
#include <map>
#include <string_view>

#include "cli/command_line.h"
#include "config/passphrase_config.h"
#include "container/container_format.h"
#include "container/operations.h"
#include "crypto/sha256.h"
#include "support/test_helpers.h"

namespace tandrel::fuzz {
namespace {

namespace fs = std::filesystem;

// One scratch folder per process holds the per-user settings, the files the
// runs are given and the working folder every run happens in.
fs::path scratch(const char* name) {
    static const test::TempDir root;
    return root.path() / name;
}

// Every path under the scratch folder, with each file's bytes.
std::string listing() {
    std::string all;
    for (const auto& entry : fs::recursive_directory_iterator(scratch(""))) {
        all += entry.path().string() + '\n' + (entry.is_regular_file() ? test::readBytes(entry.path()) : "") + '\n';
    }
    return all;
}

struct Run {
    int status = -1;
    std::string printed, fault;
    std::map<std::string, std::string> outputs;  // what the run left in the working folder
};

// Runs `call` in the working folder with the setting naming `passphrases`,
// then empties that folder again; anything else the run changed in the
// scratch folder is a fault.
template <typename Call>
Run runInWork(const fs::path& passphrases, Call&& call) {
    testing::isolateUserSettings(scratch("settings").string());
    testing::writeUserSetting(kSettingsKeyPath, kSettingsValueName, passphrases.string());
    fs::create_directory(scratch("work"));
    const std::string before = listing();
    const fs::path previous = fs::current_path();
    fs::current_path(scratch("work"));
    Run run;
    run.printed = test::capturedOutput([&] { run.status = call(); });
    fs::current_path(previous);
    for (const auto& entry : fs::directory_iterator(scratch("work"))) {
        run.outputs[entry.path().filename().string()] = test::readBytes(entry.path());
        fs::remove_all(entry.path());
    }
    if (listing() != before) run.fault = "changed outside the working folder:\n" + listing();
    return run;
}

std::uint32_t word(const std::uint8_t* at) { return at[0] | at[1] << 8 | at[2] << 16 | std::uint32_t{at[3]} << 24; }

}  // namespace

// The first byte picks the buffer size, the rest is the passphrase file's
// text. The line rule as it is stated: per line (ended by every CR and every
// LF), the k quotes before its first ';' give k - 3 entries; entry j is named
// by the text between quotes j and j+1 and has the text between quotes j+2
// and j+3 as its passphrase, each cut to count - 1 bytes and read up to a
// NUL. A longer name leaves the scan one byte short of its closing quote,
// which it then takes for the passphrase's opening one: that entry's
// passphrase is the text between quotes j+1 and j+2.
std::string checkPassphraseScanner(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    const std::size_t count = 1 + data[0] % 32, length = size - 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), length);
    const auto shown = [](std::size_t at, std::string_view name, std::string_view passphrase) {
        return std::to_string(at) + " \"" + std::string(name) + "\" \"" + std::string(passphrase) + "\"\n";
    };
    std::string expected, found;
    for (std::size_t start = 0; start <= length;) {
        const std::size_t end = std::min(text.find_first_of("\r\n", start), length);
        std::vector<std::size_t> q;
        for (std::size_t i = start; i < end && text[i] != ';'; ++i) {
            if (text[i] == '"') q.push_back(i);
        }
        const auto value = [&](std::size_t j) {
            const auto cut = text.substr(q[j] + 1, q[j + 1] - q[j] - 1).substr(0, count - 1);
            return cut.substr(0, cut.find('\0'));
        };
        for (std::size_t j = 0; j + 3 < q.size(); ++j) {
            expected += shown(q[j], value(j), value(q[j + 1] - q[j] > count ? j + 1 : j + 2));
        }
        start = end + 1;
    }
    // Exact-size buffers, so that the sanitizer sees any access past one.
    const std::vector<std::uint8_t> exact(data + 1, data + size);
    std::vector<char> name(count), passphrase(count);
    const PassphraseScanner scanner({exact.data(), length});
    for (auto at = scanner.findEntry(0); at; at = scanner.findEntry(*at + 1)) {
        if (*at >= length) return "an entry opens at " + std::to_string(*at) + ", past the text";
        scanner.parseEntry(*at, name.data(), passphrase.data(), count);
        found += shown(*at, name.data(), passphrase.data());
    }
    return found == expected ? "" : "entries\n" + found + "where the line rule gives\n" + expected;
}

// The input is a whole file. The reader, over an exact-size copy, must agree
// with a literal reading of the layout: 56 header bytes, the two names each
// with its NUL inside its length, then the ciphertext of the plaintext
// extended by 1 to 8 bytes. The decrypt mode, over the same bytes as a file,
// must restore a sound file's plaintext or leave nothing.
std::string checkContainer(const std::uint8_t* data, std::size_t size) {
    if (size > UINT32_MAX) return {};
    const std::vector<std::uint8_t> exact(data, data + size);
    ContainerView view;
    const ContainerKind kind = readContainer(exact.data(), static_cast<std::uint32_t>(size), view);
    const bool plain = size < 4 || std::memcmp(data, "TDL\1\0\0\0\0", std::min<std::size_t>(size, 8)) != 0;
    const bool header = !plain && size >= 56;
    const std::uint64_t plainLen = header ? word(data + 8) : 0, projectAt = 56 + (header ? word(data + 48) : 0);
    const std::uint64_t cipherAt = projectAt + (header ? word(data + 52) : 0), padded = plainLen + 8 - plainLen % 8;
    const auto holdsText = [&](std::uint64_t at, std::uint64_t end) {
        return at < end && end <= size && std::memchr(data + at, 0, end - at) != nullptr;
    };
    const bool sound = plainLen > 0 && holdsText(56, projectAt) && holdsText(projectAt, cipherAt) &&
                       cipherAt + padded <= size;
    if (kind != (plain ? ContainerKind::Plain : sound ? ContainerKind::Encrypted : ContainerKind::Damaged)) {
        return "read as kind " + std::to_string(static_cast<int>(kind));
    }
    if (sound && (view.ciphertext != exact.data() + cipherAt || view.paddedLen != padded)) {
        return "the ciphertext is not where the header puts it";
    }

    const std::string image(data, data + size);
    test::writeBytes(scratch("image"), image);
    test::writeBytes(scratch("passphrases"), "\"Fuzz\" \"seed corpus\"\n");
    const Run run = runInWork(scratch("passphrases"), [] {
        const PassphraseConfig config(kSettingsKeyPath);
        return decryptFile(config, scratch("image").string().c_str());
    });
    if (!run.fault.empty()) return run.fault;
    if (run.status != 0 && run.status != 2 && run.status != 3) return "status " + std::to_string(run.status);
    if (run.status == 0 && !run.printed.empty()) return "printed on success: " + run.printed;
    if (kind == ContainerKind::Plain && size > 0) {
        const bool copied = run.status == 0 && run.outputs == std::map<std::string, std::string>{{"script.znc", image}};
        return copied ? "" : "a plain file was not copied to script.znc";
    }
    if (run.status != 0) return run.outputs.empty() ? "" : "a rejected file left " + run.outputs.begin()->first;
    // A restored file bears the last component of the stored name and is the
    // plaintext the header's digest describes.
    if (run.outputs.size() != 1) return std::to_string(run.outputs.size()) + " files restored";
    const auto& [name, restored] = *run.outputs.begin();
    const std::string stored = reinterpret_cast<const char*>(data + 56);
    const std::size_t folder = stored.size() - std::min(name.size(), stored.size());
    if (!stored.ends_with(name) || (folder > 0 && !std::strchr("/\\:", stored[folder - 1]))) {
        return "restored as \"" + name + "\" from the stored name \"" + stored + "\"";
    }
    Sha256 hasher;
    std::uint8_t digest[32];
    hasher.reset();
    hasher.update(reinterpret_cast<const std::uint8_t*>(restored.data()), static_cast<std::uint32_t>(restored.size()));
    hasher.final(digest);
    const bool described = restored.size() == plainLen && std::memcmp(digest, data + 16, 32) == 0;
    return described ? "" : "the restored file is not the plaintext the header describes";
}

// The input, split at every NUL, is the argument vector; the setting names a
// passphrase file that does not exist, so no mode finds a passphrase. The
// selection rule: argv[1] holding "-encrypt" with five arguments, else
// holding "-decrypt" with three, else holding "-config" with any number;
// anything else, or no argv[1], is usage.
std::string checkCommandLine(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(size > 0 ? 1 : 0);
    for (std::size_t i = 0; i < size; ++i) data[i] == 0 ? args.emplace_back() : args.back() += char(data[i]);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const auto holds = [&](const char* word) { return args.size() > 1 && args[1].find(word) != std::string::npos; };
    // A decrypt of a file that exists is the container target's business.
    std::error_code error;
    if (holds("-decrypt") && args.size() == 3 && fs::is_regular_file(scratch("work") / args[2], error)) return {};
    const auto [status, ending] =
        holds("-encrypt") && args.size() == 5 ? std::pair(2, "Passphrase not found for project \"" + args[4] + "\"")
        : holds("-decrypt") && args.size() == 3 ? std::pair(3, "Cannot open \"" + args[2] + "\"")
        : holds("-config") ? std::pair(2, std::string("The config file is not valid, or could not be found."))
                           : std::pair(1, std::string("to verify contents of config file: Tandrel -config\n"));
    const Run run = runInWork(scratch("missing"), [&] { return runCommandLine(int(args.size()), argv.data()); });
    if (!run.fault.empty()) return run.fault;
    if (run.status != status || !run.printed.ends_with(ending)) {
        return "status " + std::to_string(run.status) + ", printed " + run.printed + "\nwhere the rule gives status " +
               std::to_string(status) + " and a text ending " + ending;
    }
    return run.outputs.empty() ? "" : "a run that found no passphrase left " + run.outputs.begin()->first;
}

}  // namespace tandrel::fuzz

#ifdef TANDREL_FUZZ_CHECK
#include "platform/platform.h"

// The tool takes the interrupt and timer signals for itself, and libFuzzer
// leaves a signal alone once it has a handler: taking them here, before the
// first input, makes every run alike. libFuzzer's per-input timer is thereby
// gone; tools/fuzz.sh bounds each run from outside instead.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tandrel::platform::prepareProcess();
    return 0;
}

// A broken promise ends the run as a finding, with the check's account of it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = tandrel::fuzz::TANDREL_FUZZ_CHECK(data, size);
    if (fault.empty()) return 0;
    std::fprintf(stderr, "\n%s\n", fault.c_str());
    std::abort();
}
#else
TEST(FuzzCorpus, EveryFileHolds) {
    using namespace tandrel::fuzz;
    const std::pair<const char*, std::string (*)(const std::uint8_t*, std::size_t)> targets[] = {
        {"passphrase_scanner", checkPassphraseScanner}, {"container", checkContainer}, {"command_line", checkCommandLine}};
    for (const auto& [corpus, check] : targets) {
        int files = 0;
        for (const auto& entry : fs::directory_iterator(fs::path(TANDREL_FUZZ_CORPUS_DIR) / corpus)) {
            const std::string bytes = tandrel::test::readBytes(entry.path());
            EXPECT_EQ(check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "") << entry.path();
            ++files;
        }
        EXPECT_GE(files, 3) << corpus;
    }
}
#endif
