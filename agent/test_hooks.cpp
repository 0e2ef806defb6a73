#include "agent/test_hooks.h"

#ifdef TESSARYNDLE_TEST_HOOKS

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "platform/process.h"

namespace tessaryndle::agent::test_hooks {
namespace {

constexpr std::string_view WORKER_HOOKS[] = {STOP_AT_VARIABLE, REFUSE_REPLACE_VARIABLE, DENY_APPLICATION_OPEN_VARIABLE};

std::map<std::string, std::string, std::less<>>& forwarded() {
    static std::map<std::string, std::string, std::less<>> hooks;
    return hooks;
}

bool variable_equals(std::string_view variable, std::string_view value) {
    if (const char* wanted = std::getenv(std::string(variable).c_str())) return value == wanted;
    const auto found = forwarded().find(variable);
    return found != forwarded().end() && found->second == value;
}

}  // namespace

void forward_to_worker(const std::filesystem::path& session_directory) {
    std::string lines;
    for (const std::string_view variable : WORKER_HOOKS) {
        if (const char* value = std::getenv(std::string(variable).c_str())) {
            lines += std::string(variable) + "=" + value + "\n";
        }
    }
    if (lines.empty()) return;
    std::ofstream(session_directory / FORWARDED_HOOKS_NAME, std::ios::binary) << lines;
}

void adopt_forwarded(const std::filesystem::path& session_directory) {
    std::ifstream file(session_directory / FORWARDED_HOOKS_NAME, std::ios::binary);
    for (std::string line; std::getline(file, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) forwarded()[line.substr(0, equals)] = line.substr(equals + 1);
    }
}

void stop_at(std::string_view point) {
    if (variable_equals(STOP_AT_VARIABLE, point)) platform::end_own_process_now(STOPPED_EXIT_STATUS);
}

PollClock install_result_clock() {
    PollClock clock = PollClock::system();
    const char* text = std::getenv(std::string(RESULT_TIME_LIMIT_VARIABLE).c_str());
    if (text == nullptr) return clock;
    std::uint64_t limit_ms = 0;
    const auto [end, error] = std::from_chars(text, text + std::strlen(text), limit_ms);
    if (error != std::errc{} || *end != '\0' || limit_ms == 0) return clock;

    using namespace std::chrono;
    const auto factor = static_cast<double>(duration_cast<milliseconds>(INSTALL_RESULT_TIME_LIMIT).count()) /
                        static_cast<double>(limit_ms);
    const auto start = steady_clock::now();
    clock.now = [start, factor] {
        const auto real = steady_clock::now() - start;
        return start + duration_cast<steady_clock::duration>(real * factor);
    };
    return clock;
}

bool refuse_replace(std::string_view component) { return variable_equals(REFUSE_REPLACE_VARIABLE, component); }

bool deny_application_open() { return variable_equals(DENY_APPLICATION_OPEN_VARIABLE, "1"); }

}  // namespace tessaryndle::agent::test_hooks

#endif
