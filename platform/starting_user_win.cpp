#include <windows.h>

#include <aclapi.h>

#include "platform/starting_user.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

// The token whose rights stand for the user: the limited token linked to an
// elevated one, or an identification copy of our own when there is none
// (no split token: the user and the process are the same).
OsResult<UniqueHandle> user_token() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) {
        return std::unexpected(OsError::last());
    }
    const UniqueHandle own(raw);
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD length = 0;
    if (GetTokenInformation(own.get(), TokenElevationType, &type, sizeof type, &length) &&
        type == TokenElevationTypeFull) {
        TOKEN_LINKED_TOKEN linked{};
        if (GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &length)) {
            return UniqueHandle(linked.LinkedToken);
        }
        return std::unexpected(OsError::last());
    }
    HANDLE copy = nullptr;
    if (!DuplicateToken(own.get(), SecurityIdentification, &copy)) return std::unexpected(OsError::last());
    return UniqueHandle(copy);
}

}  // namespace

OsResult<bool> starting_user_may_read(std::intptr_t handle) {
    auto token = user_token();
    if (!token) return std::unexpected(token.error());
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD rc =
        GetSecurityInfo(reinterpret_cast<HANDLE>(handle), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &raw);
    if (rc != ERROR_SUCCESS) return std::unexpected(OsError::from_code(rc));
    const LocalMemory descriptor(raw);
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD desired = FILE_READ_DATA;
    MapGenericMask(&desired, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privileges_length = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = FALSE;
    if (!AccessCheck(raw, token->get(), desired, &mapping, &privileges, &privileges_length, &granted, &allowed)) {
        return std::unexpected(OsError::last());
    }
    return allowed != FALSE;
}

}  // namespace tessaryndle::platform
