// The progress window of the Windows build, inspected from this second
// process the way any Win32 program can see it: class, title, styles,
// position and size of the window and its three controls. Needs a display
// (scripts/wine_session.sh gives one of 1920x1080).

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

#include "agent/progress.h"
#include "platform/process.h"
#include "tests/support/eventually.h"
#include "tests/support/process_state.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path agent_program() { return test::bin_dir() / "tessaryndle-updater-agent.exe"; }

std::wstring lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring class_of(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

std::wstring text_of(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The progress window of process `id`, or nullptr.
HWND progress_window_of(std::uint32_t id) {
    struct Search {
        DWORD id;
        HWND found;
    } search{id, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != s->id || class_of(window) != L"TessaryndleUpdaterProgress") return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> children_of(HWND window);

// The window, once it has its three controls (it is visible from its
// creation on, before they exist).
HWND wait_for_window(std::uint32_t id, std::chrono::milliseconds timeout) {
    HWND window = nullptr;
    const auto ready = [&] { return (window = progress_window_of(id)) != nullptr && children_of(window).size() >= 3; };
    return test::eventually(ready, timeout) ? window : nullptr;
}

std::vector<HWND> children_of(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM parameter) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
}

bool still_running(std::uint32_t id) { return !test::process_has_ended(id); }

agent::ProgressHelper start_helper(std::uint64_t delay, const std::string& name) {
    agent::InstallPlan plan;
    plan.fallback_progress_delay_ms = delay;
    plan.app_name = name;
    // A directory that does not exist: the window does not care.
    plan.install_target = LR"(Z:\nonexistent\Program Files\Tessaryndle\)";
    return agent::start_progress_helper_program(agent_program(), plan);
}

TEST(ProgressWindow, ShowsAtOnceWithItsTitleControlsAndCentredPlace) {
    const auto started = std::chrono::steady_clock::now();
    agent::ProgressHelper helper = start_helper(0, "Tessaryndle");
    ASSERT_TRUE(helper.running());
    HWND window = wait_for_window(*helper.process_id(), 20s);
    ASSERT_NE(window, nullptr) << "no progress window";
    std::printf(
        "window shown after %lld ms\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count()));

    EXPECT_EQ(text_of(window), L"Updating Tessaryndle");
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_VISIBLE | WS_CAPTION), WS_POPUP | WS_VISIBLE | WS_CAPTION);
    EXPECT_EQ(style & (WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CHILD), 0);
    const LONG extended = GetWindowLongW(window, GWL_EXSTYLE);
    EXPECT_EQ(extended & (WS_EX_TOPMOST | WS_EX_TOOLWINDOW), 0);
    EXPECT_EQ(GetParent(window), nullptr);

    const int screen_width = GetSystemMetrics(SM_CXSCREEN);
    const int screen_height = GetSystemMetrics(SM_CYSCREEN);
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(window, &rect));
    EXPECT_EQ(rect.left, (screen_width - 420) / 2);
    EXPECT_EQ(rect.top, (screen_height - 150) / 2);
    EXPECT_EQ(rect.right - rect.left, 420);
    EXPECT_EQ(rect.bottom - rect.top, 150);
    if (screen_width == 1920 && screen_height == 1080) {
        EXPECT_EQ(rect.left, 750);
        EXPECT_EQ(rect.top, 465);
    }

    struct Control {
        const wchar_t* class_name;
        const wchar_t* text;
        LONG style;
        int x, y, width, height;
        bool enabled;
    };
    const Control expected[] = {
        {L"static", L"Installing update\u2026", 0x50000000, 28, 24, 364, 22, true},
        {L"msctls_progress32", L"", 0x50000008, 28, 54, 364, 14, true},
        {L"button", L"Cancel Update", 0x58000000, 274, 82, 118, 30, false},
    };
    const std::vector<HWND> children = children_of(window);
    ASSERT_EQ(children.size(), std::size(expected));
    for (std::size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(i);
        HWND child = children[i];
        const Control& want = expected[i];
        EXPECT_EQ(lower(class_of(child)), want.class_name);
        EXPECT_EQ(text_of(child), want.text);
        EXPECT_EQ(GetWindowLongW(child, GWL_STYLE), want.style);
        EXPECT_EQ(GetDlgCtrlID(child), 0);
        EXPECT_EQ(IsWindowEnabled(child) != FALSE, want.enabled);
        EXPECT_TRUE(IsWindowVisible(child));
        RECT place{};
        ASSERT_TRUE(GetWindowRect(child, &place));
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
        EXPECT_EQ(place.left, want.x);
        EXPECT_EQ(place.top, want.y);
        EXPECT_EQ(place.right - place.left, want.width);
        EXPECT_EQ(place.bottom - place.top, want.height);
    }

    const std::uint32_t id = *helper.process_id();
    agent::stop_progress_helper(std::move(helper));
    EXPECT_FALSE(still_running(id));
    EXPECT_FALSE(IsWindow(window));
}

TEST(ProgressWindow, NamesTheApplicationAsText) {
    struct Case {
        std::wstring name;
        std::wstring title;
    };
    const Case cases[] = {
        {L"", L"Updating "},
        {L"My App \u00e9", L"Updating My App \u00e9"},
        {std::wstring(L"A") + wchar_t(0xD800), L"Updating A\uFFFD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        auto started = platform::start_process_with_null_stdio(
            agent_program(), {L"--show-progress-after", L"0", L"--app-name", c.name, L"--app-path", L"Z:\\x"});
        ASSERT_TRUE(started);
        const agent::ProgressHelper helper(std::move(*started));
        HWND window = wait_for_window(*helper.process_id(), 20s);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(text_of(window), c.title);
    }
}

TEST(ProgressWindow, ALongDelayShowsNothingBeforeTermination) {
    agent::ProgressHelper helper = start_helper(600000, "Tessaryndle");
    ASSERT_TRUE(helper.running());
    const std::uint32_t id = *helper.process_id();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(progress_window_of(id), nullptr);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(still_running(id));
    agent::stop_progress_helper(std::move(helper));
    EXPECT_FALSE(still_running(id));
}

TEST(ProgressWindow, DestroyingTheWindowDoesNotEndTheHelper) {
    agent::ProgressHelper helper = start_helper(0, "Tessaryndle");
    ASSERT_TRUE(helper.running());
    const std::uint32_t id = *helper.process_id();
    HWND window = wait_for_window(id, 20s);
    ASSERT_NE(window, nullptr);

    // Closing it the system's way destroys it (the default handling of
    // WM_CLOSE); the helper stays in its message loop.
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(test::eventually([&] { return !IsWindow(window); }, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(still_running(id));

    agent::stop_progress_helper(std::move(helper));
    EXPECT_FALSE(still_running(id));
}

}  // namespace
}  // namespace tessaryndle
