#include "async/progress.h"
#include "async/runner.h"

#include <windows.h>
#include <commctrl.h>

#include "editor/look.h"
#include "net/http.h"
#include "editor/resource.h"
#include "plugin/host.h"
#include "session/settings.h"

namespace {

HWND g_progress = nullptr;
// Foreground requests under way on the host's thread, and whether Cancel was pressed for the innermost.
int g_foregroundRequests = 0;
bool g_foregroundCancelled = false;

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
            // Cancel and Escape end the request the window shows: the blocking one, else the background job.
            if (LOWORD(wParam) == IDCANCEL) {
                if (g_foregroundRequests > 0) g_foregroundCancelled = true;
                else RequestCancel();
                return TRUE;
            }
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

ForegroundRequest::ForegroundRequest() : outerCancelled_(g_foregroundCancelled) {
    ++g_foregroundRequests;
    g_foregroundCancelled = false;
    SetHttpCancelCheck(ProgressCancelAsked);
}

ForegroundRequest::~ForegroundRequest() {
    --g_foregroundRequests;
    g_foregroundCancelled = outerCancelled_;
    SetHttpCancelCheck(g_foregroundRequests > 0 ? ProgressCancelAsked : nullptr);
}

bool ForegroundRequest::Cancelled() const { return g_foregroundCancelled; }

bool ProgressCancelAsked() {
    MSG msg;
    // Only the window's own messages (its children's too): the host's other windows wait, as for any blocking call.
    while (g_progress && PeekMessageW(&msg, g_progress, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageW(g_progress, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return g_foregroundRequests > 0 && g_foregroundCancelled;
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
