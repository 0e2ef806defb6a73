#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/long_path_win.h"
#include "platform/win_handle.h"
#include "tools/release/key_memory.h"
#include "tools/release/secret_file.h"

namespace tessaryndle::release {
namespace {

OsError last_error() { return OsError::from_code(static_cast<std::int64_t>(GetLastError())); }

// The current user's SID, copied out of the process token.
platform::OsResult<std::vector<unsigned char>> current_user_sid() {
    HANDLE token_raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token_raw)) return std::unexpected(last_error());
    const platform::UniqueHandle token(token_raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
        return std::unexpected(last_error());
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    const DWORD sid_size = GetLengthSid(sid);
    std::vector<unsigned char> copy(sid_size);
    if (!CopySid(sid_size, copy.data(), sid)) return std::unexpected(last_error());
    return copy;
}

}  // namespace

platform::OsResult<void> write_secret_file(const std::filesystem::path& path, std::string_view bytes) {
    // 1. A DACL with one entry, full access for the current user, marked
    //    protected so that the directory's inheritable entries do not apply.
    auto sid = current_user_sid();
    if (!sid) return std::unexpected(sid.error());
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid->size());
    std::vector<unsigned char> acl_storage(acl_size);
    auto* acl = reinterpret_cast<ACL*>(acl_storage.data());
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, reinterpret_cast<PSID>(sid->data())) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return std::unexpected(last_error());
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};

    // 2. Created only when nothing has the name, not even a link, which is
    //    never followed; nobody else may open it while it is written.
    const std::wstring name = platform::long_path(path, platform::NameForm::AsWritten);
    const platform::UniqueHandle file(CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, 0, &attributes, CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return std::unexpected(last_error());

    // 3. The bytes, flushed; a file that could not be completed is removed.
    const auto written = [&]() -> platform::OsResult<void> {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
            DWORD n = 0;
            if (!WriteFile(file.get(), bytes.data() + done, piece, &n, nullptr)) return std::unexpected(last_error());
            done += n;
        }
        if (!FlushFileBuffers(file.get())) return std::unexpected(last_error());
        return {};
    }();
    if (!written) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose);
    }
    return written;
}

platform::OsResult<std::string> read_secret_file(const std::filesystem::path& path) {
    const std::wstring name = platform::long_path(path, platform::NameForm::AsWritten);
    const platform::UniqueHandle file(CreateFileW(name.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return std::unexpected(last_error());
    // One byte more than the limit tells a file that is too large.
    std::string text(SECRET_FILE_LIMIT + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        if (!ReadFile(file.get(), text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr)) {
            // A pipe whose writer has closed it has ended.
            if (GetLastError() == ERROR_BROKEN_PIPE) break;
            const OsError error = last_error();
            const WipedOnExit wipe(text);
            return std::unexpected(error);
        }
        if (n == 0) break;
        done += n;
        if (done > SECRET_FILE_LIMIT) {
            const WipedOnExit wipe(text);
            return std::unexpected(OsError::from_code(ERROR_FILE_TOO_LARGE));
        }
    }
    // Shrinking keeps the block.
    text.resize(done);
    return text;
}

}  // namespace tessaryndle::release
