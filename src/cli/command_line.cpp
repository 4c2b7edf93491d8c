#include "cli/command_line.h"

#include <cstdio>
#include <cstring>

#include "config/passphrase_config.h"
#include "container/messages.h"
#include "container/operations.h"
#include "platform/platform.h"

namespace tandrel {
namespace {

enum class Mode { Usage, Encrypt, Decrypt, Listing };

bool contains(const char* text, const char* word) { return std::strstr(text, word) != nullptr; }

// The mode word is found anywhere inside the first argument, and the modes
// are tried in a fixed order, so scripts that relied on either keep working.
Mode selectMode(int argc, char** argv) {
    if (argc <= 1) return Mode::Usage;
    if (contains(argv[1], "-encrypt") && argc == 5) return Mode::Encrypt;
    if (contains(argv[1], "-decrypt") && argc == 3) return Mode::Decrypt;
    if (contains(argv[1], "-config")) return Mode::Listing;
    return Mode::Usage;
}

}  // namespace

void printUsage() {
    std::printf("\n-------------------------------------------------------------------------------");
    std::printf("\n Tandrel Version 1.0.0");
    std::printf("\n Published by Pellmark Software");
    std::printf("\n-------------------------------------------------------------------------------");
    std::printf("\n\nusage:");
    std::printf("\n");
    std::printf("\n to encrypt: Tandrel -encrypt outfile infile projectname");
    std::printf("\n");
    std::printf("\n to decrypt: Tandrel -decrypt infile");
    std::printf("\n");
    std::printf("\n to verify contents of config file: Tandrel -config");
    std::printf("\n");
}

int runCommandLine(int argc, char** argv) {
    platform::prepareProcess(reportKeptAtExit);
    const Mode mode = selectMode(argc, argv);
    if (mode == Mode::Usage) {
        printUsage();
        return kExitUsage;
    }
    PassphraseConfig config(kSettingsKeyPath);
    int status = kExitSuccess;
    switch (mode) {
        case Mode::Encrypt:
            status = encryptFile(config, argv[3], argv[2], argv[4]);
            break;
        case Mode::Decrypt:
            status = decryptFile(config, argv[2]);
            break;
        case Mode::Listing:
            status = config.listConfig() ? kExitSuccess : kExitConfiguration;
            break;
        case Mode::Usage:
            break;
    }
    config.release();
    std::fflush(stdout);
    return status;
}

}  // namespace tandrel
