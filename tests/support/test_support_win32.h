// Windows services that only the Windows scenarios need: giving a file
// another owner.
#pragma once

#include <string>

namespace tandrel::testing {

// Wine names a file's owner after its Unix owner and keeps no other, so a
// file gets another owner ("user:group") from the Unix side, which only root
// may do. Wine starts a Unix program without waiting for it: this waits
// until the owner has changed. False where that cannot be done.
bool canGiveToUnixOwners();
bool giveToUnixOwner(const std::string& folder, const std::string& name, const std::string& owner);

}  // namespace tandrel::testing
