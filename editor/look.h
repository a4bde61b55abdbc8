// The look shared by the edit dialogs and the progress window: icon, fonts, bold labels, static colours.
#pragma once
#include <windows.h>

struct SharedDrawingObjects {
    HFONT messageFont = nullptr;
    HFONT boldFont = nullptr;
    HBRUSH helpBrush = nullptr;
};

// Creates the message font, its bold twin and the help-panel brush once per process.
const SharedDrawingObjects& EnsureSharedDrawingObjects();
// Icon resource 1 at side x side pixels, loaded once per size and kept; null when missing.
HICON PluginIcon(int side);
// First step of every dialog procedure; non-zero means handled, return it at once.
INT_PTR PreHandleDialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Paints the owner-drawn help panel (control 1037) of dialog `dialogId`.
void PaintHelpPanel(const DRAWITEMSTRUCT* item, int dialogId);

constexpr wchar_t kDialogIdProperty[] = L"DlgId";
