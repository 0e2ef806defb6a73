#pragma once
// Stand-ins for polkit's pkexec, through which the native agent starts its
// elevated worker (the agent takes one from TESSARYNDLE_TEST_PKEXEC in
// test-hooks builds): real authorization needs a desktop session.

#include <filesystem>
#include <string>

namespace tessaryndle::test {

// Like pkexec after a granted authorization: closes every descriptor above
// standard error (but bash's own hold on the script, 255) and replaces itself
// with the program.
inline constexpr const char* GRANTING_PKEXEC =
    "for fd in /proc/$$/fd/*; do n=${fd##*/}; [ $n -gt 2 ] && [ $n -ne 255 ] && eval \"exec $n>&-\"; done\n"
    "exec \"$@\"";

// Writes `directory`/pkexec, a bash script with `body`, executable, and
// returns its path.
std::filesystem::path write_pkexec(const std::filesystem::path& directory, const std::string& body);

}  // namespace tessaryndle::test
