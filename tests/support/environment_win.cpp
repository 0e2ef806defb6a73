#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/text.h"
#include "tests/support/environment.h"

namespace tessaryndle::test {
namespace {
std::wstring widen(const std::string& s) { return utf8_to_utf16(s).value_or(std::wstring()); }
}  // namespace

// Both copies of the environment change: the one Win32 and child processes
// see, and the C runtime's, which getenv reads (the test hooks do).
void set_environment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
    _wputenv_s(widen(name).c_str(), widen(value).c_str());
}
void unset_environment(const std::string& name) {
    SetEnvironmentVariableW(widen(name).c_str(), nullptr);
    _wputenv_s(widen(name).c_str(), L"");
}
std::optional<std::string> get_environment(const std::string& name) {
    const std::wstring wide = widen(name);
    const DWORD needed = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetEnvironmentVariableW(wide.c_str(), buffer.data(), needed);
    return utf16_lossy(std::wstring_view(buffer.data(), length));
}

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tessaryndle::test
