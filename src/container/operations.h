// The two operations on encrypted files. Each returns the process exit status.
#pragma once

#include "config/passphrase_config.h"

namespace tandrel {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitUsage = 1,          // the usage banner was shown
    kExitConfiguration = 2,  // no valid configuration, or no passphrase
    kExitFileFailure = 3,    // a file could not be read or written, or failed verification
};

int encryptFile(const PassphraseConfig& config, const char* inPath, const char* outPath,
                const char* project);
int decryptFile(const PassphraseConfig& config, const char* inPath);

}  // namespace tandrel
