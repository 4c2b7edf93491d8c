// The messages of the two operations, in one place so that both print them
// byte for byte the same.
#pragma once

#include <string>

namespace tandrel {

// Text taken from an encrypted file, made safe to print: control bytes and
// DEL become \xNN so that a hostile file cannot drive the user's terminal.
std::string printableText(const char* text);

void reportCannotOpen(const char* path);
void reportCannotCreate(const char* path);
void reportPassphraseNotFound(const char* project);
void reportDamaged(const char* path);
void reportUnrestorableName(const char* path);
void reportVerificationFailed();

}  // namespace tandrel
