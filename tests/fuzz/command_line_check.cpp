// The entry function over any argument vector, with the setting naming a
// passphrase file that does not exist, so that no mode finds a passphrase
// and none touches a file unless the vector names one. The mode is worked out
// here from the selection rule as it is stated: argv[1] holding "-encrypt"
// with five arguments, else holding "-decrypt" with three, else holding
// "-config" with any number; anything else, or no argv[1], is usage.
#include <vector>

#include "cli/command_line.h"
#include "fuzz/checks.h"
#include "fuzz/scratch.h"

namespace tandrel::fuzz {
namespace {

constexpr const char* kBanner =
    "\n-------------------------------------------------------------------------------"
    "\n Tandrel Version 1.0.0"
    "\n Published by Pellmark Software"
    "\n-------------------------------------------------------------------------------"
    "\n\nusage:\n"
    "\n to encrypt: Tandrel -encrypt outfile infile projectname\n"
    "\n to decrypt: Tandrel -decrypt infile\n"
    "\n to verify contents of config file: Tandrel -config\n";
constexpr const char* kOpenFailed = "\nERROR: Couldn't open file with CreateFile()\n";

std::vector<std::string> argumentsOf(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    if (size == 0) return arguments;
    arguments.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    return arguments;
}

struct Outcome {
    int status = -1;
    std::string printed;
};

// What the run must print and return, or no text where the run depends on
// a file outside the scratch folder (a decrypt input that exists).
Outcome expectedOutcome(const std::vector<std::string>& args) {
    const auto holds = [&](const char* word) { return args[1].find(word) != std::string::npos; };
    if (args.size() <= 1) return {1, kBanner};
    const std::string configuration = kOpenFailed;
    if (holds("-encrypt") && args.size() == 5) {
        return {2, configuration + "\nERROR: Passphrase not found for project \"" + args[4] + "\""};
    }
    if (holds("-decrypt") && args.size() == 3) {
        std::error_code error;
        if (fs::is_regular_file(Scratch::get().work() / args[2], error)) return {};
        return {3, configuration + kOpenFailed + "\nERROR: Cannot open \"" + args[2] + "\""};
    }
    if (holds("-config")) return {2, configuration + "\nThe config file is not valid, or could not be found."};
    return {1, kBanner};
}

}  // namespace

std::string checkCommandLine(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args = argumentsOf(data, size);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const Outcome expected = expectedOutcome(args);

    Scratch& scratch = Scratch::get();
    scratch.configure(scratch.root() / "missing" / "passphrases");
    Outcome outcome;
    outcome.printed = test::capturedOutput([&] {
        const CurrentFolder inWork(scratch.work());
        outcome.status = runCommandLine(static_cast<int>(args.size()), argv.data());
    });
    const bool fileTouched = !entriesOf(scratch.work()).empty();
    scratch.clearWork();
    if (const std::string stray = scratch.strayEntries(); !stray.empty()) {
        return "written outside the working folder:" + stray;
    }
    if (expected.status < 0) {
        // A decrypt of an existing file: whatever it does, it does as decrypt.
        const bool asDecrypt = outcome.printed.starts_with(kOpenFailed) &&
                               (outcome.status == 0 || outcome.status == 2 || outcome.status == 3);
        return asDecrypt ? std::string() : "status " + std::to_string(outcome.status) + ", printed " + outcome.printed;
    }
    if (outcome.status != expected.status || outcome.printed != expected.printed) {
        return "status " + std::to_string(outcome.status) + " and printed " + outcome.printed +
               "; expected status " + std::to_string(expected.status) + " and " + expected.printed;
    }
    return fileTouched ? "a run that found no passphrase left a file" : std::string();
}

}  // namespace tandrel::fuzz
