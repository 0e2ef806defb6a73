// A stand-in for the application: records how it was started and exits 0.
//
// It writes "record.txt" beside itself (through a temporary file and a
// rename, so a reader never sees half of it):
//   program <hex>     its own executable path
//   cwd <hex>         its working directory
//   arg <hex>         one line per argument after the program path
// Each value is the native string's code units in hexadecimal (four digits
// each for UTF-16, two for bytes), so that any text, unpaired surrogates
// included, comes back exactly. It then prints "recorded" on standard output.
// When TESSARYNDLE_RECORD_HOLD names a file, it waits until it has removed
// that file (at most 60 s), which shows that it has been let go, and exits.
// A program started as the elevation service would start it gets none of
// the test's environment: then "record-hold.txt" beside it names the file.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

using tessaryndle::NativeString;

std::string hex(const NativeString& text) {
    constexpr int digits = sizeof(NativeString::value_type) * 2;
    std::string out;
    for (const auto unit : text) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%0*x", digits,
                      static_cast<unsigned>(static_cast<std::make_unsigned_t<NativeString::value_type>>(unit)));
        out += buffer;
    }
    return out;
}

}  // namespace

int main() {
    namespace platform = tessaryndle::platform;
    const auto own = platform::own_executable_path();
    if (!own) return 2;
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec) return 3;

    std::string record = "program " + hex(own->native()) + "\n";
    record += "cwd " + hex(cwd.native()) + "\n";
    const auto arguments = platform::command_line_arguments();
    for (std::size_t i = 1; i < arguments.size(); ++i) record += "arg " + hex(arguments[i]) + "\n";

    const std::filesystem::path directory = own->parent_path();
    const std::filesystem::path part = directory / "record.txt.part";
    if (!platform::write_whole_file(part, record)) return 4;
    if (!platform::rename_replace(part, directory / "record.txt")) return 5;

    std::fputs("recorded\n", stdout);
    std::fflush(stdout);

    std::string hold;
    if (const char* named = std::getenv("TESSARYNDLE_RECORD_HOLD")) {
        hold = named;
    } else if (auto written = platform::read_whole_file(directory / "record-hold.txt")) {
        hold = *written;
    }
    if (!hold.empty()) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        const std::filesystem::path release = tessaryndle::path_from_utf8(hold);
        // The removal is what tells the test that the build has let go, so
        // it is retried: on Windows a file that another process still holds
        // open cannot be removed yet.
        while (!std::filesystem::remove(release, ec) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return 0;
}
