// The system calls under MappedFile and PendingOutput. Each system has one
// file per job: files_<system>.cpp (inputs, views, what stands at a name),
// outputs_<system> (temporary files and publishing), signals_posix or
// interrupts_win32, settings_<system> and names_<system>. Each primitive does
// what the system offers and reports what it found; the decisions (what is
// refused, how an output is written and published, what is kept and under
// which name) are made once, in mapped_file.cpp and pending_output.cpp.
// Internal to src/platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

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
// the system can fault on such a page, the fault handler reads it as zeros
// instead and marks the view as cut. Handlers read this record, so it holds
// only fixed memory and lock-free atomics (mapped_file.cpp).
struct WatchedView {
    std::atomic<const std::uint8_t*> base{nullptr};
    std::atomic<std::uint64_t> length{0};
    std::atomic<bool> cut{false};
    std::atomic<bool> zeroed{false};  // replaced whole: no longer a view of the file
};
// The watched view that holds `address`, or null.
WatchedView* watchedViewHolding(std::uintptr_t address);
WatchedView* watchedView(const std::uint8_t* view);

// Whether a MappedFile of this process holds the file open: the inputs and
// the passphrase file, which no output may replace (mapped_file.cpp).
bool isMappedInput(const FileId& id);

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

// Held while a temporary file gets or loses a name and its record, while it
// is published, and while a file is rewritten in place, so that an interrupt
// finds either both or neither, and never half a file. POSIX holds the
// signals back; on Windows the console handler waits on a lock that cannot
// be taken twice, so holds are never nested.
class InterruptsHeld {
public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

private:
    alignas(8) unsigned char saved_[128];
};

// A file being written beside its target.
struct Temporary {
    Handle file = kNone;
    // The folder, held open where the system names files through it (POSIX);
    // elsewhere kNone, and names are taken whole.
    Handle folder = kNone;
    std::string directory;  // the folder as the target's path names it (with separator)
    std::string name;       // the file's name in it; empty while it has none
    bool pending = false;   // recorded for removal by an interrupt
};

enum class Claim { Made, Taken, Failed };

// True unless a test asks for the named temporary files that stand in where
// unnamed ones are not available.
extern bool unnamedTemporaries;

bool openFolder(Temporary& temporary);
// A file that has no name and goes with the process (POSIX O_TMPFILE);
// false where the file system has none. `replacing` makes it private.
bool createUnnamed(Temporary& temporary, bool replacing);
// Creates the file under `name`, private when `replacing`; Taken when
// something stands there.
Claim createNamed(Temporary& temporary, const std::string& name, bool replacing);
// Gives an unnamed file the name `name`; Taken when something stands there.
Claim linkUnnamed(Temporary& temporary, const std::string& name);
// Whether the file is removed when its last handle closes, however the
// process ends (the Windows delete disposition); false where the system
// cannot say so of a named file.
bool removeOnClose(Temporary& temporary, bool remove);
// Removes the file's name; true when it is gone.
bool removeName(Temporary& temporary);
void closeTemporary(Temporary& temporary);
// Before the first name is recorded: sets up whatever removes recorded
// names when the process is interrupted.
void prepareCleanup();

// Sets aside `length` bytes, so that a full disk fails here.
bool reserve(Handle file, std::uint64_t length);
bool writeAt(Handle file, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length);
bool readAt(Handle file, std::uint64_t offset, std::uint8_t* to, std::size_t length);
// Writes whole aligned pieces past the system's file cache where it allows
// that per write (POSIX O_DIRECT); elsewhere nothing changes.
void writeDirectly(Handle file, bool direct);
bool flushData(Handle file);
bool makeDurable(Handle file);

// Gives the finished file what a replaced file had (or, for a new file, the
// mode new files normally get). False when the system cannot give it all,
// which calls for writing in place instead.
bool carryOver(Temporary& temporary, const Target& target);
// Renames the named temporary file to `leaf` beside it in one step:
// replacing what stands there when `replace`, and otherwise failing if
// anything does.
// AlsoKept: the result has its new name, but the temporary one could not
// be removed (a second link stood in for a rename).
enum class Renamed { Not, Moved, AlsoKept };
Renamed renameTo(Temporary& temporary, const std::string& leaf, bool replace);
// Makes the names made or removed in the temporary's folder durable.
void syncFolder(Temporary& temporary);

// The target, open for its content to be rewritten in place; kNone when it
// no longer is the file that was inspected, or another run is rewriting it.
Handle openInPlace(const Target& target);
// Sets aside what rewriting the file with `length` bytes needs, before a
// byte of its old content goes: a full disk must fail while it is whole.
bool setAsideInPlace(Handle file, std::uint64_t length);
// Clears what a write by anyone but its owner would clear (set-user-ID and
// set-group-ID); a write as root would keep them.
bool dropPrivilegesInPlace(Handle file, const Target& target);
// Cuts the file to `length` and makes it durable.
bool finishInPlace(Handle file, std::uint64_t length);
void closeInPlace(Handle file);
// Tells the interrupt handler which file holds the whole result while it is
// copied into its target (Windows: a closed console ends the process during
// the copy), and that the copy is over.
void copyInPlaceBegins(const std::string& from);
void copyInPlaceEnds();

// Splits a path into its folder (with separator; empty for the current one)
// and its last component.
void splitPath(const std::string& path, std::string& directory, std::string& leaf);
bool endsInSeparator(const std::string& path);

}  // namespace tandrel::platform::os
