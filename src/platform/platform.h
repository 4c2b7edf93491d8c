// The tool's only window onto the operating system.
// Everything here has one implementation per operating system, picked by the
// build; the rest of the tool is written against this header alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tandrel::platform {

// The three low-level file messages, which the callers print for a failure
// that MappedFile::failure() names. Each begins and ends with a line feed.
inline constexpr const char* kOpenFailedMessage =
    "\nERROR: Couldn't open file with CreateFile()\n";
inline constexpr const char* kMappingFailedMessage =
    "\nERROR: Couldn't open file mapping with CreateFileMapping()\n";
inline constexpr const char* kViewFailedMessage =
    "\nERROR: Couldn't map view of file with MapViewOfFile()\n";
// Printed with the path of the temporary file that holds a result which
// could not be published (MappedFile::keptCopy()).
inline constexpr const char* kResultKeptMessage = "\nERROR: The new content is kept in \"%s\"\n";
// Printed with the path of a copy of a published result that the folder
// would not let go (an append-only folder).
inline constexpr const char* kCopyLeftMessage = "\nNOTE: A copy of the new content is left in \"%s\"\n";
// File sizes are 32-bit counts throughout the tool; larger files are refused.
inline constexpr const char* kTooLargeMessage =
    "\nERROR: File is too large (4 GiB or more)\n";

// Prepares the process for a run, before anything is printed: a closed
// standard output must not end it, and an interrupt must not leave an
// unfinished output behind. `keptAtExit` is called with the path of a file
// holding the whole result when the process must end before it is
// published (Windows: a console closed during a copy in place). Safe to
// call again.
void prepareProcess(void (*keptAtExit)(const char* path) = nullptr);

// Whether work on a file of `size` bytes pays for helper threads: from 4 MiB
// on, files are read ahead, hashed, deciphered or written on threads of
// their own; for smaller ones a thread would cost more than it saves.
constexpr bool worthHelperThreads(std::uint64_t size) { return size >= (4u << 20); }

// Starts `work` on `thread`, which takes no interrupt. False, with no thread,
// when none can be made: the caller then does the work itself.
bool startHelperThread(std::thread& thread, std::function<void()> work);

// How an existing symbolic link at an output's name is treated.
enum class LinkAtTarget {
    Follow,   // the file the link names receives the output, as a shell redirection would
    Replace,  // the link itself is replaced; nothing is written through it
};

// A large output is made durable every this many bytes as it is written,
// so that the flush that publishes it waits only for the last of it.
inline constexpr std::uint64_t kOutputFlushStep = 64u << 20;

// A whole existing file mapped into memory read-only: an input, or the
// passphrase file.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps an existing regular file read-only. Refuses empty files, files of
    // 4 GiB or more and anything that is not a regular file.
    bool openRead(const char* path);
    // Releases the view and the file. Safe to call again.
    void close();

    // Copies `length` bytes from `offset` into `to`; the range must lie
    // within size(). The same as copying out of data(): bytes the file has
    // lost read as zeros, and intact() turns false.
    void copyOut(std::uint32_t offset, std::uint8_t* to, std::uint32_t length) const;

    // Why the last openRead() failed, as the low-level message the caller
    // prints (one of the three above, or kTooLargeMessage); null after a
    // success. Nothing here prints.
    const char* failure() const { return failure_; }
    std::uint32_t size() const { return size_; }
    const std::uint8_t* data() const { return view_; }
    // False once the file has been cut short or has another length than it
    // had when opened; the view then reads missing bytes as zeros instead of
    // ending the process.
    bool intact() const;

private:
    std::intptr_t file_ = -1;
    std::intptr_t mapping_ = -1;
    const std::uint8_t* view_ = nullptr;
    std::uint32_t size_ = 0;
    const char* failure_ = nullptr;
};

// A new file of a length fixed in advance, written piece by piece beside the
// file it will replace, then published under that file's name or discarded.
// At every moment the existing file is intact, or the complete new content
// stands under the target's name, or under a temporary name beside it.
class PendingOutput {
public:
    PendingOutput();
    // Discards an output that was not published.
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Prepares a new file of exactly `length` bytes (at least 1) that will
    // replace `path` when published. Refuses a target that is not a regular
    // file, that the user could not write as it is, or that this process
    // holds open as a MappedFile, whatever name reaches it.
    bool create(const char* path, std::uint32_t length, LinkAtTarget links = LinkAtTarget::Replace);

    // Appends; everything written must add up to the length. A large
    // output is best written in pieces that are whole multiples of 4 KiB,
    // from buffers aligned to 4 KiB: they go past the system's file cache.
    bool write(const std::uint8_t* data, std::uint32_t length);

    // Makes the complete output durable and visible under its target name. A
    // replaced file keeps its permissions, group and (where renaming would
    // lose them) its owner, links and access lists; it never gains access.
    // On failure the target is intact, or the result is kept beside it.
    bool publish();

    // Removes an unpublished output, and forgets what the last call failed
    // with or kept. Safe to call again.
    void discard();

    // Why the last call failed, as the low-level message the caller prints;
    // null after a success. Nothing here prints.
    const char* failure() const { return failure_; }
    // A file beside the target that holds the whole result and stays: after
    // a failed publish(), or after one that succeeded where the folder lets
    // no name be removed. Empty when there is none.
    const std::string& keptCopy() const { return keptCopy_; }

private:
    struct State;
    bool fail(const char* failure);
    bool abandon(const char* failure);
    bool publishByRename();
    bool publishInPlace();

    std::unique_ptr<State> state_;
    const char* failure_ = nullptr;
    std::string keptCopy_;
};

// Reads a per-user string setting. keyPath names a key under the current
// user's settings (backslash-separated, starting with "SOFTWARE"), valueName
// the value in it. Succeeds only for a plain string that fits, with its NUL,
// in `capacity` bytes; fails silently otherwise.
bool readUserSetting(const char* keyPath, const char* valueName, char* out,
                     std::size_t capacity);

// True for names the file system reserves for itself (on Windows the device
// names such as "CON" or "COM1", and names ending in a dot or a blank) or
// that it could not hold byte for byte (on Windows, bytes that are no text
// in the ANSI code page), which must never be used for a restored file.
bool isReservedFileName(const char* name);

// The program's arguments, its name first, as this system's file calls take
// names. Windows reads them again from the wide command line, since the
// narrow one turns a character the code page lacks into a look-alike that
// may name another file; such an argument holds '?' in its place, which no
// file name may hold, so it is refused as any unusable name is.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// The part of `path` after its last folder separator ('/' or '\'); on
// Windows the second byte of a double-byte character is never taken for one.
const char* afterLastSeparator(const char* path);

std::uint32_t processId();

}  // namespace tandrel::platform
