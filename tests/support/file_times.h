#pragma once
// Setting a directory's last write time back, as time would: the elevated
// worker leaves a session directory alone while it may still be in the
// making, and tests make a left-over one look old.

#include <filesystem>

namespace tessaryndle::test {

// Sets the last write time of `path` (a directory or a file, never followed
// when a link) two minutes into the past. Fails the test when it cannot.
void make_two_minutes_old(const std::filesystem::path& path);

}  // namespace tessaryndle::test
