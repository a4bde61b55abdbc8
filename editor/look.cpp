#include "editor/look.h"

#include <cwchar>

#include "editor/resource.h"
#include "plugin/host.h"

namespace {

SharedDrawingObjects g_objects;

bool IsFixedRoleControl(int id) {
    return id == IDC_PRODUCT_LABEL || id == IDC_WARNING || id == IDC_HELP_PANEL || id == IDC_PLUGIN_ICON;
}

BOOL CALLBACK SetFontOnChild(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}

RECT RectInParent(HWND dialog, HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

int TextWidth(HWND control, HFONT font, const wchar_t* text, int length) {
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size = {};
    GetTextExtentPoint32W(dc, text, length, &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx;
}

// Bold text can outgrow its label: grow into free space to the right, else stay regular rather than be cut.
void FitBoldLabel(HWND dialog, HWND label, const wchar_t* text, int length) {
    RECT box = RectInParent(dialog, label);
    int needed = TextWidth(label, g_objects.boldFont, text, length);
    if (needed <= box.right - box.left) return;
    RECT grown = box;
    grown.right = box.left + needed;
    RECT client;
    GetClientRect(dialog, &client);
    bool room = grown.right <= client.right;
    for (HWND other = GetWindow(dialog, GW_CHILD); other && room; other = GetWindow(other, GW_HWNDNEXT)) {
        RECT r = RectInParent(dialog, other), overlap;
        if (other != label && IntersectRect(&overlap, &grown, &r)) room = false;
    }
    if (room)
        SetWindowPos(label, nullptr, 0, 0, needed, box.bottom - box.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    else
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(g_objects.messageFont), TRUE);
}

// Short field labels are bold; long texts and the product's own lines are not.
void EmboldenLabels(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16] = {};
        GetClassNameW(child, cls, 16);
        if (wcscmp(cls, L"Static") != 0) continue;
        if (IsFixedRoleControl(GetDlgCtrlID(child))) continue;
        wchar_t text[64] = {};
        int n = GetWindowTextW(child, text, 64);
        if (n < 1 || n > 39) continue;
        if (wcsstr(text, L"Plugin") || wcsstr(text, L"Marrowby")) continue;
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_objects.boldFont), TRUE);
        FitBoldLabel(dialog, child, text, n);
    }
}

// The icon control keeps its template size, so the picture is loaded at the size that fits it.
void SetPluginIcons(HWND dialog) {
    if (HWND iconControl = GetDlgItem(dialog, IDC_PLUGIN_ICON)) {
        RECT r = {};
        GetClientRect(iconControl, &r);
        int side = r.right < r.bottom ? r.right : r.bottom;
        if (HICON icon = side > 0 ? PluginIcon(side) : nullptr)
            SendMessageW(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    }
    if (HICON smallIcon = PluginIcon(GetSystemMetrics(SM_CXSMICON)))
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}

}  // namespace

HICON PluginIcon(int side) {
    static SizedObjectCache<HICON, 3> icons;
    return icons.Get(side, [](int s) {
        return static_cast<HICON>(LoadImageW(moduleInstance, MAKEINTRESOURCEW(IDI_PARLY), IMAGE_ICON, s, s, 0));
    });
}

const SharedDrawingObjects& EnsureSharedDrawingObjects() {
    if (!g_objects.messageFont) {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof metrics;
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        g_objects.messageFont = CreateFontIndirectW(&metrics.lfMessageFont);
        LOGFONTW bold = metrics.lfMessageFont;
        bold.lfWeight = FW_BOLD;
        g_objects.boldFont = CreateFontIndirectW(&bold);
    }
    if (!g_objects.helpBrush) g_objects.helpBrush = CreateSolidBrush(RGB(255, 253, 217));
    return g_objects;
}

INT_PTR PreHandleDialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DRAWITEM: {
            auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (!item || item->CtlID != IDC_HELP_PANEL) return 0;
            PaintHelpPanel(item, static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(dialog, kDialogIdProperty))));
            return 1;
        }
        case WM_INITDIALOG: {
            SetPluginIcons(dialog);
            EnsureSharedDrawingObjects();
            EnumChildWindows(dialog, SetFontOnChild, reinterpret_cast<LPARAM>(g_objects.messageFont));
            EmboldenLabels(dialog);
            return 0;
        }
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            if (id == IDC_HELP_PANEL || id == IDC_PLUGIN_ICON) return 0;
            if (id == IDC_WARNING) SetTextColor(dc, RGB(180, 0, 0));
            if (id == IDC_PRODUCT_LABEL) SetTextColor(dc, RGB(100, 100, 100));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
    }
    return 0;
}
