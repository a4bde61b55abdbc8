#include "async/progress.h"
#include "async/runner.h"

#include <windows.h>
#include <commctrl.h>

#include "editor/look.h"
#include "editor/resource.h"
#include "plugin/host.h"
#include "session/settings.h"

namespace {

HWND g_progress = nullptr;

// Moves `window` so its centre sits over the host's main window.
void CentreOverHost(HWND window, UINT extraFlags, HWND insertAfter) {
    RECT h, w;
    if (!hostWindow || !GetWindowRect(hostWindow, &h) || !GetWindowRect(window, &w)) return;
    int x = h.left + ((h.right - h.left) - (w.right - w.left)) / 2;
    int y = h.top + ((h.bottom - h.top) - (w.bottom - w.top)) / 2;
    SetWindowPos(window, insertAfter, x, y, 0, 0, SWP_NOSIZE | extraFlags);
}

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    InsideOurWindow inside;
    if (INT_PTR handled = PreHandleDialogMessage(dialog, message, wParam, lParam)) return handled;
    switch (message) {
        case WM_INITDIALOG:
            CentreOverHost(dialog, SWP_NOZORDER, nullptr);
            InvalidateRect(dialog, nullptr, TRUE);
            return TRUE;
        case WM_COMMAND:
            // Cancel and Escape leave the request running; scripts cancel with ParlyCancel.
            if (LOWORD(wParam) == IDCANCEL) return TRUE;
            break;
    }
    return FALSE;
}

}  // namespace

bool ProgressWanted() {
    std::lock_guard<std::mutex> hold(SessionLock());
    return g_session.settings.showProgress;
}

void ShowProgress(const std::string& text) {
    if (!ProgressWanted() || g_progress) return;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND dialog = CreateDialogParamW(moduleInstance, MAKEINTRESOURCEW(IDD_PROGRESS), hostWindow, ProgressProc, 0);
    if (!dialog) return;
    g_progress = dialog;
    SetDlgItemTextA(dialog, IDC_PROGRESS_TEXT, text.c_str());
    if (HWND bar = GetDlgItem(dialog, IDC_PROGRESS_BAR)) SendMessageW(bar, PBM_SETMARQUEE, TRUE, 30);
    CentreOverHost(dialog, 0, HWND_TOPMOST);
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
}

void CloseProgress() {
    if (!g_progress) return;
    HWND dialog = g_progress;
    g_progress = nullptr;
    DestroyWindow(dialog);
}

HWND TakeProgressWindow() {
    HWND dialog = g_progress;
    g_progress = nullptr;
    return dialog;
}

bool PumpHostMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The host is closing: hand the quit back to its own loop and stop typing.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}
