// The system calls under MappedFile. Each system has one file per job:
// files_<system>.cpp (inputs, views, what stands at a name), outputs_<system>
// (temporaries and publishing), signals_posix or interrupts_win32, settings_
// <system> and names_<system>. Each primitive does what the system offers and
// reports what it found; the decisions (what is refused, how an output is
// published, what a replaced file keeps) are made once, in mapped_file.cpp.
// Internal to src/platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/background_stream.h"
#include "platform/platform.h"

namespace tandrel::platform::os {

// A descriptor or handle, kept as a number; kNone when there is none.
using Handle = std::intptr_t;
inline constexpr Handle kNone = -1;

// Which file an open file is, whatever name reached it.
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};

// Whether `path` reaches a file only under its own bytes: on Windows it must
// be valid in the ANSI code page and hold no wildcard; elsewhere every name is.
bool nameIsExact(const std::string& path);

// Installs the process-wide handling once: interrupts remove unpublished
// outputs, a closed standard output or a file-size limit becomes an error
// instead of the end of the process, and a lost page of an input view
// becomes a marked cut (see watchView).
void prepareProcess();
// Who tells the user of a file holding the whole result when the process
// must end before it is published (Windows: a console closed during a copy
// in place); nothing calls it elsewhere.
void whenKeptAtExit(void (*report)(const char* path));

// ---- Reading ---------------------------------------------------------------

// Opens an existing file for reading, sharing it for reading only. False
// when it cannot be opened or is not a regular disk file.
bool openForReading(const char* path, Handle& file);
bool lengthOf(Handle file, std::uint64_t& length);
FileId identityOf(Handle file);
// Windows maps through a mapping object; elsewhere `mapping` stays kNone.
bool createReadMapping(Handle file, Handle& mapping);
const std::uint8_t* mapView(Handle file, Handle mapping, std::uint64_t length);
void unmapView(const std::uint8_t* view, std::uint64_t length);
// Copies bytes of a file that `view` maps whole, with the same result as
// copying them out of the view.
void copyFromFile(Handle file, const std::uint8_t* view, std::uint64_t offset, std::uint8_t* to,
                  std::size_t length);
void closeHandle(Handle handle);

// A view whose file is cut short under it must not end the process: where
// the system can fault on such a page, the page reads as zeros instead and
// the view is marked. False for views that were never cut.
void watchView(const std::uint8_t* view, std::uint64_t length);
bool viewWasCut(const std::uint8_t* view);
void stopWatchingView(const std::uint8_t* view);

// ---- What stands at an output's name ---------------------------------------

struct Target {
    bool exists = false;        // something stands at the name
    bool unusable = false;      // cannot be inspected, or a link that names nothing
    bool link = false;          // a symbolic link, not followed
    bool regularFile = false;   // a regular file (reached through a followed link, if any)
    bool writable = false;      // the user may write the file as it is
    FileId id;
    // What publishing a new file by rename would lose of this one.
    bool ownedByOther = false;
    bool manyLinks = false;
    bool extendedAttributes = false;
    // A folder where others may make files but only remove their own (the
    // sticky bit): a file there may have been planted under the name.
    bool sharedFolder = false;
    bool ownedByFolderOwner = false;
    std::uint32_t permissions = 0;  // mode bits, set-ID and sticky bits included
    std::uint32_t group = 0;
    // Open for writing in place where the system may need that; else kNone.
    Handle file = kNone;
    // Where the result goes: the name itself, or the file a followed link names.
    std::string directory;
    std::string leaf;
};

// Looks at `path` without changing anything. With followLink, a symbolic
// link is resolved to the file it names.
Target inspectTarget(const char* path, bool followLink);

// ---- Threads ---------------------------------------------------------------

// Held while a helper thread is made, which starts with what is held then:
// on POSIX every interrupt, so that only the main thread ever takes one (it
// holds them back around what must not be cut in two, which holds only if no
// other thread takes them meanwhile); the faults a thread raises itself stay
// deliverable. Windows delivers console events on a thread of its own.
class InterruptsHeldForNewThread {
public:
    InterruptsHeldForNewThread();
    ~InterruptsHeldForNewThread();
    InterruptsHeldForNewThread(const InterruptsHeldForNewThread&) = delete;
    InterruptsHeldForNewThread& operator=(const InterruptsHeldForNewThread&) = delete;

private:
    alignas(8) unsigned char saved_[128];  // what the caller held before, in the system's form
};

// ---- Outputs ---------------------------------------------------------------

// A file being written beside its target. Where the system allows it, the
// file has no name (or is deleted on close) until it is published, so that
// not even a killed process leaves it behind.
struct Temporary {
    Handle file = kNone;
    Handle directory = kNone;
    std::string name;  // empty while the file has no name
    std::string folder;  // where it is, as the target's path names it (for messages)
    bool pending = false;  // recorded for removal by an interrupt
    // The full name of a file holding the whole result that could not be
    // removed: a copy into the target failed after it began, or the folder
    // lets no name be removed.
    std::string keptAs;
    std::uint64_t length = 0;       // what reserve() set aside
    // Where the system writes large outputs on a thread of their own. Held
    // in place: an allocation that failed now would leave the file behind.
    std::optional<BackgroundStream> writer;
};

// True unless a test asks for the named temporary files that stand in where
// unnamed ones are not available.
extern bool unnamedTemporaries;

// Makes the file beside `target`. One that will replace an existing file
// never allows more than that file from the moment it exists; a new one gets
// what new files get there.
bool createTemporary(const Target& target, Temporary& temporary);
// Sets aside `length` bytes, so that a full disk fails here.
bool reserve(Temporary& temporary, std::uint64_t length, WriteBehind writeBehind);
bool writeAt(Temporary& temporary, std::uint64_t offset, const std::uint8_t* data,
             std::uint64_t length);
bool makeDurable(Temporary& temporary);

// Gives the finished file what a replaced file had (or, for a new file, the
// mode new files normally get). False when the system cannot give it all,
// which calls for writing in place instead.
bool carryOver(Temporary& temporary, const Target& target);
// Puts the finished file under target's name in one step, replacing what
// stood there.
bool publishByRename(Temporary& temporary, const Target& target);
// Copies the finished file into the existing target, which keeps its
// identity. The space is set aside first; the temporary file holds the whole
// result under a name until the copy is complete, and is kept (keptAs) if
// the copy fails once it has begun.
bool publishInPlace(Temporary& temporary, const Target& target, std::uint64_t length);
// Removes an unpublished file.
void discard(Temporary& temporary);

// Splits a path into its folder (with separator; empty for the current one)
// and its last component.
void splitPath(const std::string& path, std::string& directory, std::string& leaf);
bool endsInSeparator(const std::string& path);

}  // namespace tandrel::platform::os
