#include "tests/support/tree_snapshot.h"

#include "tests/support/test_support.h"

namespace tessaryndle::test {

std::map<std::string, std::string> tree_snapshot(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    if (!fs::exists(fs::symlink_status(root))) return entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).string();
        if (entry.is_symlink()) {
            entries[name] = "<link to " + fs::read_symlink(entry.path()).string() + ">";
        } else if (entry.is_directory()) {
            entries[name] = "<dir>";
        } else if (!entry.is_regular_file()) {
            entries[name] = "<special>";
        } else {
            entries[name] = read_file(entry.path());
        }
    }
    return entries;
}

}  // namespace tessaryndle::test
