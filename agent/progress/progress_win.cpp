#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "agent/modes.h"
#include "agent/progress/progress.h"
#include "platform/os_error.h"
#include "platform/scoped_generic.h"

namespace tessaryndle::agent {
namespace {

// The window's sizes are those of 96 DPI (100 % display scaling). The
// programs are per-monitor DPI aware, so the system scales nothing for them:
// every size is scaled here by the DPI of the monitor the window is on.
constexpr UINT BASE_DPI = 96;
constexpr SIZE WINDOW_SIZE{420, 150};
// A caption without a system menu: no close, minimise or maximise box.
constexpr DWORD WINDOW_STYLE = WS_POPUP | WS_CAPTION;

struct Place {
    int x, y, width, height;
};
// The controls in client coordinates: label, progress bar, button.
constexpr Place LABEL_PLACE{28, 24, 364, 22};
constexpr Place BAR_PLACE{28, 54, 364, 14};
constexpr Place BUTTON_PLACE{274, 82, 118, 30};
constexpr std::array CONTROL_PLACES{LABEL_PLACE, BAR_PLACE, BUTTON_PLACE};
// The least client area: 8 pixels right of the label and below the button,
// should a system with a tall caption leave less inside 420x150.
constexpr SIZE LEAST_CLIENT{LABEL_PLACE.x + LABEL_PLACE.width + 8, BUTTON_PLACE.y + BUTTON_PLACE.height + 8};

// The per-monitor DPI functions of user32 (Windows 10 1607 on), looked up at
// run time so that the program still starts where one of them is missing (an
// older Wine). Without all three the window starts as the 96-DPI one:
// unscaled, its controls in their classes' default font.
struct DpiFunctions {
    UINT(WINAPI* dpi_for_window)(HWND) = nullptr;
    BOOL(WINAPI* adjust_window_rect)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
    BOOL(WINAPI* system_parameters)(UINT, UINT, void*, UINT, UINT) = nullptr;

    [[nodiscard]] bool available() const {
        return dpi_for_window != nullptr && adjust_window_rect != nullptr && system_parameters != nullptr;
    }
};

template <class Function>
void look_up(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const DpiFunctions& dpi_functions() {
    static const DpiFunctions functions = [] {
        DpiFunctions found;
        // Linked by the program, so already loaded.
        if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
            look_up(user32, "GetDpiForWindow", found.dpi_for_window);
            look_up(user32, "AdjustWindowRectExForDpi", found.adjust_window_rect);
            look_up(user32, "SystemParametersInfoForDpi", found.system_parameters);
        }
        return found;
    }();
    return functions;
}

// A GDI font, deleted exactly once.
struct FontTraits {
    static HFONT invalid() noexcept { return nullptr; }
    static void free(HFONT font) noexcept { DeleteObject(font); }
};
using UniqueFont = platform::ScopedGeneric<HFONT, FontTraits>;

int scaled(int pixels, UINT dpi) { return MulDiv(pixels, static_cast<int>(dpi), static_cast<int>(BASE_DPI)); }

UINT window_dpi(HWND window) {
    const DpiFunctions& functions = dpi_functions();
    const UINT dpi = functions.available() ? functions.dpi_for_window(window) : 0;
    return dpi != 0 ? dpi : BASE_DPI;
}

// Width and height of the caption and borders at `dpi`.
std::optional<SIZE> frame_size(UINT dpi) {
    const DpiFunctions& functions = dpi_functions();
    RECT frame{0, 0, 0, 0};
    if (!functions.available() || !functions.adjust_window_rect(&frame, WINDOW_STYLE, FALSE, 0, dpi)) {
        return std::nullopt;
    }
    return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

// The outer size at `dpi`: the client area that 420x150 leaves at 96 DPI,
// scaled, plus the frame at `dpi`. Caption and borders do not grow in
// proportion to the DPI, so scaling the outer size would give the controls a
// client area that is a few pixels too small or large.
SIZE window_size(UINT dpi) {
    const std::optional<SIZE> base_frame = frame_size(BASE_DPI);
    const std::optional<SIZE> frame = frame_size(dpi);
    if (!base_frame || !frame) return {scaled(WINDOW_SIZE.cx, dpi), scaled(WINDOW_SIZE.cy, dpi)};
    const int client_width = std::max(WINDOW_SIZE.cx - base_frame->cx, LEAST_CLIENT.cx);
    const int client_height = std::max(WINDOW_SIZE.cy - base_frame->cy, LEAST_CLIENT.cy);
    return {scaled(client_width, dpi) + frame->cx, scaled(client_height, dpi) + frame->cy};
}

// The system's message font at `dpi`, or none (the controls keep the font
// they have).
UniqueFont message_font(UINT dpi) {
    const DpiFunctions& functions = dpi_functions();
    if (!functions.available()) return {};
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!functions.system_parameters(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) return {};
    return UniqueFont(CreateFontIndirectW(&metrics.lfMessageFont));
}

// The window, its controls and the font they draw with: what the window
// procedure needs to follow a change of DPI. Lives as long as the message
// loop; the window refers to it through GWLP_USERDATA.
struct ProgressWindow {
    HWND window = nullptr;
    std::array<HWND, CONTROL_PLACES.size()> controls{};
    UniqueFont font;

    ProgressWindow() = default;
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;
    // A window left behind (a failure, a quit message) must not reach this
    // object through its procedure any more.
    ~ProgressWindow() {
        if (window != nullptr && IsWindow(window)) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    }
};

// Places the controls and gives them the message font for `dpi`. The old
// font is deleted only after every control has the new one.
void lay_out(ProgressWindow& progress, UINT dpi) {
    for (std::size_t i = 0; i < progress.controls.size(); ++i) {
        const Place& place = CONTROL_PLACES[i];
        SetWindowPos(progress.controls[i], nullptr, scaled(place.x, dpi), scaled(place.y, dpi),
                     scaled(place.width, dpi), scaled(place.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    }
    UniqueFont font = message_font(dpi);
    if (font.get() == nullptr) return;
    for (HWND control : progress.controls)
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    progress.font = std::move(font);
}

std::wstring wide(const std::string& text) { return path_from_utf8(text).native(); }

UpdateError creation_failure(const char* what) {
    return UpdateError::installation(std::string(what) + ": " +
                                     platform::windows_error_text(static_cast<std::int64_t>(GetLastError())));
}

// Centred on the primary screen, or at 0 where the screen is too small.
int centred(int screen, int size) { return screen > size ? (screen - size) / 2 : 0; }

LRESULT CALLBACK progress_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* progress = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        // No quit message: the helper stays in its message loop without a
        // window until the installing agent terminates it.
        case WM_DESTROY: return 0;
        // Moved to a monitor of another DPI, or the scaling changed: the
        // system asks for the size first, so that the rectangle it suggests
        // with WM_DPICHANGED has the client area the controls need.
        case WM_GETDPISCALEDSIZE:
            if (progress == nullptr) break;
            *reinterpret_cast<SIZE*>(lparam) = window_size(LOWORD(wparam));
            return TRUE;
        case WM_DPICHANGED: {
            if (progress == nullptr) break;
            const RECT& suggested = *reinterpret_cast<const RECT*>(lparam);
            SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                         suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
            lay_out(*progress, LOWORD(wparam));
            return 0;
        }
        // The last message, after the controls are gone: their font can go.
        case WM_NCDESTROY:
            if (progress == nullptr) break;
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            progress->font.reset();
            break;
        default: break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

Result<void> show_progress_window(const std::string& app_name, const std::filesystem::path&) {
    // Failures return at once and leave what exists: the process exits soon
    // after, through the failure report, and that takes the windows along.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    if (!InitCommonControlsEx(&controls)) {
        return fail(UpdateError::installation("initialize Windows progress control failed"));
    }

    HINSTANCE module = GetModuleHandleW(nullptr);
    if (module == nullptr) return fail(creation_failure("get updater module"));

    const std::wstring class_name = wide(PROGRESS_WINDOW_CLASS);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = progress_window_procedure;
    window_class.hInstance = module;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    window_class.lpszClassName = class_name.c_str();
    // A class registered earlier in this process serves just as well.
    (void)RegisterClassExW(&window_class);

    const std::wstring title = wide("Updating " + app_name);
    const int screen_width = GetSystemMetrics(SM_CXSCREEN);
    const int screen_height = GetSystemMetrics(SM_CYSCREEN);
    // 1. Created hidden at the 96-DPI size: the DPI that counts is that of
    //    the monitor the window is on, known once it exists.
    ProgressWindow progress;
    progress.window = CreateWindowExW(0, class_name.c_str(), title.c_str(), WINDOW_STYLE,
                                      centred(screen_width, WINDOW_SIZE.cx), centred(screen_height, WINDOW_SIZE.cy),
                                      WINDOW_SIZE.cx, WINDOW_SIZE.cy, nullptr, nullptr, module, nullptr);
    if (progress.window == nullptr) return fail(creation_failure("create progress window"));

    // 2. Sized for that DPI and centred again with that size.
    const UINT dpi = window_dpi(progress.window);
    const SIZE size = window_size(dpi);
    SetWindowPos(progress.window, nullptr, centred(screen_width, size.cx), centred(screen_height, size.cy), size.cx,
                 size.cy, SWP_NOZORDER | SWP_NOACTIVATE);

    // 3. The controls, without identifiers.
    const auto create_control = [&](const wchar_t* control_class, const wchar_t* text, DWORD style,
                                    const Place& place) {
        return CreateWindowExW(0, control_class, text, WS_CHILD | WS_VISIBLE | style, scaled(place.x, dpi),
                               scaled(place.y, dpi), scaled(place.width, dpi), scaled(place.height, dpi),
                               progress.window, nullptr, module, nullptr);
    };
    HWND label = create_control(L"STATIC", L"Installing update\u2026", SS_LEFT, LABEL_PLACE);
    if (label == nullptr) return fail(creation_failure("create progress label"));

    HWND bar = create_control(PROGRESS_CLASSW, L"", PBS_MARQUEE, BAR_PLACE);
    if (bar == nullptr) return fail(creation_failure("create progress bar"));
    // The control animates itself, one step every 30 ms.
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 30);

    HWND button = create_control(L"BUTTON", L"Cancel Update", WS_DISABLED | BS_PUSHBUTTON, BUTTON_PLACE);
    if (button == nullptr) return fail(creation_failure("create progress button"));

    // 4. The font for the DPI; from now on the procedure follows changes.
    progress.controls = {label, bar, button};
    lay_out(progress, dpi);
    SetWindowLongPtrW(progress.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&progress));

    ShowWindow(progress.window, SW_SHOW);
    (void)SetForegroundWindow(progress.window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) != 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return {};
}

}  // namespace tessaryndle::agent
