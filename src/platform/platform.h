// The tool's only window onto the operating system and the processor.
// Everything here has one implementation per operating system, picked by the
// build; the rest of the tool is written against this header alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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

// Files from this size on are read ahead, hashed or written on a helper
// thread of their own; for smaller ones a thread would cost more than it saves.
inline constexpr std::uint32_t kHelperThreadFrom = 4u << 20;

// How an existing symbolic link at an output's name is treated.
enum class LinkAtTarget {
    Follow,   // the file the link names receives the output, as a shell redirection would
    Replace,  // the link itself is replaced; nothing is written through it
};

// How much of a large output may wait in memory for the disk.
enum class WriteBehind {
    Shallow,  // a little: for work that outpaces the disk, which memory cannot help
    // Megabytes: for work slower than the disk, which then runs on while the
    // disk stops to make what it has durable.
    Deep,
};

// A whole file mapped into memory read-only, or a new output written piece
// by piece.
//
// A new output is never written into its target while it is made.
// createSized() makes a temporary file beside the target and commit()
// publishes it under the target's name; close() without commit() discards
// it. At every moment the existing file is intact, or the complete new
// content stands under the target's name, or under a temporary name beside it.
class MappedFile {
public:
    MappedFile();
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps an existing regular file read-only. Refuses empty files, files of
    // 4 GiB or more and anything that is not a regular file.
    bool openRead(const char* path);

    // Prepares a new file of exactly `length` bytes (at least 1) that will
    // replace `path` on commit(). Refuses a target that is not a regular
    // file, that the user could not write as it is, or that this process
    // holds open through openRead(), whatever name reaches it.
    bool createSized(const char* path, std::uint32_t length, LinkAtTarget links = LinkAtTarget::Replace,
                     WriteBehind writeBehind = WriteBehind::Shallow);

    // Appends to an output; everything written must add up to its length.
    bool write(const std::uint8_t* data, std::uint32_t length);

    // Makes a complete output durable and visible under its target name. A
    // replaced file keeps its permissions, group and (where renaming would
    // lose them) its owner, links and access lists; it never gains access.
    // On failure the target is intact, or the result is kept beside it.
    bool commit();

    // Releases the view and the handles; removes an uncommitted output, and
    // forgets what the last call failed with or kept. Safe to call again.
    void close();

    // Copies `length` bytes of an input, from `offset`, into `to`; the range
    // must lie within size(). The same as copying out of data(): bytes the
    // file has lost read as zeros, and intact() turns false.
    void copyOut(std::uint32_t offset, std::uint8_t* to, std::uint32_t length) const;

    // Why the last call failed, as the low-level message the caller prints
    // (one of the three above, or kTooLargeMessage); null after a success.
    // Nothing here prints.
    const char* failure() const;
    // A file beside the target that holds the whole result and stays: after
    // a failed commit(), or after one that succeeded where the folder lets
    // no name be removed. Empty when there is none.
    const std::string& keptCopy() const;

    std::uint32_t size() const;
    const std::uint8_t* data() const;
    bool isOpen() const;
    // For an input: false once the file has been cut short or has another
    // length than it had when opened; the view then reads missing bytes as
    // zeros instead of ending the process.
    bool intact() const;

private:
    bool fail(const char* failure);

    struct State;
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

// Processor services.
bool processorHasSse2();
bool processorHasShaExtensions();
// The bit-field extract instruction (BMI1), which works on general registers
// and so needs nothing of the operating system.
bool processorHasBmi1();
// False where the processor has no readable time-stamp counter.
bool readTimestampCounter(std::uint64_t& ticks);
std::uint32_t processId();

}  // namespace tandrel::platform
