// The messages of the two operations, in one place so that both print them
// byte for byte the same.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tandrel {

// Text taken from an encrypted file, made safe to print: control bytes (C0,
// DEL and C1, raw or in UTF-8 form) become \xNN per byte so that a hostile
// file cannot drive the user's terminal; other text, UTF-8 included, is kept.
std::string printableText(const char* text);

// What a file's last call failed with: the copy it kept, then the low-level
// message; nothing after a success.
void reportFileFailure(const platform::MappedFile& input);
void reportFileFailure(const platform::PendingOutput& output);
// The copy of a published result that the folder would not let go.
void reportLeftCopy(const platform::PendingOutput& file);
// A file holding the whole result, named as the process must end.
void reportKeptAtExit(const char* path);

void reportCannotOpen(const char* path);
void reportCannotCreate(const char* path);
void reportPassphraseNotFound(const char* project);
void reportDamaged(const char* path);
void reportUnrestorableName(const char* path);
void reportChangedWhileRead(const char* path);
void reportVerificationFailed();

}  // namespace tandrel
