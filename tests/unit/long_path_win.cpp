// The extended-length form given to the Win32 file functions. Normalised:
// absolute, normalised as Win32 would normalise the plain form (the system
// does not normalise an extended-length path). As written: only lexical
// normalisation, trailing dots and spaces kept. Device paths and forms
// already final left alone by both.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/long_path_win.h"

namespace tessaryndle {
namespace {

TEST(LongPath, NamesWhatEachFormNames) {
    wchar_t directory[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, directory), 0u);
    std::wstring current = directory;
    if (current.back() != L'\\') current.push_back(L'\\');

    using platform::NameForm;
    const struct {
        const wchar_t* path;
        std::wstring expected;
        NameForm form = NameForm::Normalised;
    } cases[] = {
        {L"C:\\dir\\file.txt", L"\\\\?\\C:\\dir\\file.txt"},
        {L"C:/dir/./sub/../file.txt", L"\\\\?\\C:\\dir\\file.txt"},
        {L"C:\\dir\\name. ", L"\\\\?\\C:\\dir\\name"},
        {L"\\\\server\\share\\file.txt", L"\\\\?\\UNC\\server\\share\\file.txt"},
        {L"relative\\file.txt", L"\\\\?\\" + current + L"relative\\file.txt"},
        {L"\\\\?\\C:\\dir\\..\\kept as it is", L"\\\\?\\C:\\dir\\..\\kept as it is"},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
        {L"", L""},
        {L"C:\\dir\\name. ", L"\\\\?\\C:\\dir\\name. ", NameForm::AsWritten},
        {L"C:/dir/./sub/../name.", L"\\\\?\\C:\\dir\\name.", NameForm::AsWritten},
        {L"relative\\name.", L"relative\\name.", NameForm::AsWritten},
        {L"\\\\?\\C:\\dir\\..\\kept as it is", L"\\\\?\\C:\\dir\\..\\kept as it is", NameForm::AsWritten},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name", NameForm::AsWritten},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)) +
                     (c.form == NameForm::AsWritten ? " as written" : ""));
        EXPECT_EQ(platform::long_path(c.path, c.form), c.expected);
    }
}

}  // namespace
}  // namespace tessaryndle
