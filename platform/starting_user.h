#pragma once
// The user who started the update, as the elevated side sees them: files
// that the user names are opened with the worker's rights, so the worker
// asks whether the user could have read them before it uses their bytes.

#include <cstdint>

#include "platform/os_error.h"

namespace tessaryndle::platform {

// Whether the user who started this process could read the file open on
// `handle` (a HANDLE or a descriptor). Windows: an access check for
// FILE_READ_DATA against the file's security descriptor with the limited
// token linked to an elevated one (the user's own rights before consent),
// or with the process's token when it has no linked token. Natively: the
// starting user is the uid that pkexec reports (PKEXEC_UID) when the process
// runs as root, else the real uid; root may read anything, anyone else only
// a file they own that grants its owner reading. Failure: the OS error of a
// query that could not be made.
[[nodiscard]] OsResult<bool> starting_user_may_read(std::intptr_t handle);

}  // namespace tessaryndle::platform
