#include "tests/support/zip_fixtures.h"

#include <stdexcept>
#include <string>

#include "tests/support/release_signing.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

// The script writes this one last.
constexpr const char* LAST_ARCHIVE = "7zip.zip";

fs::path make_fixtures() {
    if constexpr (on_windows()) {
        const fs::path directory = binary_dir() / "zip-fixtures";
        if (!fs::is_regular_file(directory / LAST_ARCHIVE)) {
            throw std::runtime_error("ZIP fixtures missing: " + directory.string());
        }
        return directory;
    } else {
        // Named after the script's content, so that a changed script makes
        // new archives; the directory appears under that name only when
        // complete.
        const fs::path script = source_dir() / "tests" / "support" / "make_zip_fixtures.py";
        const std::string version = sha256_hex(read_file(script)).substr(0, 16);
        const fs::path shared = binary_dir() / "test-tmp" / ("zip-fixtures-" + version);
        if (fs::is_regular_file(shared / LAST_ARCHIVE)) return shared;

        const TempDir scratch;
        const fs::path made = scratch / "fixtures";
        RunOptions options;
        options.arguments = {script.native(), made.native()};
        options.capture_stdout = false;
        const RunResult result = run_program("/usr/bin/python3", options);
        if (result.exit_status != 0) {
            throw std::runtime_error("make_zip_fixtures.py failed (exit status " + std::to_string(result.exit_status) +
                                     ") " + result.start_error);
        }
        std::error_code ec;
        fs::create_directories(shared.parent_path(), ec);
        // Another test program may have won the race; its archives are as good.
        fs::rename(made, shared, ec);
        if (!fs::is_regular_file(shared / LAST_ARCHIVE)) {
            throw std::runtime_error("ZIP fixtures missing: " + shared.string());
        }
        return shared;
    }
}

}  // namespace

const fs::path& zip_fixtures_directory() {
    static const fs::path directory = make_fixtures();
    return directory;
}

}  // namespace tessaryndle::test
