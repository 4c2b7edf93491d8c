#include "container/operations.h"

namespace tandrel {

// Encrypted files are not written or read yet.
int encryptFile(const PassphraseConfig&, const char*, const char*, const char*) {
    return kExitFileFailure;
}

int decryptFile(const PassphraseConfig&, const char*) { return kExitFileFailure; }

}  // namespace tandrel
