// The tool's only window onto the operating system and the processor.
// Everything here has one implementation per operating system, picked by the
// build; the rest of the tool is written against this header alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tandrel::platform {

// The three low-level file messages. Each begins and ends with a line feed.
inline constexpr const char* kOpenFailedMessage =
    "\nERROR: Couldn't open file with CreateFile()\n";
inline constexpr const char* kMappingFailedMessage =
    "\nERROR: Couldn't open file mapping with CreateFileMapping()\n";
inline constexpr const char* kViewFailedMessage =
    "\nERROR: Couldn't map view of file with MapViewOfFile()\n";
// File sizes are 32-bit counts throughout the tool; larger files are refused.
inline constexpr const char* kTooLargeMessage =
    "\nERROR: File is too large (4 GiB or more)\n";

// A whole file mapped into memory: read-only for inputs, read-write for a
// new output of a length fixed before mapping.
//
// A new output is never written in place. createSized() makes a private
// temporary file beside the target and commit() publishes it under the
// target's name in one atomic step; close() without commit() discards it, so
// an existing file of that name survives every failure untouched.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps an existing regular file read-only. Refuses empty files, files of
    // 4 GiB or more and anything that is not a regular file.
    bool openRead(const char* path, bool report);

    // Prepares a new file of exactly `length` bytes (at least 1) that will
    // replace `path` on commit(). Fails if `path` is a file this process holds
    // open through openRead(), whatever name reaches it.
    bool createSized(const char* path, std::uint32_t length, bool report);

    // Makes a file from createSized() durable and visible under its target
    // name. On failure the temporary file is removed and the target is intact.
    bool commit(bool report);

    // Releases the view and the handles; removes an uncommitted output.
    // Safe to call again.
    void close();

    std::uint32_t size() const { return size_; }
    const std::uint8_t* data() const { return view_; }
    // The view of an output; null for a read-only file.
    std::uint8_t* writableData() { return readOnly_ ? nullptr : view_; }
    bool isOpen() const { return view_ != nullptr; }

private:
    void discardTemporary();

    bool readOnly_ = false;
    std::intptr_t file_ = -1;       // descriptor or handle; -1 when closed
    std::intptr_t mapping_ = 0;     // mapping handle where the system has one
    std::uint8_t* view_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint64_t identity_[2] = {0, 0};  // which file an open input is
    std::string targetPath_;        // name an output is published under
    std::string temporaryPath_;     // where an output is written until then
};

// Reads a per-user string setting. keyPath names a key under the current
// user's settings (backslash-separated, starting with "SOFTWARE"), valueName
// the value in it. Succeeds only for a plain string that fits, with its NUL,
// in `capacity` bytes; fails silently otherwise.
bool readUserSetting(const char* keyPath, const char* valueName, char* out,
                     std::size_t capacity);

// True for names the file system reserves for itself (on Windows the device
// names such as "CON" or "COM1", and names ending in a dot or a blank), which
// must never be used for a restored file.
bool isReservedFileName(const char* name);

// Processor services.
bool processorHasSse2();
bool processorHasShaExtensions();
// False where the processor has no readable time-stamp counter.
bool readTimestampCounter(std::uint64_t& ticks);
std::uint32_t processId();

}  // namespace tandrel::platform
