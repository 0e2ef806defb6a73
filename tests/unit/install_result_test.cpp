// The install result exchange between the elevated worker and the waiting
// install-plan mode: exact bytes written, and every answer the waiting side
// can get, with a simulated clock for the time limit.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "agent/installation/install_result.h"
#include "platform/text.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TempDir;
using test::write_file;

// A clock that only moves when the poll loop sleeps. `on_sleep` runs after
// each sleep with the simulated time since the start.
struct FakeClock {
    std::chrono::steady_clock::time_point now{};
    std::chrono::steady_clock::duration elapsed{};
    int sleeps = 0;
    std::function<void(std::chrono::steady_clock::duration)> on_sleep;

    agent::PollClock poll_clock() {
        return agent::PollClock{
            [this] { return now; },
            [this](std::chrono::milliseconds duration) {
                EXPECT_EQ(duration, 50ms);
                now += duration;
                elapsed += duration;
                ++sleeps;
                if (on_sleep) on_sleep(elapsed);
            },
        };
    }
};

TEST(WriteInstallResult, WritesTheExactCompactDocuments) {
    struct Case {
        std::string label;
        Result<void> outcome;
        std::string bytes;
        std::optional<std::string> before = std::nullopt;  // an earlier result file
    };
    const Case cases[] = {
        {"success", Result<void>{}, R"({"ok":true})"},
        {"AnExistingResultIsReplaced", Result<void>{}, R"({"ok":true})", "old"},
        {"failure", fail(UpdateError::installation("existing version destination is unsafe")),
         R"({"error":"installation failed: existing version destination is unsafe","ok":false})"},
        {"escaping", fail(UpdateError::installation("a \"quoted\" C:\\path\n\ttab\x01 \xc3\xbc")),
         "{\"error\":\"installation failed: a \\\"quoted\\\" C:\\\\path\\n\\ttab\\u0001 \xc3\xbc\",\"ok\":false}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const fs::path result = dir / "install-result.json";
        if (c.before) write_file(result, *c.before);
        const auto written = agent::write_install_result(result, c.outcome);
        ASSERT_TRUE(written) << written.error().display();
        EXPECT_EQ(test::read_file(result), c.bytes);
        EXPECT_FALSE(fs::exists(dir / "install-result.json.part"));
    }
}

TEST(WriteInstallResult, AStaleTemporaryFileMakesWritingFail) {
    TempDir dir;
    write_file(dir / "install-result.json.part", "stale");
    EXPECT_EQ(test::io_error_at(agent::write_install_result(dir / "install-result.json", Result<void>{})),
              test::io_at(dir / "install-result.json.part"));
    EXPECT_EQ(test::read_file(dir / "install-result.json.part"), "stale");
    EXPECT_FALSE(fs::exists(dir / "install-result.json"));
}

// Each answer the worker can leave, read at once: "ok", the displayed error,
// or for answers that cannot be read, the error's kind ("I/O at" the result
// for a read error).
TEST(WaitForInstallResult, WhatEachAnswerMeans) {
    const std::string failed = "installation failed: the privileged installer failed";
    const std::string unreadable = "UnreadableAnswers: serialization";
    const struct {
        std::string label;
        std::string content;
        std::string outcome;
    } cases[] = {
        {"success", R"({"ok":true})", "ok"},
        {"success with white space after", "{\"ok\":true} \r\n\t", "ok"},
        {"success ignores an error member", R"({"ok":true,"error":"x"})", "ok"},
        {"worker error", R"({"error":"installation failed: update build identifier is unsafe","ok":false})",
         "installation failed: installation failed: update build identifier is unsafe"},
        {"empty error text", R"({"error":""})", "installation failed: "},
        {"ok false without error", R"({"ok":false})", failed},
        {"ok as a string", R"({"ok":"true"})", failed},
        {"error not a string", R"({"ok":false,"error":5})", failed},
        {"an array", R"([true])", failed},
        {"a bare true", "true", failed},
        {"duplicate key, the last counts", R"({"ok":true,"ok":false})", failed},
        // UnreadableAnswers
        {"trailing text", R"({"ok":true}x)", unreadable},
        {"two values", R"({"ok":true}{"ok":true})", unreadable},
        {"empty file", "", unreadable},
        {"not JSON", "ok", unreadable},
        {"byte-order mark", "\xef\xbb\xbf{\"ok\":true}", unreadable},
        {"not UTF-8", "{\"error\":\"\xff\"}", "I/O"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        write_file(dir / "install-result.json", c.content);
        FakeClock clock;
        const auto result = agent::wait_for_install_result(dir / "install-result.json", clock.poll_clock());
        EXPECT_EQ(clock.sleeps, 0);
        if (c.outcome == "I/O") {
            EXPECT_EQ(test::io_error_at(result), test::io_at(dir / "install-result.json"));
        } else if (c.outcome == unreadable) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().kind(), UpdateErrorKind::Serialization) << result.error().display();
        } else {
            EXPECT_EQ(test::outcome(result), c.outcome);
        }
    }
}

TEST(WaitForInstallResult, AResultThatAppearsLaterIsRead) {
    TempDir dir;
    const fs::path result = dir / "install-result.json";
    FakeClock clock;
    clock.on_sleep = [&](std::chrono::steady_clock::duration elapsed) {
        if (elapsed == 1799s) {
            ASSERT_TRUE(agent::write_install_result(result, Result<void>{}));
        }
    };
    const auto waited = agent::wait_for_install_result(result, clock.poll_clock());
    EXPECT_TRUE(waited) << waited.error().display();
    EXPECT_EQ(clock.elapsed, 1799s);
}

TEST(WaitForInstallResult, GivesUpAfterThirtyMinutesAndADirectoryIsNoAnswer) {
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "a directory named install-result.json" : "nothing");
        TempDir dir;
        if (directory) fs::create_directories(dir / "install-result.json");
        FakeClock clock;
        EXPECT_EQ(test::outcome(agent::wait_for_install_result(dir / "install-result.json", clock.poll_clock())),
                  "installation failed: the privileged installer did not finish within 30 minutes");
        EXPECT_EQ(clock.elapsed, 1800s);
        EXPECT_EQ(clock.sleeps, 1800 * 20);
    }
}

// What the wait does once the worker's process has ended (after `ends`
// sleeps): the result it wrote just before its end is read, and a worker
// that wrote none ends the wait at once rather than at the time limit. A
// worker that still runs changes nothing.
TEST(WaitForInstallResult, AWorkerThatHasEndedEndsTheWait) {
    const struct {
        const char* label;
        int ends;                // the sleep after which the worker has ended; -1: never
        bool result_at_its_end;  // written between the wait's look and the worker's end
        std::string outcome;
        std::chrono::milliseconds waited;
    } cases[] = {
        {"ended without a result", 3, false, "installation failed: the privileged installer ended without a result",
         150ms},
        {"ended at once without a result", 0, false,
         "installation failed: the privileged installer ended without a result", 0ms},
        {"wrote its result just before its end", 3, true, "ok", 150ms},
        {"still running", -1, false, "installation failed: the privileged installer did not finish within 30 minutes",
         1800s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const fs::path result = dir / "install-result.json";
        FakeClock clock;
        int looks = 0;
        const agent::WorkerEnded worker_ended = [&] {
            ++looks;
            if (c.ends < 0 || clock.sleeps < c.ends) return false;
            // The worker renames its result into place and ends after the
            // wait has looked for it in this round.
            if (c.result_at_its_end && !fs::exists(result)) {
                EXPECT_TRUE(agent::write_install_result(result, {}));
            }
            return true;
        };
        EXPECT_EQ(test::outcome(agent::wait_for_install_result(result, clock.poll_clock(), worker_ended)), c.outcome);
        EXPECT_EQ(clock.elapsed, c.waited);
        EXPECT_EQ(looks, clock.sleeps + 1);
    }
}

TEST(WaitForInstallResult, RealClockReadsAResultPromptly) {
    TempDir dir;
    ASSERT_TRUE(agent::write_install_result(dir / "install-result.json", fail(UpdateError::installation("x"))));
    EXPECT_EQ(test::outcome(agent::wait_for_install_result(dir / "install-result.json")),
              "installation failed: installation failed: x");
}

#ifndef _WIN32
TEST(WaitForInstallResult, FollowsALinkToTheResult) {
    TempDir dir;
    write_file(dir / "real.json", R"({"ok":true})");
    fs::create_symlink(dir / "real.json", dir / "install-result.json");
    FakeClock clock;
    EXPECT_TRUE(agent::wait_for_install_result(dir / "install-result.json", clock.poll_clock()));
}
#endif

}  // namespace
}  // namespace tessaryndle
