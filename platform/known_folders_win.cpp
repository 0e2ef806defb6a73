#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <vector>

#include "platform/known_folders.h"

namespace tessaryndle::platform {

namespace {

std::optional<std::filesystem::path> known_folder(REFKNOWNFOLDERID id) {
    PWSTR buffer = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &buffer);
    std::optional<std::filesystem::path> result;
    if (SUCCEEDED(hr) && buffer != nullptr) {
        result = std::filesystem::path(std::wstring(buffer));
    }
    // The buffer is ours to release whether the call succeeded or not.
    CoTaskMemFree(buffer);
    return result;
}

}  // namespace

std::optional<std::filesystem::path> local_app_data_folder() { return known_folder(FOLDERID_LocalAppData); }

std::optional<std::filesystem::path> system_program_data_folder() { return known_folder(FOLDERID_ProgramData); }

std::optional<std::filesystem::path> program_data_folder() {
    const DWORD needed = GetEnvironmentVariableW(L"PROGRAMDATA", nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetEnvironmentVariableW(L"PROGRAMDATA", buffer.data(), needed);
    if (length == 0 || length >= needed) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        if (length == 0) return std::filesystem::path();
    }
    return std::filesystem::path(std::wstring(buffer.data(), length));
}

}  // namespace tessaryndle::platform
