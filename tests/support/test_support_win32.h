// Windows services that only the Windows tests need: file attributes, and a
// run of a program that is cut off by TerminateProcess.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tandrel::testing {

// File attributes, with the values GetFileAttributesA reports.
inline constexpr std::uint32_t kAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kAttributeHidden = 0x2;
inline constexpr std::uint32_t kAttributeSystem = 0x4;
inline constexpr std::uint32_t kAttributeArchive = 0x20;
inline constexpr std::uint32_t kAttributeNormal = 0x80;
inline constexpr std::uint32_t kAttributeNotContentIndexed = 0x2000;

bool setFileAttributes(const std::string& path, std::uint32_t attributes);
// 0 when the file cannot be found.
std::uint32_t fileAttributes(const std::string& path);

// Wine names a file's owner after its Unix owner and keeps no other, so a
// file gets another owner ("user:group") from the Unix side, which only root
// may do. Wine starts a Unix program without waiting for it: this waits
// until the owner has changed. False where that cannot be done.
bool canGiveToUnixOwners();
bool giveToUnixOwner(const std::string& folder, const std::string& name, const std::string& owner);

// Starts args[0] in workDir and terminates it as soon as a name matching
// `pattern` (a path with wildcards) exists. False when the process ended
// before that name appeared.
bool terminateOnceNameAppears(const std::vector<std::string>& args, const std::string& workDir,
                              const std::string& pattern);

}  // namespace tandrel::testing
