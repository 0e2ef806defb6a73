#pragma once
// What a folder holds, to compare before and after an attack: nothing the
// elevated side was not meant to touch may change.

#include <filesystem>
#include <map>
#include <string>

namespace tessaryndle::test {

// Every entry below `root` (none when it is missing), by its relative path:
// a file's bytes, "<dir>", "<link to ...>" (never followed), or "<special>"
// for anything else (a FIFO is never opened: that would wait for a writer).
[[nodiscard]] std::map<std::string, std::string> tree_snapshot(const std::filesystem::path& root);

}  // namespace tessaryndle::test
