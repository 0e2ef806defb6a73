#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "platform/text.h"
#include "tests/support/directory_access.h"
#include "tests/support/environment.h"

namespace tessaryndle::test {

std::string directory_access(const std::filesystem::path& path) {
    HANDLE handle =
        CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return "(cannot be examined)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &descriptor);
    CloseHandle(handle);
    if (rc != ERROR_SUCCESS) return "(cannot be examined)";
    LPWSTR text = nullptr;
    const BOOL converted = ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    LocalFree(descriptor);
    if (!converted) return "(cannot be examined)";
    const std::string sddl = utf16_lossy(std::wstring_view(text));
    LocalFree(text);

    // "O:{owner}D:{flags}({entry})({entry})..."
    const auto dacl = sddl.find("D:");
    if (!sddl.starts_with("O:") || dacl == std::string::npos) return sddl;
    const std::string owner = sddl.substr(2, dacl - 2);
    const auto first = sddl.find('(', dacl);
    const std::string flags = sddl.substr(dacl + 2, (first == std::string::npos ? sddl.size() : first) - dacl - 2);
    std::vector<std::string> entries;
    for (auto open = first; open != std::string::npos; open = sddl.find('(', open + 1)) {
        entries.push_back(sddl.substr(open, sddl.find(')', open) - open + 1));
    }
    std::sort(entries.begin(), entries.end());
    std::string result = "O:" + owner + " D:" + (flags.find('P') != std::string::npos ? "P" : "") + " ";
    for (const auto& entry : entries) result += entry;
    return result;
}

bool file_security_is_kept() { return !under_wine(); }

}  // namespace tessaryndle::test
