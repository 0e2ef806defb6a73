#pragma once
// Which owners the elevated side trusts with the directories it works in.
// Windows-only header: included by *_win.cpp files and Windows tests alone.

#include <windows.h>

namespace tessaryndle::platform {

// Whether an object owned by `owner` may hold what only administrators may
// change: the Administrators group and SYSTEM are trusted; `current_user`
// (the caller found the owner to be the current user and accepts that, as
// the test builds under Wine do, where every file shows that owner) is
// trusted too. A missing owner (a file system that keeps none) is not.
[[nodiscard]] bool is_trusted_owner(PSID owner, bool current_user);

}  // namespace tessaryndle::platform
