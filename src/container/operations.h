// The two operations on encrypted files. Each returns the process exit status.
#pragma once

#include "config/passphrase_config.h"
#include "crypto/key_derivation.h"

namespace tandrel {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitUsage = 1,          // the usage banner was shown
    kExitConfiguration = 2,  // no valid configuration, or no passphrase
    kExitFileFailure = 3,    // a file could not be read or written, or failed verification
};

// Encrypts inPath into outPath under the project's passphrase. The salt
// source is replaceable so that tests can make byte-exact files.
int encryptFile(const PassphraseConfig& config, const char* inPath, const char* outPath,
                const char* project, SaltSource saltSource = readSalt);

// Restores the plaintext of an encrypted file into the current directory
// under its stored name, or copies a file that is not encrypted to
// "script.znc".
int decryptFile(const PassphraseConfig& config, const char* inPath);

}  // namespace tandrel
