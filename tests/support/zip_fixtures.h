#pragma once
// Archives written by other tools (Python's zipfile, Info-ZIP zip, 7-Zip),
// made by tests/support/make_zip_fixtures.py (see there for the list).
//
// Natively the first test that needs them runs the script at test time and
// later test programs of the same build share the result (under
// <build>/test-tmp). A Windows test program under Wine cannot start those
// Linux programs, so the Windows build runs the script on the build host
// into <build>/zip-fixtures.

#include <filesystem>

namespace tessaryndle::test {

// The directory holding the archives; throws std::runtime_error when they
// cannot be made or found.
[[nodiscard]] const std::filesystem::path& zip_fixtures_directory();

}  // namespace tessaryndle::test
