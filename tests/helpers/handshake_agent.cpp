// A stand-in for the updater agent in install-plan mode, for the tests of
// the application-side library. Started as
//   handshake_agent --install-plan PLAN
// it reads the plan and behaves as its "app_name" says:
//   ready      "READY\n", then stays until killed (at most 120 s)
//   error      an unrelated line, then "ERROR:refused by the stand-in\r\n", exit 1
//   dies       "REA" without a line end, then exit 3 (a crash mid-line)
//   silent     no output, exit 0
// Any other start (wrong arguments, an unreadable plan) answers
// "ERROR:stand-in started wrongly: {why}\n" and exits 2.

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "platform/command_line.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

int answer(std::string_view bytes, int status) {
    static_cast<void>(tessaryndle::platform::write_stdout(bytes));
    static_cast<void>(tessaryndle::platform::flush_stdout());
    return status;
}

int wrongly(const std::string& why) { return answer("ERROR:stand-in started wrongly: " + why + "\n", 2); }

}  // namespace

int main() {
    const auto arguments = tessaryndle::platform::command_line_arguments();
    if (arguments.size() != 3 || tessaryndle::native_lossy(arguments[1]) != "--install-plan") {
        return wrongly(std::to_string(arguments.size() - 1) + " arguments");
    }
    const auto text = tessaryndle::platform::read_whole_file(std::filesystem::path(arguments[2]));
    if (!text) return wrongly("plan unreadable");
    const auto plan = nlohmann::json::parse(*text, nullptr, false);
    if (plan.is_discarded() || !plan.is_object() || !plan.contains("app_name") || !plan["app_name"].is_string()) {
        return wrongly("plan is not JSON with an app_name");
    }
    const std::string behaviour = plan["app_name"].get<std::string>();
    if (behaviour == "ready") {
        answer("READY\n", 0);
        std::this_thread::sleep_for(std::chrono::seconds(120));
        return 0;
    }
    if (behaviour == "error") return answer("checking the plan\nERROR:refused by the stand-in\r\n", 1);
    if (behaviour == "dies") return answer("REA", 3);
    if (behaviour == "silent") return 0;
    return wrongly("unknown behaviour " + behaviour);
}
