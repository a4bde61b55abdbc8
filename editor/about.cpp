// The dark about box: picture, title, providers and features.
#include <windows.h>

#include <cwchar>

#include "editor/editor.h"
#include "editor/look.h"
#include "editor/resource.h"
#include "plugin/host.h"

namespace {

const COLORREF kBackground = RGB(7, 7, 9);
const COLORREF kSection = RGB(100, 180, 255);
const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kBodyText = RGB(210, 210, 210);

struct AboutLook {
    HBRUSH background = nullptr;
    HFONT title = nullptr;
    HFONT body = nullptr;
    HFONT section = nullptr;
};

HFONT SegoeFont(int pixelHeight, int weight) {
    return CreateFontW(-pixelHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

// Created on first use and kept for the process.
const AboutLook& EnsureAboutLook() {
    static AboutLook look;
    if (!look.background) look.background = CreateSolidBrush(kBackground);
    if (!look.title) look.title = SegoeFont(16, FW_BOLD);
    if (!look.body) look.body = SegoeFont(11, FW_NORMAL);
    if (!look.section) look.section = SegoeFont(11, FW_BOLD);
    return look;
}

bool IsSectionHeader(HWND control) {
    wchar_t text[32] = {};
    GetWindowTextW(control, text, 32);
    return wcscmp(text, L"Supported Providers") == 0 || wcscmp(text, L"Features") == 0;
}

void SetFont(HWND control, HFONT font) { SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE); }

void CentreOverOwner(HWND dialog) {
    HWND owner = GetWindow(dialog, GW_OWNER);
    RECT area, box;
    if (!owner || !GetWindowRect(owner, &area)) GetWindowRect(GetDesktopWindow(), &area);
    GetWindowRect(dialog, &box);
    int x = area.left + ((area.right - area.left) - (box.right - box.left)) / 2;
    int y = area.top + ((area.bottom - area.top) - (box.bottom - box.top)) / 2;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Centred at its own size, so no filler colour shows around the picture.
void ShowPictureCentred(HWND dialog, HBITMAP picture) {
    HWND control = GetDlgItem(dialog, IDC_ABOUT_PICTURE);
    if (!control) return;
    RECT place;
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
    SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
    BITMAP info = {};
    GetObjectW(picture, sizeof info, &info);
    int x = place.left + ((place.right - place.left) - info.bmWidth) / 2;
    int y = place.top + ((place.bottom - place.top) - info.bmHeight) / 2;
    SetWindowPos(control, nullptr, x, y, info.bmWidth, info.bmHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

void InitAboutBox(HWND dialog) {
    const AboutLook& look = EnsureAboutLook();
    static HBITMAP picture = static_cast<HBITMAP>(
        LoadImageW(moduleInstance, MAKEINTRESOURCEW(IDB_ABOUT), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    if (picture) ShowPictureCentred(dialog, picture);
    if (HICON smallIcon = PluginIcon(GetSystemMetrics(SM_CXSMICON)))
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    if (HICON bigIcon = PluginIcon(GetSystemMetrics(SM_CXICON)))
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
    SetFont(GetDlgItem(dialog, IDC_ABOUT_TITLE), look.title);
    SetFont(GetDlgItem(dialog, IDC_ABOUT_SUBTITLE), look.body);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16] = {};
        GetClassNameW(child, cls, 16);
        int id = GetDlgCtrlID(child);
        if (wcscmp(cls, L"Static") != 0 || id == IDC_ABOUT_PICTURE || id == IDC_ABOUT_TITLE) continue;
        SetFont(child, IsSectionHeader(child) ? look.section : look.body);
    }
    CentreOverOwner(dialog);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
            case WM_INITDIALOG:
                InitAboutBox(dialog);
                return TRUE;
            case WM_CTLCOLORSTATIC: {
                HDC dc = reinterpret_cast<HDC>(wParam);
                HWND control = reinterpret_cast<HWND>(lParam);
                int id = GetDlgCtrlID(control);
                COLORREF colour = IsSectionHeader(control) ? kSection : id == IDC_ABOUT_AUTHOR ? kWhite : kBodyText;
                if (id == IDC_ABOUT_TITLE) colour = kWhite;
                SetTextColor(dc, colour);
                SetBkColor(dc, kBackground);
                SetBkMode(dc, TRANSPARENT);
                return reinterpret_cast<INT_PTR>(EnsureAboutLook().background);
            }
            case WM_CTLCOLORDLG:
                return reinterpret_cast<INT_PTR>(EnsureAboutLook().background);
            case WM_COMMAND:
                if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                    EndDialog(dialog, LOWORD(wParam));
                    return TRUE;
                }
                break;
        }
    } catch (...) {
        // Nothing may unwind through the system's dialog manager.
    }
    return FALSE;
}

}  // namespace

void ShowAboutBox() {
    HWND owner = GetActiveWindow();
    if (!owner) owner = hostWindow;
    DialogBoxParamW(moduleInstance, MAKEINTRESOURCEW(IDD_ABOUT), owner, AboutProc, 0);
}
