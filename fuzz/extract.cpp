// ZIP extraction, the whole of extract_update_archive and find_payload_root,
// into a fresh destination per input. Whatever the archive holds:
// - nothing appears, changes or goes away outside the destination: the
//   directory around it holds only what this target put there, and a
//   directory and a file reachable through links planted in the destination
//   keep exactly their contents;
// - the planted links stay as they were and extraction makes no link of its
//   own (nor a second name for a file);
// - a payload root found lies below the destination without passing
//   through a link and holds the application at depth 1 to 4; when none is
//   found, a plain walk that never follows links finds none either.
// Every walk here uses lstat and never follows a link.

#include <signal.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <dirent.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "common/path_rules.h"
#include "extraction/extract.h"
#include "fuzz/support/property.h"
#include "platform/remove_tree.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view SENTINEL = "outside the destination";
constexpr std::string_view APPLICATION = "tessaryndle-app.exe";

struct Scratch {
    fs::path root;         // everything of this target, and nothing else
    fs::path archive;      // root/archive.zip
    fs::path outside;      // root/outside: a directory the links lead to
    fs::path run;          // root/run: holds only the destination
    fs::path destination;  // root/run/destination
};

const Scratch& scratch() {
    static const Scratch paths = [] {
        // Entries are never more than a few MiB here; a write beyond that
        // fails (EFBIG) instead of filling the disk with a Deflate bomb.
        const rlimit limit{16 << 20, 16 << 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
        Scratch s;
        s.root = tessaryndle::fuzz::make_scratch_directory("extract");
        s.archive = s.root / "archive.zip";
        s.outside = s.root / "outside";
        s.run = s.root / "run";
        s.destination = s.run / "destination";
        fs::create_directory(s.outside);
        std::ofstream(s.outside / APPLICATION) << SENTINEL;
        std::ofstream(s.outside / "file") << SENTINEL;
        fs::create_directory(s.run);
        return s;
    }();
    return paths;
}

std::map<std::string, std::string> planted_links() {
    const Scratch& s = scratch();
    return {
        {"l", s.outside.string()},
        {"up", "../.."},
        {"app/link", s.outside.string()},
        {"f", (s.outside / "file").string()},
        {"app/tessaryndle-app.exe", (s.outside / APPLICATION).string()},
    };
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The names in `directory`, without following anything.
std::vector<std::string> names_in(const fs::path& directory) {
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    FUZZ_CHECK(dir != nullptr);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool is_application_name(std::string name) {
    if (name.size() != APPLICATION.size()) return false;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == APPLICATION;
}

// Checks every entry below `directory` (relative name `relative`): planted
// links unchanged, no other link, no file with a second name. Returns
// whether a regular file with the application's name lies at depth 1-4.
bool check_tree(const fs::path& directory, const std::string& relative, int depth,
                const std::map<std::string, std::string>& links) {
    bool application = false;
    for (const std::string& name : names_in(directory)) {
        const fs::path path = directory / name;
        const std::string below = relative.empty() ? name : relative + "/" + name;
        struct stat info {};
        FUZZ_CHECK(lstat(path.c_str(), &info) == 0);
        if (S_ISLNK(info.st_mode)) {
            const auto planted = links.find(below);
            FUZZ_CHECK(planted != links.end());
            FUZZ_CHECK(fs::read_symlink(path).string() == planted->second);
            continue;
        }
        FUZZ_CHECK(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode));
        if (S_ISREG(info.st_mode)) {
            FUZZ_CHECK(info.st_nlink == 1);
            if (depth + 1 <= 4 && is_application_name(name)) application = true;
        } else if (check_tree(path, below, depth + 1, links)) {
            application = application || depth + 1 < 4;
        }
    }
    return application;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    const Scratch& s = scratch();
    {
        std::ofstream out(s.archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    fs::create_directories(s.destination / "app");
    const auto links = planted_links();
    for (const auto& [name, target] : links) fs::create_symlink(target, s.destination / name);

    const auto root = extraction::extract_update_archive(s.archive, s.destination, nullptr);

    // Around the destination: only what this target made, unchanged.
    FUZZ_CHECK((names_in(s.root) == std::vector<std::string>{"archive.zip", "outside", "run"}));
    FUZZ_CHECK((names_in(s.run) == std::vector<std::string>{"destination"}));
    FUZZ_CHECK((names_in(s.outside) == std::vector<std::string>{"file", std::string(APPLICATION)}));
    FUZZ_CHECK(read_file(s.outside / APPLICATION) == SENTINEL && read_file(s.outside / "file") == SENTINEL);

    const bool application = check_tree(s.destination, "", 0, links);
    if (root) {
        const auto relative = path_rules::relative_to_prefix(*root, s.destination);
        FUZZ_CHECK(relative.has_value());
        fs::path walked = s.destination;
        for (const fs::path& part : *relative) {
            walked /= part;
            struct stat info {};
            FUZZ_CHECK(lstat(walked.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
        }
        FUZZ_CHECK(std::distance(relative->begin(), relative->end()) <= 3);
        bool found = false;
        for (const std::string& name : names_in(*root)) {
            struct stat info {};
            if (is_application_name(name) && lstat((*root / name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
                found = true;
            }
        }
        FUZZ_CHECK(found);
    } else if (root.error().kind() == UpdateErrorKind::ApplicationNotFound) {
        FUZZ_CHECK(!application);
    }

    FUZZ_CHECK(platform::remove_tree(s.destination).has_value());
    FUZZ_CHECK(read_file(s.outside / APPLICATION) == SENTINEL && read_file(s.outside / "file") == SENTINEL);
    return 0;
}
