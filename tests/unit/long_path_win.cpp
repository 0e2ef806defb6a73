// The extended-length form given to the Win32 file functions: absolute,
// normalised as Win32 would normalise the plain form (the system does not
// normalise an extended-length path), device paths and forms already final
// left alone.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/long_path_win.h"

namespace tessaryndle {
namespace {

TEST(ExtendedLengthPath, NamesWhatThePlainFormNames) {
    wchar_t directory[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, directory), 0u);
    std::wstring current = directory;
    if (current.back() != L'\\') current.push_back(L'\\');

    const struct {
        const wchar_t* path;
        std::wstring expected;
    } cases[] = {
        {L"C:\\dir\\file.txt", L"\\\\?\\C:\\dir\\file.txt"},
        {L"C:/dir/./sub/../file.txt", L"\\\\?\\C:\\dir\\file.txt"},
        {L"C:\\dir\\name. ", L"\\\\?\\C:\\dir\\name"},
        {L"\\\\server\\share\\file.txt", L"\\\\?\\UNC\\server\\share\\file.txt"},
        {L"relative\\file.txt", L"\\\\?\\" + current + L"relative\\file.txt"},
        {L"\\\\?\\C:\\dir\\..\\kept as it is", L"\\\\?\\C:\\dir\\..\\kept as it is"},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
        EXPECT_EQ(platform::extended_length_path(c.path), c.expected);
    }
}

}  // namespace
}  // namespace tessaryndle
