#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <string>

#include "agent/modes.h"
#include "agent/progress.h"
#include "platform/os_error.h"

namespace tessaryndle::agent {
namespace {

constexpr int WINDOW_WIDTH = 420;
constexpr int WINDOW_HEIGHT = 150;

std::wstring wide(const std::string& text) { return path_from_utf8(text).native(); }

UpdateError creation_failure(const char* what) {
    return UpdateError::installation(std::string(what) + ": " +
                                     platform::windows_error_text(static_cast<std::int64_t>(GetLastError())));
}

// Centred on the primary screen, or at 0 where the screen is too small.
int centred(int screen, int size) { return screen > size ? (screen - size) / 2 : 0; }

LRESULT CALLBACK progress_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // No quit message: the helper stays in its message loop without a window
    // until the installing agent terminates it.
    if (message == WM_DESTROY) return 0;
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
    const int x = centred(GetSystemMetrics(SM_CXSCREEN), WINDOW_WIDTH);
    const int y = centred(GetSystemMetrics(SM_CYSCREEN), WINDOW_HEIGHT);
    // A caption without a system menu: no close, minimise or maximise box.
    HWND window = CreateWindowExW(0, class_name.c_str(), title.c_str(), WS_POPUP | WS_VISIBLE | WS_CAPTION, x, y,
                                  WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, module, nullptr);
    if (window == nullptr) return fail(creation_failure("create progress window"));

    // Children in client coordinates, without identifiers or fonts of their own.
    HWND label = CreateWindowExW(0, L"STATIC", L"Installing update\u2026", WS_CHILD | WS_VISIBLE | SS_LEFT, 28, 24, 364,
                                 22, window, nullptr, module, nullptr);
    if (label == nullptr) return fail(creation_failure("create progress label"));

    HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 28, 54, 364, 14, window,
                               nullptr, module, nullptr);
    if (bar == nullptr) return fail(creation_failure("create progress bar"));
    // The control animates itself, one step every 30 ms.
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 30);

    HWND button = CreateWindowExW(0, L"BUTTON", L"Cancel Update", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON,
                                  274, 82, 118, 30, window, nullptr, module, nullptr);
    if (button == nullptr) return fail(creation_failure("create progress button"));

    ShowWindow(window, SW_SHOW);
    (void)SetForegroundWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) != 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return {};
}

}  // namespace tessaryndle::agent
