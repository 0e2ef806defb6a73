#include "platform/owner_trust_win.h"

namespace tessaryndle::platform {

bool is_trusted_owner(PSID owner, bool current_user) {
    if (owner == nullptr || !IsValidSid(owner)) return false;
    if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid)) return true;
    return current_user;
}

}  // namespace tessaryndle::platform
