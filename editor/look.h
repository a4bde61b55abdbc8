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
// A GDI object per size, made by `make` the first time a size is asked for and kept for the process (up to N sizes).
template <typename Object, int N>
struct SizedObjectCache {
    Object objects[N] = {};
    int sizes[N] = {};

    template <typename Make>
    Object Get(int size, Make make) {
        for (int i = 0; i < N; ++i)
            if (objects[i] && sizes[i] == size) return objects[i];
        Object made = make(size);
        for (int i = 0; i < N && made; ++i)
            if (!objects[i]) {
                objects[i] = made;
                sizes[i] = size;
                break;
            }
        return made;
    }
};

// Icon resource 1 at side x side pixels, loaded once per size and kept; null when missing.
HICON PluginIcon(int side);
// First step of every dialog procedure; non-zero means handled, return it at once.
INT_PTR PreHandleDialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Paints the owner-drawn help panel (control 1037) of dialog `dialogId`.
void PaintHelpPanel(const DRAWITEMSTRUCT* item, int dialogId);

constexpr wchar_t kDialogIdProperty[] = L"DlgId";
