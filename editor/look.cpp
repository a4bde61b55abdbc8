#include "editor/look.h"

#include <cstring>

#include "editor/resource.h"
#include "plugin/host.h"

namespace {

SharedDrawingObjects g_objects;

bool IsFixedRoleControl(int id) {
    return id == IDC_PRODUCT_LABEL || id == IDC_WARNING || id == IDC_HELP_PANEL || id == IDC_ICON;
}

BOOL CALLBACK SetFontOnChild(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}

// Short field labels are bold; long texts and the product's own lines are not.
void EmboldenLabels(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16] = {};
        GetClassNameW(child, cls, 16);
        if (wcscmp(cls, L"Static") != 0) continue;
        if (IsFixedRoleControl(GetDlgCtrlID(child))) continue;
        char text[64] = {};
        int n = GetWindowTextA(child, text, 64);
        if (n < 1 || n > 39) continue;
        if (strstr(text, "Plugin") || strstr(text, "Marrowby")) continue;
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_objects.boldFont), TRUE);
    }
}

}  // namespace

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
            HICON icon = LoadIconW(moduleInstance, MAKEINTRESOURCEW(IDI_PARLY));
            if (icon) {
                if (HWND iconControl = GetDlgItem(dialog, IDC_ICON))
                    SendMessageW(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
                SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            }
            EnsureSharedDrawingObjects();
            EnumChildWindows(dialog, SetFontOnChild, reinterpret_cast<LPARAM>(g_objects.messageFont));
            EmboldenLabels(dialog);
            return 0;
        }
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            if (id == IDC_HELP_PANEL || id == IDC_ICON) return 0;
            if (id == IDC_WARNING) SetTextColor(dc, RGB(180, 0, 0));
            if (id == IDC_PRODUCT_LABEL) SetTextColor(dc, RGB(100, 100, 100));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
    }
    return 0;
}
