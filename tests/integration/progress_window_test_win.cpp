// The progress window of the Windows build, inspected from this second
// process the way any Win32 program can see it: class, title, styles,
// position and size of the window and its three controls, at 100, 150 and
// 200 % display scaling. Needs a display (scripts/wine_session.sh gives one
// of 1920x1080).

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent/progress/progress.h"
#include "platform/process.h"
#include "platform/win_handle.h"
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

// The window, once it is shown: it is created hidden and shown with its
// three controls laid out.
HWND wait_for_window(std::uint32_t id, std::chrono::milliseconds timeout) {
    HWND window = nullptr;
    const auto ready = [&] {
        return (window = progress_window_of(id)) != nullptr && IsWindowVisible(window) &&
               children_of(window).size() >= 3;
    };
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
    InstallPlan plan;
    plan.fallback_progress_delay_ms = delay;
    plan.app_name = name;
    // A directory that does not exist: the window does not care.
    plan.install_target = LR"(Z:\nonexistent\Program Files\Tessaryndle\)";
    return agent::start_progress_helper_program(agent_program(), plan);
}

// The display's DPI as Wine takes it, from HKCU\Control Panel\Desktop
// LogPixels, for the processes started while this lives (each reads it once,
// at its start); the previous setting is put back afterwards.
class ScopedLogPixels {
public:
    explicit ScopedLogPixels(DWORD dpi) {
        DWORD size = sizeof previous_;
        had_previous_ = RegGetValueW(HKEY_CURRENT_USER, KEY, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &previous_,
                                     &size) == ERROR_SUCCESS;
        EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, KEY, L"LogPixels", REG_DWORD, &dpi, sizeof dpi), ERROR_SUCCESS);
    }
    ScopedLogPixels(const ScopedLogPixels&) = delete;
    ScopedLogPixels& operator=(const ScopedLogPixels&) = delete;
    ~ScopedLogPixels() {
        if (had_previous_) {
            RegSetKeyValueW(HKEY_CURRENT_USER, KEY, L"LogPixels", REG_DWORD, &previous_, sizeof previous_);
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, KEY, L"LogPixels");
        }
    }

private:
    static constexpr const wchar_t* KEY = L"Control Panel\\Desktop";
    DWORD previous_ = 0;
    bool had_previous_ = false;
};

// This thread sees other processes' windows in their own pixels, not
// rescaled to the 96 DPI of a program without a DPI-aware manifest.
void see_real_pixels() { SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2); }

// A few bytes inside another process, for messages whose parameter points
// at a structure: the system hands such a pointer over unchanged, so it
// must be valid in the receiving process.
class RemoteBlock {
public:
    RemoteBlock(std::uint32_t id, std::size_t size)
        : process_(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id)) {
        if (process_.valid()) {
            address_ = VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        }
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;
    ~RemoteBlock() {
        if (address_ != nullptr) VirtualFreeEx(process_.get(), address_, 0, MEM_RELEASE);
    }

    [[nodiscard]] bool valid() const { return address_ != nullptr; }
    [[nodiscard]] LPARAM parameter() const { return reinterpret_cast<LPARAM>(address_); }
    template <class T>
    bool write(const T& value) {
        return WriteProcessMemory(process_.get(), address_, &value, sizeof value, nullptr) != FALSE;
    }
    template <class T>
    bool read(T& value) const {
        return ReadProcessMemory(process_.get(), address_, &value, sizeof value, nullptr) != FALSE;
    }

private:
    platform::UniqueHandle process_;
    void* address_ = nullptr;
};

int scaled(int pixels, UINT dpi) { return MulDiv(pixels, static_cast<int>(dpi), 96); }

SIZE size_of(const RECT& rect) { return {rect.right - rect.left, rect.bottom - rect.top}; }

struct Place {
    int x, y, width, height;
};
// Label, progress bar and button at 96 DPI, in client coordinates.
constexpr Place CONTROL_PLACES[] = {{28, 24, 364, 22}, {28, 54, 364, 14}, {274, 82, 118, 30}};

// The controls of `window` sit at their 96-DPI places scaled to `dpi`, each
// wholly inside the client area and visible.
void expect_laid_out_for(HWND window, UINT dpi) {
    RECT client{};
    ASSERT_TRUE(GetClientRect(window, &client));
    const std::vector<HWND> children = children_of(window);
    ASSERT_EQ(children.size(), std::size(CONTROL_PLACES));
    for (std::size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "control " << i << " at " << dpi << " DPI");
        const Place& want = CONTROL_PLACES[i];
        RECT place{};
        ASSERT_TRUE(GetWindowRect(children[i], &place));
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
        EXPECT_EQ(place.left, scaled(want.x, dpi));
        EXPECT_EQ(place.top, scaled(want.y, dpi));
        EXPECT_EQ(size_of(place).cx, scaled(want.width, dpi));
        EXPECT_EQ(size_of(place).cy, scaled(want.height, dpi));
        EXPECT_GE(place.left, client.left);
        EXPECT_GE(place.top, client.top);
        EXPECT_LE(place.right, client.right) << "client width " << client.right;
        EXPECT_LE(place.bottom, client.bottom) << "client height " << client.bottom;
        EXPECT_TRUE(IsWindowVisible(children[i]));
    }
}

TEST(ProgressWindow, ShowsAtOnceWithItsTitleControlsAndCentredPlace) {
    const ScopedLogPixels normal(96);
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
        bool enabled;
    };
    const Control expected[] = {
        {L"static", L"Installing update\u2026", 0x50000000, true},
        {L"msctls_progress32", L"", 0x50000008, true},
        {L"button", L"Cancel Update", 0x58000000, false},
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
    }
    expect_laid_out_for(window, 96);

    const std::uint32_t id = *helper.process_id();
    agent::stop_progress_helper(std::move(helper));
    EXPECT_FALSE(still_running(id));
    EXPECT_FALSE(IsWindow(window));
}

// A copy of what the screen shows in a rectangle, as 32-bit pixels, row by row.
class ScreenCopy {
public:
    explicit ScreenCopy(const RECT& area) : size_(size_of(area)) {
        HDC screen = GetDC(nullptr);
        copy_ = CreateCompatibleDC(screen);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), size_.cx, -size_.cy, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        bitmap_ = CreateDIBSection(copy_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (bitmap_ != nullptr) {
            previous_ = SelectObject(copy_, bitmap_);
            if (BitBlt(copy_, 0, 0, size_.cx, size_.cy, screen, area.left, area.top, SRCCOPY)) {
                pixels_ = static_cast<const std::uint32_t*>(bits);
            }
        }
        ReleaseDC(nullptr, screen);
    }
    ScreenCopy(const ScreenCopy&) = delete;
    ScreenCopy& operator=(const ScreenCopy&) = delete;
    ~ScreenCopy() {
        if (bitmap_ != nullptr) {
            SelectObject(copy_, previous_);
            DeleteObject(bitmap_);
        }
        DeleteDC(copy_);
    }

    // The number of rows from the first to the last one with a dark pixel
    // (every colour channel below half); 0 for none, and while nothing
    // light has been painted there yet (the screen is black before).
    [[nodiscard]] int dark_rows() const {
        int first = -1, last = -1;
        bool painted = false;
        for (int y = 0; pixels_ != nullptr && y < size_.cy; ++y) {
            for (int x = 0; x < size_.cx; ++x) {
                const std::uint32_t pixel = pixels_[y * size_.cx + x] & 0x808080;
                painted = painted || pixel == 0x808080;
                if (pixel != 0) continue;
                if (first < 0) first = y;
                last = y;
            }
        }
        return first < 0 || !painted ? 0 : last - first + 1;
    }

private:
    SIZE size_;
    HDC copy_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    const std::uint32_t* pixels_ = nullptr;
};

// The height of the label's text as it is drawn. Wine carries no font
// handles between processes (WM_GETFONT from here gives nothing), so the
// size of the font is seen in its glyphs.
int text_height(HWND window) {
    RECT label{};
    if (!GetWindowRect(children_of(window).at(0), &label)) return -1;
    return ScreenCopy(label).dark_rows();
}

// At 100, 150 and 200 % the window takes the DPI of its monitor and grows
// with it: the controls keep their places in proportion, and the client area
// below the caption holds all of them. Moved to a monitor of another DPI, it
// asks for the size it has when it starts there, goes where the system puts
// it and lays out its controls anew, with a new font.
TEST(ProgressWindow, FitsItsControlsAtEachScaling) {
    see_real_pixels();
    std::map<UINT, SIZE> sizes;
    int text_at_96 = 0;
    // The text grows with the DPI, give or take the rounding of glyphs.
    const auto expect_text_for = [&](HWND window, UINT dpi) {
        int height = 0;
        const auto scaled_text = [&] {
            height = text_height(window);
            return std::abs(height - scaled(text_at_96, dpi)) <= 2;
        };
        EXPECT_TRUE(test::eventually(scaled_text, 5s)) << "text " << height << " pixels high, at 96 DPI " << text_at_96;
    };
    for (const UINT dpi : {96u, 144u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        const ScopedLogPixels setting(dpi);
        const agent::ProgressHelper helper = start_helper(0, "Tessaryndle");
        HWND window = wait_for_window(*helper.process_id(), 20s);
        ASSERT_NE(window, nullptr);
        expect_laid_out_for(window, dpi);
        RECT outer{};
        ASSERT_TRUE(GetWindowRect(window, &outer));
        sizes[dpi] = size_of(outer);
        if (dpi == 96) {
            ASSERT_TRUE(test::eventually([&] { return (text_at_96 = text_height(window)) >= 8; }, 5s));
        }
        expect_text_for(window, dpi);
        std::printf("%u DPI: window %ldx%ld, text %d pixels high\n", dpi, sizes[dpi].cx, sizes[dpi].cy,
                    text_height(window));
        EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - sizes[dpi].cx) / 2);
        EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - sizes[dpi].cy) / 2);
    }
    EXPECT_EQ(sizes[96].cx, 420);
    EXPECT_EQ(sizes[96].cy, 150);

    const agent::ProgressHelper helper = start_helper(0, "Tessaryndle");
    HWND window = wait_for_window(*helper.process_id(), 20s);
    ASSERT_NE(window, nullptr);
    RemoteBlock block(*helper.process_id(), sizeof(RECT));
    ASSERT_TRUE(block.valid());
    for (const UINT dpi : {192u, 144u, 96u}) {
        SCOPED_TRACE(testing::Message() << "changed to " << dpi << " DPI");
        ASSERT_TRUE(block.write(SIZE{1, 1}));
        EXPECT_EQ(SendMessageW(window, WM_GETDPISCALEDSIZE, dpi, block.parameter()), TRUE);
        SIZE asked{};
        ASSERT_TRUE(block.read(asked));
        EXPECT_EQ(asked.cx, sizes[dpi].cx);
        EXPECT_EQ(asked.cy, sizes[dpi].cy);

        const RECT suggested{40, 30, 40 + asked.cx, 30 + asked.cy};
        ASSERT_TRUE(block.write(suggested));
        EXPECT_EQ(SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), block.parameter()), 0);
        RECT outer{};
        ASSERT_TRUE(GetWindowRect(window, &outer));
        EXPECT_TRUE(EqualRect(&outer, &suggested));
        expect_laid_out_for(window, dpi);
        expect_text_for(window, dpi);
    }
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
