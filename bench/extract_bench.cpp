// Runs extract_update_archive once on one archive.
//
//   extract_bench ARCHIVE DESTINATION
//
// DESTINATION must not exist yet. Prints nothing on success (the script
// times the process from outside, like the archivers it is compared with);
// on failure prints the error and exits with 1.

#include <atomic>
#include <cstdio>
#include <memory>

#include "extraction/extract.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: extract_bench ARCHIVE DESTINATION\n");
        return 2;
    }
    const auto result =
        tessaryndle::extraction::extract_update_archive(argv[1], argv[2], std::make_shared<std::atomic<bool>>(false));
    // An archive without the application's executable still counts: the
    // whole archive has been extracted by then.
    if (!result && result.error().kind() != tessaryndle::UpdateErrorKind::ApplicationNotFound) {
        std::fprintf(stderr, "%s\n", result.error().display().c_str());
        return 1;
    }
    return 0;
}
