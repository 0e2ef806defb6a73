#include "agent/elevation/process.h"

#include <array>
#include <chrono>
#include <string>
#include <string_view>

#include "agent/elevation/process_platform.h"
#include "agent/test_hooks.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/windows_command_line.h"

namespace tessaryndle::agent {
namespace {

constexpr std::string_view PROBE_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t PROBE_RANDOM_CHARACTERS = 6;
constexpr std::uint32_t PROBE_ATTEMPTS = 65536;
// Names from the fast generator for the first attempts; a directory whose
// next names are taken (by chance or by someone predicting them) gets names
// from the system's cryptographic source.
constexpr std::uint32_t FAST_PROBE_ATTEMPTS = 3;

// splitmix64: enough to spread a clock reading over probe names.
class FastGenerator {
public:
    FastGenerator() {
        const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
        state_ = static_cast<std::uint64_t>(ticks) ^ reinterpret_cast<std::uintptr_t>(this);
    }
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t state_ = 0;
};

// ".tmp" and six characters of the alphabet. 62^6 is far below 2^64, so
// taking the digits of one 64-bit value in base 62 is as good as uniform.
std::string probe_name(std::uint64_t value) {
    std::string name = ".tmp";
    for (std::size_t i = 0; i < PROBE_RANDOM_CHARACTERS; ++i) {
        name.push_back(PROBE_ALPHABET[value % PROBE_ALPHABET.size()]);
        value /= PROBE_ALPHABET.size();
    }
    return name;
}

// Quotes text so that the Windows parser gives it back unchanged; always in
// double quotes, so that the worker's paths stand out in its parameters.
std::string quote_text(std::string_view text) {
    return platform::quote_windows_argument(text, platform::Enclosing::Always);
}

}  // namespace

bool needs_elevation(const std::filesystem::path& install_target) {
    std::filesystem::path directory = install_target;
    if (directory.is_relative()) {
        std::error_code ec;
        const std::filesystem::path current = std::filesystem::current_path(ec);
        if (ec) return true;
        directory = current / directory;
    }

    FastGenerator fast;
    bool system_source_works = true;
    for (std::uint32_t attempt = 0; attempt < PROBE_ATTEMPTS; ++attempt) {
        std::uint64_t value = 0;
        std::array<std::uint8_t, sizeof value> bytes{};
        if (attempt >= FAST_PROBE_ATTEMPTS && system_source_works) {
            system_source_works = platform::system_random_bytes(bytes).has_value();
        }
        if (attempt >= FAST_PROBE_ATTEMPTS && system_source_works) {
            for (const std::uint8_t byte : bytes) value = (value << 8) | byte;
        } else {
            // A broken system source leaves the names to the fast generator:
            // they need not be secret, only new.
            value = fast.next();
        }
        switch (process_detail::create_probe_file(directory / probe_name(value))) {
            case process_detail::ProbeOutcome::created: return false;
            case process_detail::ProbeOutcome::name_taken: continue;
            case process_detail::ProbeOutcome::failed: return true;
        }
    }
    return true;
}

NativeString quote_argument(const std::filesystem::path& path) {
    return path_from_utf8(quote_text(path_display(path))).native();
}

NativeString elevated_worker_parameters(const std::filesystem::path& plan_path,
                                        const std::filesystem::path& result_path) {
    const std::string text =
        "--execute-plan " + quote_text(path_display(plan_path)) + " --result " + quote_text(path_display(result_path));
    return path_from_utf8(text).native();
}

Result<ElevatedWorker> launch_elevated_worker(const std::filesystem::path& plan_path,
                                              const std::filesystem::path& result_path) {
    const auto agent = platform::own_executable_path();
    if (!agent) return fail(UpdateError::io("updater agent", agent.error()));
    test_hooks::forward_to_worker(plan_path.parent_path());
    return launch_elevated_program(*agent, plan_path, result_path);
}

namespace {

// The application's process, opened for the wait. An elevated worker that
// runs as another user (a standard user typed an administrator's
// credentials at the consent prompt) is normally refused the application's
// process, which belongs to the user; administrators hold SeDebugPrivilege,
// which opens it. Only a refusal is tried again, and only once: any other
// failure (the process has ended) would fail again. When the second try
// fails too, the first error is the one that tells what happened.
platform::OsResult<platform::NativeHandle> open_application(std::uint32_t process_id) {
    using Opened = platform::OsResult<platform::NativeHandle>;
    Opened opened = test_hooks::deny_application_open() ? Opened(std::unexpect, process_detail::access_denied())
                                                        : process_detail::open_for_wait(process_id);
    if (opened || !process_detail::is_access_denied(opened.error())) return opened;
    if (auto privileged = process_detail::open_for_wait_as_debugger(process_id)) return privileged;
    return opened;
}

}  // namespace

Result<void> wait_for_application_exit(std::uint32_t process_id) {
    const auto application = open_application(process_id);
    if (!application) {
        return fail(UpdateError::installation("open application process: " +
                                              platform::windows_error_text(application.error().code)));
    }
    if (const std::uint32_t outcome = process_detail::wait_for_end(*application); outcome != 0) {
        return fail(UpdateError::installation("wait for application process returned WAIT_EVENT(" +
                                              std::to_string(outcome) + ")"));
    }
    return {};
}

Result<void> relaunch_application(const std::filesystem::path& path, const std::filesystem::path& working_directory) {
    // No arguments at all: the command line is the quoted program path.
    if (auto started = platform::start_executable(path, {}, working_directory); !started) {
        return fail(UpdateError::io(path, started.error()));
    }
    return {};
}

}  // namespace tessaryndle::agent
