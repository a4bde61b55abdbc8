// The edit dialogs: templates, filling from the host's slots, writing back on OK, and their special controls.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cstring>

#include "editor/look.h"
#include "editor/resource.h"
#include "editor/services.h"
#include "plugin/catalogue.h"
#include "tests/win/test_editor_driver.h"

using namespace driver;

namespace {

enum Kind { Label, SingleEdit, PasswordEdit, NumberEdit, MultiEdit, DropList, DropEdit, CheckBox, Button, Trackbar };

struct Ctl {
    int id;
    Kind kind;
    const char* text;
    int x, y, w, h;
};

struct Footer {
    int hx, hy, hw, hh;  // help panel
    int iy;              // icon and product label row
    int okx, oky;
};

struct Golden {
    int dialogId;
    const char* caption;
    int w, h;
    std::vector<Ctl> controls;
    Footer footer;
};

const std::vector<Golden> kDialogs = {
    {101, "Parly Initialize - Select Provider", 305, 215,
     {{-1, Label, "Provider:", 10, 14, 40, 8},
      {1001, DropList, "", 75, 12, 120, 100},
      {-1, Label, "API Key:", 10, 34, 40, 8},
      {1002, PasswordEdit, "", 75, 32, 185, 14},
      {1003, CheckBox, "", 265, 34, 12, 12},
      {-1, Label, "Status Variable:", 10, 54, 55, 8},
      {1004, SingleEdit, "", 75, 52, 100, 14},
      {1039, Button, "...", 180, 52, 20, 14},
      {1044, Button, "Test Connection", 210, 52, 85, 14},
      {1036, Label, "API key will be embedded in compiled app. Only include if distributing to trusted users.", 10,
       136, 285, 16}},
     {10, 74, 285, 55, 163, 190, 165}},
    {102, "Parly Set Endpoint", 295, 135,
     {{-1, Label, "Endpoint URL:", 10, 14, 50, 8}, {1005, SingleEdit, "", 70, 12, 215, 14}},
     {10, 34, 275, 55, 100, 180, 102}},
    {103, "Parly Set Model", 310, 185,
     {{-1, Label, "Model:", 10, 14, 30, 8}, {1006, DropEdit, "", 50, 12, 150, 200}},
     {10, 34, 290, 105, 148, 195, 150}},
    {104, "Parly Set System Prompt", 320, 215,
     {{-1, Label, "System Prompt:", 10, 10, 60, 8}, {1007, MultiEdit, "", 10, 22, 300, 100}},
     {10, 128, 300, 40, 178, 205, 180}},
    {105, "Parly Set Temperature", 260, 140,
     {{-1, Label, "Temperature:", 10, 14, 50, 8},
      {1008, SingleEdit, "", 70, 12, 50, 14},
      {-1, Label, "(0.0 - 2.0)", 125, 14, 40, 8},
      {1009, Trackbar, "", 10, 32, 170, 15},
      {-1, Label, "Focused", 10, 48, 30, 8},
      {-1, Label, "Creative", 155, 48, 30, 8}},
     {10, 62, 240, 35, 108, 145, 110}},
    {106, "Parly Set Max Tokens", 260, 135,
     {{-1, Label, "Max Tokens:", 10, 14, 50, 8}, {1010, NumberEdit, "", 70, 12, 60, 14}},
     {10, 34, 240, 55, 100, 145, 102}},
    {107, "Parly Set Multiline Mode", 260, 125,
     {{-1, Label, "Multiline Mode:", 10, 14, 55, 8}, {1011, DropList, "", 75, 12, 80, 50}},
     {10, 34, 240, 45, 90, 145, 92}},
    {108, "Parly Send Message", 320, 220,
     {{-1, Label, "Prompt (or variable):", 10, 10, 80, 8},
      {1012, MultiEdit, "", 10, 22, 300, 95},
      {-1, Label, "Result Variable:", 10, 124, 55, 8},
      {1013, SingleEdit, "", 75, 122, 100, 14},
      {1039, Button, "...", 180, 122, 20, 14}},
     {10, 142, 300, 38, 190, 205, 192}},
    {109, "Parly Get Error", 260, 115,
     {{-1, Label, "Error Variable:", 10, 14, 55, 8},
      {1014, SingleEdit, "", 75, 12, 100, 14},
      {1039, Button, "...", 180, 12, 20, 14}},
     {10, 34, 240, 38, 82, 145, 84}},
    {110, "Parly Get Models", 260, 115,
     {{-1, Label, "Result Variable:", 10, 14, 55, 8},
      {1015, SingleEdit, "", 75, 12, 100, 14},
      {1039, Button, "...", 180, 12, 20, 14}},
     {10, 34, 240, 38, 82, 145, 84}},
    {111, "Parly Set Timeout", 260, 130,
     {{-1, Label, "Timeout (seconds):", 10, 14, 70, 8}, {1016, NumberEdit, "", 90, 12, 50, 14}},
     {10, 34, 240, 50, 95, 145, 97}},
    {112, "Parly Generate Image", 340, 225,
     {{-1, Label, "Image Description (Prompt):", 10, 10, 100, 8},
      {1017, MultiEdit, "", 10, 22, 320, 55},
      {-1, Label, "Save to File:", 10, 84, 45, 8},
      {1018, SingleEdit, "", 60, 82, 205, 14},
      {1019, Button, "Browse...", 270, 82, 60, 14},
      {-1, Label, "Size:", 10, 104, 20, 8},
      {1020, DropList, "", 35, 102, 80, 80},
      {-1, Label, "Status Variable:", 130, 104, 55, 8},
      {1021, SingleEdit, "", 190, 102, 80, 14},
      {1039, Button, "...", 275, 102, 20, 14}},
     {10, 122, 320, 55, 188, 225, 190}},
    {114, "Parly Send Message (Async)", 320, 235,
     {{-1, Label, "Prompt (or variable):", 10, 10, 80, 8},
      {1012, MultiEdit, "", 10, 22, 300, 75},
      {-1, Label, "Result Variable:", 10, 104, 55, 8},
      {1013, SingleEdit, "", 75, 102, 100, 14},
      {1039, Button, "...", 180, 102, 20, 14},
      {-1, Label, "Callback Subroutine:", 10, 124, 70, 8},
      {1029, SingleEdit, "", 85, 122, 100, 14}},
     {10, 142, 300, 48, 200, 205, 202}},
    {115, "Parly Generate Image (Async)", 340, 245,
     {{-1, Label, "Image Description (Prompt):", 10, 10, 100, 8},
      {1017, MultiEdit, "", 10, 22, 320, 50},
      {-1, Label, "Save to File:", 10, 80, 45, 8},
      {1018, SingleEdit, "", 60, 78, 205, 14},
      {1019, Button, "Browse...", 270, 78, 60, 14},
      {-1, Label, "Size:", 10, 100, 20, 8},
      {1020, DropList, "", 35, 98, 80, 80},
      {-1, Label, "Status Variable:", 130, 100, 55, 8},
      {1021, SingleEdit, "", 190, 98, 80, 14},
      {1039, Button, "...", 275, 98, 20, 14},
      {-1, Label, "Callback Subroutine:", 10, 120, 70, 8},
      {1029, SingleEdit, "", 85, 118, 100, 14}},
     {10, 138, 320, 58, 208, 225, 210}},
    {116, "Parly Is Busy", 260, 115,
     {{-1, Label, "Result Variable:", 10, 14, 55, 8},
      {1030, SingleEdit, "", 75, 12, 100, 14},
      {1039, Button, "...", 180, 12, 20, 14}},
     {10, 34, 240, 38, 82, 145, 84}},
    {118, "Parly Set Progress Indicator", 260, 115,
     {{-1, Label, "Show Progress:", 10, 14, 55, 8}, {1034, DropList, "", 75, 12, 80, 50}},
     {10, 34, 240, 38, 82, 145, 84}},
    {119, "Parly Set Streaming Mode", 290, 140,
     {{-1, Label, "Enable Streaming:", 10, 14, 65, 8},
      {1034, DropList, "", 80, 12, 80, 50},
      {-1, Label, "Target Variable:", 10, 34, 55, 8},
      {1035, SingleEdit, "", 80, 32, 100, 14},
      {1039, Button, "...", 185, 32, 20, 14}},
     {10, 52, 270, 45, 108, 175, 110}},
    {120, "Parly Get Embedding", 320, 195,
     {{-1, Label, "Text to embed:", 10, 10, 60, 8},
      {1047, MultiEdit, "", 10, 22, 300, 65},
      {-1, Label, "Result Variable:", 10, 94, 55, 8},
      {1048, SingleEdit, "", 75, 92, 100, 14},
      {1039, Button, "...", 180, 92, 20, 14}},
     {10, 112, 300, 42, 163, 205, 165}},
    {121, "Parly Send With Document", 340, 240,
     {{-1, Label, "Document File:", 10, 10, 55, 8},
      {1045, SingleEdit, "", 70, 8, 200, 14},
      {1046, Button, "Browse...", 275, 8, 55, 14},
      {-1, Label, "Prompt (or variable):", 10, 30, 80, 8},
      {1012, MultiEdit, "", 10, 42, 320, 75},
      {-1, Label, "Result Variable:", 10, 124, 55, 8},
      {1013, SingleEdit, "", 75, 122, 100, 14},
      {1039, Button, "...", 180, 122, 20, 14}},
     {10, 142, 320, 52, 204, 225, 206}},
    {122, "Parly Send With Image", 340, 240,
     {{-1, Label, "Image File:", 10, 10, 55, 8},
      {1049, SingleEdit, "", 70, 8, 200, 14},
      {1050, Button, "Browse...", 275, 8, 55, 14},
      {-1, Label, "Prompt (or variable):", 10, 30, 80, 8},
      {1012, MultiEdit, "", 10, 42, 320, 75},
      {-1, Label, "Result Variable:", 10, 124, 55, 8},
      {1013, SingleEdit, "", 75, 122, 100, 14},
      {1039, Button, "...", 180, 122, 20, 14}},
     {10, 142, 320, 52, 204, 225, 206}},
    {123, "Parly Get Usage", 280, 160,
     {{-1, Label, "Input Tokens:", 10, 14, 60, 8},
      {1051, SingleEdit, "", 75, 12, 100, 14},
      {1039, Button, "...", 180, 12, 20, 14},
      {-1, Label, "Output Tokens:", 10, 34, 60, 8},
      {1052, SingleEdit, "", 75, 32, 100, 14},
      {1054, Button, "...", 180, 32, 20, 14},
      {-1, Label, "Stop Reason:", 10, 54, 60, 8},
      {1053, SingleEdit, "", 75, 52, 100, 14},
      {1055, Button, "...", 180, 52, 20, 14}},
     {10, 74, 260, 52, 136, 165, 138}},
    {124, "Parly Save History", 300, 145,
     {{-1, Label, "History File:", 10, 14, 55, 8},
      {1056, SingleEdit, "", 75, 12, 155, 14},
      {1057, Button, "Browse...", 235, 12, 55, 14},
      {-1, Label, "Status Variable:", 10, 34, 60, 8},
      {1058, SingleEdit, "", 75, 32, 100, 14},
      {1039, Button, "...", 180, 32, 20, 14}},
     {10, 54, 280, 52, 118, 185, 120}},
    {125, "Parly Load History", 300, 145,
     {{-1, Label, "History File:", 10, 14, 55, 8},
      {1056, SingleEdit, "", 75, 12, 155, 14},
      {1057, Button, "Browse...", 235, 12, 55, 14},
      {-1, Label, "Status Variable:", 10, 34, 60, 8},
      {1058, SingleEdit, "", 75, 32, 100, 14},
      {1039, Button, "...", 180, 32, 20, 14}},
     {10, 54, 280, 52, 118, 185, 120}},
};

// Every action with a dialog, and the dialog it opens.
const std::vector<std::pair<int, int>> kActionDialogs = {
    {1, 101},  {2, 102},  {3, 103},  {4, 104},  {5, 105},  {6, 106},  {7, 107},
    {8, 108},  {10, 109}, {11, 110}, {12, 111}, {13, 112}, {14, 114}, {15, 115},
    {17, 116}, {18, 118}, {19, 119}, {20, 108}, {23, 120}, {24, 121},
    {25, 122}, {26, 123}, {27, 124}, {28, 125},
};

const Golden& GoldenFor(int dialogId) {
    for (const Golden& g : kDialogs)
        if (g.dialogId == dialogId) return g;
    throw std::runtime_error("no golden dialog");
}

int ParameterCount(int actionId) { return FindAction(actionId)->count; }

using Editor = InProcessEditor;

std::string ClassOf(HWND window) {
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    return WideToUtf8(cls);
}

// As the dialog manager places a control: position and size are converted separately.
RECT DialogUnitsToPixels(HWND dialog, int x, int y, int w, int h) {
    RECT r = {x, y, w, h};
    MapDialogRect(dialog, &r);
    return {r.left, r.top, r.left + r.right, r.top + r.bottom};
}

RECT RectInDialog(HWND dialog, HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string Describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "-" + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

// Pixel width of a control's text in the font it draws with.
int TextWidth(HWND control) {
    std::wstring text = Utf8ToWide(Text(control));
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size = {};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx;
}

struct Seen {
    std::string caption;
    int dlgIdProperty = 0;
    std::vector<std::string> problems;
};

void Problem(Seen& seen, const std::string& what) { seen.problems.push_back(what); }

// Checks one control's class, style, text and rectangle against the template table.
void CheckControl(HWND dialog, HWND control, const Ctl& c, Seen& seen) {
    std::string where = "control " + std::to_string(c.id) + " \"" + c.text + "\": ";
    LONG style = GetWindowLongW(control, GWL_STYLE);
    std::string cls = ClassOf(control);
    auto expectClass = [&](const char* name) {
        if (_stricmp(cls.c_str(), name) != 0) Problem(seen, where + "class " + cls + ", expected " + name);
    };
    switch (c.kind) {
        case Label:
            expectClass("Static");
            if ((style & SS_TYPEMASK) != SS_LEFT) Problem(seen, where + "not a left-aligned text");
            break;
        case SingleEdit:
        case PasswordEdit:
        case NumberEdit:
            expectClass("Edit");
            if (style & ES_MULTILINE) Problem(seen, where + "multi-line");
            if (((style & ES_PASSWORD) != 0) != (c.kind == PasswordEdit)) Problem(seen, where + "password style");
            if (((style & ES_NUMBER) != 0) != (c.kind == NumberEdit)) Problem(seen, where + "digits-only style");
            break;
        case MultiEdit:
            expectClass("Edit");
            if ((style & (ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL)) != (ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL))
                Problem(seen, where + "not multi-line with Enter and a vertical scroll bar");
            break;
        case DropList:
        case DropEdit:
            expectClass("ComboBox");
            if ((style & 3) != (c.kind == DropList ? CBS_DROPDOWNLIST : CBS_DROPDOWN))
                Problem(seen, where + "wrong drop-down kind");
            break;
        case CheckBox:
            expectClass("Button");
            if ((style & BS_TYPEMASK) != BS_AUTOCHECKBOX && (style & BS_TYPEMASK) != BS_CHECKBOX)
                Problem(seen, where + "not a check box");
            break;
        case Button:
            expectClass("Button");
            if ((style & BS_TYPEMASK) != BS_PUSHBUTTON) Problem(seen, where + "not a push button");
            break;
        case Trackbar:
            expectClass("msctls_trackbar32");
            if (!(style & TBS_NOTICKS)) Problem(seen, where + "has ticks");
            break;
    }
    if (c.kind == Label || c.kind == Button || c.kind == CheckBox) {
        std::string text = Text(control);
        if (text != c.text) Problem(seen, where + "text \"" + text + "\"");
    }
    RECT want = DialogUnitsToPixels(dialog, c.x, c.y, c.w, c.h);
    RECT got = RectInDialog(dialog, control);
    if (c.kind == DropList || c.kind == DropEdit) {
        // The template height is the dropped-down extent; Wine reports it without the edit line and borders.
        RECT dropped = {};
        SendMessageW(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
        int list = dropped.bottom - dropped.top, high = want.bottom - want.top;
        int extent = list == high ? list : (got.bottom - got.top) + list;
        if (extent != high && high - extent <= 2 * GetSystemMetrics(SM_CYBORDER) * 2) extent = high;
        got.bottom = got.top + extent;
    }
    if (c.kind == Label && got.right > want.right && got.right - got.left == TextWidth(control)) {
        // A bold label may grow to its text's width where the space to its right is free.
        got.right = want.right;
    }
    if (!EqualRect(&want, &got)) Problem(seen, where + "at " + Describe(got) + ", expected " + Describe(want));
}

HWND FindLabel(HWND dialog, const char* text) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (GetDlgCtrlID(child) == 0xFFFF || GetDlgCtrlID(child) == -1)
            if (Text(child) == text) return child;
    return nullptr;
}

void CheckDialog(HWND dialog, const Golden& g, Seen& seen) {
    seen.caption = Text(dialog);
    seen.dlgIdProperty = static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(dialog, kDialogIdProperty)));
    LONG style = GetWindowLongW(dialog, GWL_STYLE);
    if ((style & (WS_POPUP | WS_CAPTION | WS_SYSMENU)) != (WS_POPUP | WS_CAPTION | WS_SYSMENU))
        Problem(seen, "dialog is not a popup with caption and system menu");
    if (!(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME)) Problem(seen, "dialog has no modal frame");
    RECT client;
    GetClientRect(dialog, &client);
    RECT size = DialogUnitsToPixels(dialog, 0, 0, g.w, g.h);
    if (client.right != size.right || client.bottom != size.bottom)
        Problem(seen, "client size " + Describe(client) + ", expected " + Describe(size));

    std::vector<Ctl> all = g.controls;
    const Footer& f = g.footer;
    all.push_back({IDC_PRODUCT_LABEL, Label, "Parly Plugin v2.0\nLLM actions for your scripts", 32, f.iy, 150, 18});
    all.push_back({IDOK, Button, "OK", f.okx, f.oky, 50, 14});
    all.push_back({IDCANCEL, Button, "Cancel", f.okx + 55, f.oky, 50, 14});
    for (const Ctl& c : all) {
        HWND control = c.id == -1 ? FindLabel(dialog, c.text) : GetDlgItem(dialog, c.id);
        if (!control) {
            Problem(seen, "missing control " + std::to_string(c.id) + " \"" + c.text + "\"");
            continue;
        }
        if (c.id == IDOK) {
            // The default button keeps its default style while the focus is on a field.
            if ((GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) != BS_DEFPUSHBUTTON)
                Problem(seen, "OK is not the default button");
            RECT want = DialogUnitsToPixels(dialog, c.x, c.y, c.w, c.h), got = RectInDialog(dialog, control);
            if (!EqualRect(&want, &got)) Problem(seen, "OK at " + Describe(got) + ", expected " + Describe(want));
            continue;
        }
        CheckControl(dialog, control, c, seen);
    }

    HWND help = GetDlgItem(dialog, IDC_HELP_PANEL);
    RECT want = DialogUnitsToPixels(dialog, f.hx, f.hy, f.hw, f.hh);
    RECT got = help ? RectInDialog(dialog, help) : RECT{};
    if (!help || ClassOf(help) != "Static" || (GetWindowLongW(help, GWL_STYLE) & SS_TYPEMASK) != SS_OWNERDRAW)
        Problem(seen, "help panel is not an owner-drawn static");
    else if (!EqualRect(&want, &got))
        Problem(seen, "help panel at " + Describe(got) + ", expected " + Describe(want));

    HWND icon = GetDlgItem(dialog, IDC_PLUGIN_ICON);
    want = DialogUnitsToPixels(dialog, 10, f.iy, 16, 16);
    got = icon ? RectInDialog(dialog, icon) : RECT{};
    if (!icon || (GetWindowLongW(icon, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
        Problem(seen, "icon control missing or not an icon");
    else if (!EqualRect(&want, &got))
        Problem(seen, "icon at " + Describe(got) + ", expected " + Describe(want));
    else if (!SendMessageW(icon, STM_GETICON, 0, 0))
        Problem(seen, "icon control shows no icon");

    size_t children = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) ++children;
    if (children != g.controls.size() + 5)
        Problem(seen, "has " + std::to_string(children) + " controls, expected " + std::to_string(g.controls.size() + 5));
}

TEST_F(Editor, EveryActionOpensItsDialogWithTheTemplateLayout) {
    for (auto [action, dialogId] : kActionDialogs) {
        SCOPED_TRACE("action " + std::to_string(action) + ", dialog " + std::to_string(dialogId));
        const Golden& g = GoldenFor(dialogId);
        Slots slots(std::vector<Param>(ParameterCount(action), kAbsent));
        Seen seen;
        bool result = Edit(action, slots, [&](HWND d) {
            CheckDialog(d, g, seen);
            Click(d, IDCANCEL);
        });
        EXPECT_FALSE(result);
        EXPECT_EQ(seen.caption, g.caption);
        EXPECT_EQ(seen.dlgIdProperty, dialogId);
        for (const std::string& p : seen.problems) ADD_FAILURE() << p;
    }
}

// Bold weight of the font a control draws with.
int Weight(HWND control) {
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW lf = {};
    if (!font || !GetObjectW(font, sizeof lf, &lf)) return -1;
    return lf.lfWeight;
}

TEST_F(Editor, FieldLabelsAreBoldWhileLongTextsAndTheProductLabelAreNot) {
    int model = 0, product = 0, warning = 0, apiKey = 0, edit = 0;
    Slots slots({kAbsent});
    Edit(3, slots, [&](HWND d) {
        model = Weight(FindLabel(d, "Model:"));
        product = Weight(GetDlgItem(d, IDC_PRODUCT_LABEL));
        Click(d, IDCANCEL);
    });
    Slots init({kAbsent, kAbsent, kAbsent});
    Edit(1, init, [&](HWND d) {
        warning = Weight(GetDlgItem(d, IDC_WARNING));
        apiKey = Weight(FindLabel(d, "API Key:"));
        edit = Weight(GetDlgItem(d, 1004));
        Click(d, IDCANCEL);
    });
    EXPECT_EQ(model, FW_BOLD);
    EXPECT_EQ(apiKey, FW_BOLD);
    EXPECT_LT(product, FW_BOLD);
    EXPECT_LT(warning, FW_BOLD);
    EXPECT_LT(edit, FW_BOLD);
}

TEST_F(Editor, EveryFieldLabelShowsItsWholeTextOnOneLine) {
    for (auto [action, dialogId] : kActionDialogs) {
        std::vector<std::string> clipped;
        Slots slots(std::vector<Param>(ParameterCount(action), kAbsent));
        Edit(action, slots, [&](HWND d) {
            for (const Ctl& c : GoldenFor(dialogId).controls) {
                if (c.kind != Label || c.id != -1) continue;
                HWND label = FindLabel(d, c.text);
                RECT r;
                GetClientRect(label, &r);
                if (TextWidth(label) > r.right) clipped.push_back(c.text);
            }
            Click(d, IDCANCEL);
        });
        for (const std::string& text : clipped) ADD_FAILURE() << "dialog " << dialogId << ": \"" << text << "\" clipped";
    }
}

}  // namespace

namespace {

// What a field shows: the selected entry of a drop-down list, the text of anything else.
std::string Shown(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    if (ClassOf(control) == "ComboBox" && (GetWindowLongW(control, GWL_STYLE) & 3) == CBS_DROPDOWNLIST)
        return Selection(dialog, id);
    return Text(control);
}

struct FieldCase {
    int control;
    std::string shown;
    std::string entered;  // "#n" selects entry n of a list
};

struct RoundTrip {
    int action;
    std::vector<Param> in;
    std::vector<FieldCase> fields;
    std::vector<std::string> out;
};

const std::vector<RoundTrip> kRoundTrips = {
    {1, {"Claude", "key-1", "[S]"}, {{1001, "Claude", "#5"}, {1002, "key-1", "key-2"}, {1004, "[S]", "[T]"}},
     {"Groq", "key-2", "[T]"}},
    {2, {"http://10.0.0.2:11434"}, {{1005, "http://10.0.0.2:11434", "http://127.0.0.1:9"}}, {"http://127.0.0.1:9"}},
    {3, {"llama3"}, {{1006, "llama3", "my-model:7b"}}, {"my-model:7b"}},
    {4, {"Be brief."}, {{1007, "Be brief.", "Line one\r\nLine two"}}, {"Line one\r\nLine two"}},
    {5, {"1.1"}, {{1008, "1.1", "warm"}}, {"warm"}},
    {6, {"512"}, {{1010, "512", "4096"}}, {"4096"}},
    {7, {"False"}, {{1011, "False", "#0"}}, {"True"}},
    {8, {"Hi", "[A]"}, {{1012, "Hi", "Hello"}, {1013, "[A]", "[B]"}}, {"Hello", "[B]"}},
    {10, {"[E]"}, {{1014, "[E]", "[Err]"}}, {"[Err]"}},
    {11, {"[M]"}, {{1015, "[M]", "[Models]"}}, {"[Models]"}},
    {12, {"30"}, {{1016, "30", "120"}}, {"120"}},
    {13, {"cat", "C:\\a.png", "512x512", "[St]"},
     {{1017, "cat", "dog"}, {1018, "C:\\a.png", "C:\\b.png"}, {1020, "512x512", "#2"}, {1021, "[St]", "[S2]"}},
     {"dog", "C:\\b.png", "1024x1536", "[S2]"}},
    {14, {"p", "[R]", "Done"}, {{1012, "p", "q"}, {1013, "[R]", "[R2]"}, {1029, "Done", "Finished"}},
     {"q", "[R2]", "Finished"}},
    {15, {"p", "f.png", "256x256", "[S]", "Cb"},
     {{1017, "p", "q"}, {1018, "f.png", "g.png"}, {1020, "256x256", "#1"}, {1021, "[S]", "[S2]"}, {1029, "Cb", "Cb2"}},
     {"q", "g.png", "1536x1024", "[S2]", "Cb2"}},
    {17, {"[Busy]"}, {{1030, "[Busy]", "[B2]"}}, {"[B2]"}},
    {18, {"false"}, {{1034, "False", "#0"}}, {"True"}},
    {19, {"true", "[Live]"}, {{1034, "True", "#1"}, {1035, "[Live]", "[L2]"}}, {"False", "[L2]"}},
    {20, {"Hi", "[A]"}, {{1012, "Hi", "Hello"}, {1013, "[A]", "[B]"}}, {"Hello", "[B]"}},
    {23, {"text", "[V]"}, {{1047, "text", "other"}, {1048, "[V]", "[V2]"}}, {"other", "[V2]"}},
    {24, {"C:\\doc.txt", "Q?", "[F]"}, {{1045, "C:\\doc.txt", "D:\\x.md"}, {1012, "Q?", "Why?"}, {1013, "[F]", "[G]"}},
     {"D:\\x.md", "Why?", "[G]"}},
    {25, {"C:\\cat.png", "What?", "[F]"}, {{1049, "C:\\cat.png", "D:\\dog.jpg"}, {1012, "What?", "Who?"}, {1013, "[F]", "[G]"}},
     {"D:\\dog.jpg", "Who?", "[G]"}},
    {26, {"[In]", "[Out]", "[Why]"}, {{1051, "[In]", "[I2]"}, {1052, "[Out]", "[O2]"}, {1053, "[Why]", "[W2]"}},
     {"[I2]", "[O2]", "[W2]"}},
    {27, {"C:\\a.json", "[S]"}, {{1056, "C:\\a.json", "D:\\b.json"}, {1058, "[S]", "[T]"}}, {"D:\\b.json", "[T]"}},
    {28, {"C:\\a.json", "[S]"}, {{1056, "C:\\a.json", "D:\\b.json"}, {1058, "[S]", "[T]"}}, {"D:\\b.json", "[T]"}},
};

void Enter(HWND dialog, const FieldCase& f) {
    if (f.entered[0] == '#') Select(dialog, f.control, std::stoi(f.entered.substr(1)));
    else SetItemText(dialog, f.control, f.entered);
}

TEST_F(Editor, FieldsShowTheSlotsAndOkWritesEveryEditedSlot) {
    for (const RoundTrip& t : kRoundTrips) {
        SCOPED_TRACE("action " + std::to_string(t.action));
        Slots slots(t.in);
        char* beyond = slots.raw[t.in.size()];
        std::vector<std::string> shown(t.fields.size());
        bool result = Edit(t.action, slots, [&](HWND d) {
            for (size_t i = 0; i < t.fields.size(); ++i) {
                shown[i] = Shown(d, t.fields[i].control);
                Enter(d, t.fields[i]);
            }
            Click(d, IDOK);
        });
        EXPECT_TRUE(result);
        for (size_t i = 0; i < t.fields.size(); ++i) EXPECT_EQ(shown[i], t.fields[i].shown) << t.fields[i].control;
        for (size_t i = 0; i < t.out.size(); ++i) EXPECT_EQ(slots[i], t.out[i]) << "slot " << i;
        EXPECT_EQ(slots.raw[t.in.size()], beyond) << "a slot past the action's parameters was touched";
    }
}

TEST_F(Editor, OkRewritesSlotsAsExactlySizedProcessHeapBlocks) {
    static char hostOwned[] = "[NotOnTheHeap]";
    Slots slots({"Hi"});
    HeapFree(GetProcessHeap(), 0, slots.raw[0]);
    slots.raw[0] = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 200));
    strcpy(slots.raw[0], "A prompt in a roomy block");
    slots.raw[1] = hostOwned;
    EXPECT_TRUE(Edit(8, slots, [&](HWND d) { Click(d, IDOK); }));
    ASSERT_TRUE(HeapValidate(GetProcessHeap(), 0, slots.raw[0]));
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, slots.raw[0]), strlen("A prompt in a roomy block") + 1);
    EXPECT_EQ(slots[0], "A prompt in a roomy block");
    EXPECT_NE(slots.raw[1], hostOwned);
    EXPECT_STREQ(hostOwned, "[NotOnTheHeap]");
    ASSERT_TRUE(HeapValidate(GetProcessHeap(), 0, slots.raw[1]));
    EXPECT_EQ(slots[1], "[NotOnTheHeap]");
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, slots.raw[1]), strlen("[NotOnTheHeap]") + 1);
}

TEST_F(Editor, OkGivesAnAbsentSlotAnEmptyText) {
    Slots slots({kAbsent, kAbsent});
    EXPECT_TRUE(Edit(8, slots, [&](HWND d) { Click(d, IDOK); }));
    ASSERT_NE(slots.raw[0], nullptr);
    EXPECT_EQ(slots[0], "");
    EXPECT_EQ(slots[1], "");
}

TEST_F(Editor, CancelWritesNothingAndReturnsFalse) {
    for (const RoundTrip& t : kRoundTrips) {
        SCOPED_TRACE("action " + std::to_string(t.action));
        Slots slots(t.in);
        std::vector<char*> before = slots.raw;
        bool result = Edit(t.action, slots, [&](HWND d) {
            for (const FieldCase& f : t.fields) Enter(d, f);
            Click(d, IDCANCEL);
        });
        EXPECT_FALSE(result);
        EXPECT_EQ(slots.raw, before);
        for (size_t i = 0; i < t.in.size(); ++i) EXPECT_EQ(slots[i], *t.in[i]);
    }
}

TEST_F(Editor, EscapeCancelsLikeTheCancelButton) {
    Slots slots({"Hi", "[A]"});
    char* before = slots.raw[0];
    EXPECT_FALSE(Edit(8, slots, [&](HWND d) {
        SetItemText(d, 1012, "changed");
        SendMessageW(d, WM_CLOSE, 0, 0);
    }));
    EXPECT_EQ(slots.raw[0], before);
    EXPECT_EQ(slots[0], "Hi");
}

TEST_F(Editor, EmptySlotsShowTheDefaultsAndOkWritesThem) {
    struct Case {
        int action, control, slot;
        const char* shown;
    };
    const Case cases[] = {{2, 1005, 0, "http://localhost:11434"}, {6, 1010, 0, "2048"}, {12, 1016, 0, "60"},
                          {5, 1008, 0, "0.7"},     {1, 1001, 0, "OpenAI"},   {3, 1006, 0, "gpt-5.6-sol"},
                          {13, 1020, 2, "1024x1024"}, {7, 1011, 0, "True"},  {18, 1034, 0, "True"},
                          {19, 1034, 0, "False"}};
    for (const Case& c : cases) {
        Slots slots(std::vector<Param>(ParameterCount(c.action), std::string()));
        std::string shown;
        EXPECT_TRUE(Edit(c.action, slots, [&](HWND d) {
            shown = Shown(d, c.control);
            Click(d, IDOK);
        }));
        EXPECT_EQ(shown, c.shown) << "action " << c.action;
        EXPECT_EQ(slots[c.slot], c.shown) << "action " << c.action;
    }
}

TEST_F(Editor, ListsHoldTheirEntriesInOrder) {
    const std::vector<std::string> truth = {"True", "False"};
    const struct {
        int action, control;
        std::vector<std::string> entries;
    } lists[] = {
        {1, 1001, {"OpenAI", "Claude", "Google", "Ollama", "OpenRouter", "Groq", "Grok"}},
        {3, 1006, {"gpt-5.6-sol", "gpt-5.6-terra", "gpt-5.4", "claude-sonnet-5-5", "claude-opus-4-7", "claude-haiku-4-5",
                   "gemini-flash-latest", "gemini-pro-latest", "gemini-3.5-flash", "llama3", "mistral",
                   "openrouter/free", "openrouter/auto", "openai/gpt-oss-120b", "grok-4.7", "grok-4.20-non-reasoning"}},
        {13, 1020, {"1024x1024", "1536x1024", "1024x1536", "auto"}},
        {15, 1020, {"1024x1024", "1536x1024", "1024x1536", "auto"}},
        {7, 1011, truth},
        {18, 1034, truth},
        {19, 1034, truth},
    };
    for (const auto& list : lists) {
        Slots slots(std::vector<Param>(ParameterCount(list.action), kAbsent));
        std::vector<std::string> entries;
        Edit(list.action, slots, [&](HWND d) {
            entries = Entries(d, list.control);
            Click(d, IDCANCEL);
        });
        EXPECT_EQ(entries, list.entries) << "action " << list.action;
    }
}

TEST_F(Editor, ProviderIsFoundIgnoringCaseAndAnUnknownOneSurvivesOk) {
    Slots lower({"ollama", kAbsent, kAbsent});
    std::string selected;
    EXPECT_TRUE(Edit(1, lower, [&](HWND d) {
        selected = Selection(d, 1001);
        Click(d, IDOK);
    }));
    EXPECT_EQ(selected, "Ollama");
    EXPECT_EQ(lower[0], "Ollama");

    Slots variable({"[ProviderName]", kAbsent, kAbsent});
    EXPECT_TRUE(Edit(1, variable, [&](HWND d) {
        selected = Selection(d, 1001);
        Click(d, IDOK);
    }));
    EXPECT_EQ(selected, "<none>");
    EXPECT_EQ(variable[0], "[ProviderName]");
}

TEST_F(Editor, ModelAcceptsAnyTypedNameAndAListEntry) {
    Slots typed({"my-finetune:latest"});
    std::string shown;
    EXPECT_TRUE(Edit(3, typed, [&](HWND d) {
        shown = Text(GetDlgItem(d, 1006));
        Click(d, IDOK);
    }));
    EXPECT_EQ(shown, "my-finetune:latest");
    EXPECT_EQ(typed[0], "my-finetune:latest");

    Slots chosen({""});
    EXPECT_TRUE(Edit(3, chosen, [&](HWND d) {
        Select(d, 1006, 9);
        Click(d, IDOK);
    }));
    EXPECT_EQ(chosen[0], "llama3");
}

TEST_F(Editor, SizeIsFoundIgnoringCaseAndASizeTheListLacksIsKept) {
    const std::pair<const char*, const char*> cases[] = {{"1536X1024", "1536x1024"}, {"1792x1024", "1792x1024"},
                                                         {"[Size]", "[Size]"},       {"huge", "huge"},
                                                         {"", "1024x1024"}};
    for (auto [in, want] : cases) {
        Slots slots({"p", "f.png", std::string(in), "[S]"});
        std::string shown;
        EXPECT_TRUE(Edit(13, slots, [&](HWND d) {
            shown = Selection(d, 1020);
            Click(d, IDOK);
        }));
        EXPECT_EQ(shown, want) << in;
        EXPECT_EQ(slots[2], want) << in;
    }
}

TEST_F(Editor, TruthListsFollowTheirSlotRules) {
    struct Case {
        int action, control;
        Param in;
        const char* selected;
    };
    const Case cases[] = {
        {7, 1011, "0", "False"},     {7, 1011, "no", "True"},     {7, 1011, "FALSE", "False"},
        {7, 1011, "", "True"},       {7, 1011, kAbsent, "True"},  {7, 1011, "00", "True"},
        {18, 1034, "0", "False"},    {18, 1034, "False", "False"}, {18, 1034, "yes", "True"},
        {19, 1034, "", "False"},     {19, 1034, "YES", "False"},  {19, 1034, "1", "True"},
        {19, 1034, "TRUE", "True"},  {19, 1034, "0", "False"},    {19, 1034, kAbsent, "False"},
    };
    for (const Case& c : cases) {
        std::vector<Param> in(ParameterCount(c.action), kAbsent);
        in[0] = c.in;
        Slots slots(in);
        std::string shown;
        EXPECT_TRUE(Edit(c.action, slots, [&](HWND d) {
            shown = Selection(d, c.control);
            Click(d, IDOK);
        }));
        std::string label = "action " + std::to_string(c.action) + " slot \"" + c.in.value_or("<null>") + "\"";
        EXPECT_EQ(shown, c.selected) << label;
        EXPECT_EQ(slots[0], c.selected) << label;
    }
}

int Thumb(HWND dialog) { return static_cast<int>(SendDlgItemMessageW(dialog, 1009, TBM_GETPOS, 0, 0)); }

TEST_F(Editor, TemperatureThumbFollowsTheSlotAndTheEditFollowsTheThumb) {
    Slots slots({"1.234"});
    std::string before, after;
    int thumb = -1, maxPos = -1, moved = -1;
    EXPECT_TRUE(Edit(5, slots, [&](HWND d) {
        before = Text(GetDlgItem(d, 1008));
        thumb = Thumb(d);
        HWND bar = GetDlgItem(d, 1009);
        maxPos = static_cast<int>(SendMessageW(bar, TBM_GETRANGEMAX, 0, 0));
        SendMessageW(bar, TBM_SETPOS, TRUE, 149);
        SendMessageW(bar, WM_KEYDOWN, VK_RIGHT, 0);
        SendMessageW(bar, WM_KEYUP, VK_RIGHT, 0);
        moved = Thumb(d);
        after = Text(GetDlgItem(d, 1008));
        Click(d, IDOK);
    }));
    EXPECT_EQ(before, "1.234");
    EXPECT_EQ(thumb, 123);
    EXPECT_EQ(maxPos, 200);
    EXPECT_EQ(moved, 150);
    EXPECT_EQ(after, "1.50");
    EXPECT_EQ(slots[0], "1.50");
}

TEST_F(Editor, TemperatureThumbTruncatesAndStaysInRangeForAnyText) {
    const std::pair<const char*, int> cases[] = {{"0.29", 28}, {"", 70},    {"abc", 0},     {"0.85x", 85},
                                                 {"7", 200},   {"-1", 0},   {"nan", 0},     {"1e999", 0},
                                                 {"inf", 0},   {" 1.5", 150}, {"2", 200}};
    for (auto [in, want] : cases) {
        Slots slots({std::string(in)});
        int thumb = -1;
        std::string shown;
        Edit(5, slots, [&](HWND d) {
            thumb = Thumb(d);
            shown = Text(GetDlgItem(d, 1008));
            Click(d, IDCANCEL);
        });
        EXPECT_EQ(thumb, want) << "\"" << in << "\"";
        EXPECT_EQ(shown, *in ? in : "0.7");
    }
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

// However long a slot's text, an unchanged OK gives it back byte for byte.
TEST_F(Editor, LongSlotTextsComeBackWholeFromAnUnchangedOk) {
    const std::string utf8Tail = "\xC3\xA9\xF0\x9F\x91\x8B";  // two characters, 6 bytes
    const struct {
        int action;
        int slotCount;
        int slot;
        int control;
        std::string text;
    } cases[] = {
        {4, 1, 0, 1007, std::string(6000, 's')},                  // ParlySetSystem
        {8, 2, 0, 1012, std::string(5000, 'p')},                  // ParlySend
        {24, 3, 1, 1012, std::string(4500, 'd')},                 // ParlySendWithDoc, its prompt
        {14, 3, 2, 1029, std::string(1500, 'c')},                 // ParlySendAsync, its callback
        {8, 2, 1, 1013, "[" + std::string(1500, 'v') + "]"},      // a result variable
        {8, 2, 0, 1012, std::string(4094, 'a') + utf8Tail},       // characters across the old limit
        {4, 1, 0, 1007, Repeat(std::string(99, 'x') + "\r\n", 400)},  // 40400 bytes in many lines
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.action) + " slot " + std::to_string(c.slot));
        std::vector<Param> texts(static_cast<size_t>(c.slotCount), std::string("[X]"));
        texts[static_cast<size_t>(c.slot)] = c.text;
        Slots slots(texts);
        size_t shown = 0;
        EXPECT_TRUE(Edit(c.action, slots, [&](HWND d) {
            shown = Text(GetDlgItem(d, c.control)).size();
            Click(d, IDOK);
        }));
        EXPECT_EQ(shown, c.text.size());
        EXPECT_TRUE(slots[c.slot] == c.text) << "came back as " << slots[c.slot].size() << " bytes";
    }
}

TEST_F(Editor, EditedLongTextsAreKeptWhole) {
    Slots slots({"short", "[R]", "Cb"});
    const std::string prompt = std::string(6000, 'q') + "\xC3\xA9";
    const std::string callback(3000, 'z');
    EXPECT_TRUE(Edit(14, slots, [&](HWND d) {
        SetItemText(d, 1012, prompt);
        SetItemText(d, 1029, callback);
        Click(d, IDOK);
    }));
    EXPECT_TRUE(slots[0] == prompt) << slots[0].size();
    EXPECT_TRUE(slots[2] == callback) << slots[2].size();
}

TEST_F(Editor, UnicodeRoundTrips) {
    Slots slots({"hi", "[Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x91\x8B]"});
    std::string shownVariable;
    EXPECT_TRUE(Edit(8, slots, [&](HWND d) {
        shownVariable = Text(GetDlgItem(d, 1013));
        Click(d, IDOK);
    }));
    EXPECT_EQ(shownVariable, "[Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x91\x8B]");
    EXPECT_EQ(slots[1], "[Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x91\x8B]");
}

TEST_F(Editor, AnsiSlotShowsItsCharactersAndOkKeepsItsEncoding) {
    // "café" in the ANSI code page: shown as é, written back as the same single byte.
    Slots slots({"caf\xE9", "[R]"});
    std::string shown;
    EXPECT_TRUE(Edit(8, slots, [&](HWND d) {
        shown = Text(GetDlgItem(d, 1012));
        Click(d, IDOK);
    }));
    EXPECT_EQ(shown, "caf\xC3\xA9");
    EXPECT_EQ(slots[0], "caf\xE9");
    EXPECT_EQ(slots[1], "[R]");
}

TEST_F(Editor, ApiKeyIsMaskedUntilTheCheckBoxShowsIt) {
    Slots slots({"OpenAI", "sk-secret", kAbsent});
    WPARAM start = 1, shown = 1, hidden = 0;
    EXPECT_TRUE(Edit(1, slots, [&](HWND d) {
        HWND key = GetDlgItem(d, 1002);
        start = SendMessageW(key, EM_GETPASSWORDCHAR, 0, 0);
        CheckDlgButton(d, 1003, BST_CHECKED);
        Click(d, 1003);
        shown = SendMessageW(key, EM_GETPASSWORDCHAR, 0, 0);
        CheckDlgButton(d, 1003, BST_UNCHECKED);
        Click(d, 1003);
        hidden = SendMessageW(key, EM_GETPASSWORDCHAR, 0, 0);
        Click(d, IDOK);
    }));
    EXPECT_NE(start, 0u);
    EXPECT_EQ(shown, 0u);
    EXPECT_EQ(hidden, static_cast<WPARAM>('*'));
    EXPECT_EQ(slots[1], "sk-secret");
}

TEST_F(Editor, SendStreamUsesTheSendDialogAndItsHelp) {
    Slots slots({"Tell a story", "[Story]"});
    std::string caption;
    int dlgId = 0;
    HWND owner = nullptr;
    EXPECT_TRUE(Edit(20, slots, [&](HWND d) {
        owner = GetWindow(d, GW_OWNER);
        caption = Text(d);
        dlgId = static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(d, kDialogIdProperty)));
        Click(d, IDOK);
    }));
    EXPECT_EQ(caption, "Parly Send Message");
    EXPECT_STREQ(HelpFor(dlgId).title, "ParlySend");
    EXPECT_EQ(owner, hostWindow) << "with no active window the host's window owns the dialog";
}

TEST_F(Editor, NoSlotArrayStillShowsTheDialogAndWritesNothing) {
    bool result = false;
    std::string prompt;
    bool shown = WithDialog(
        [&](HWND d) {
            prompt = ItemText(d, 1012);
            SetItemText(d, 1012, "typed");
            Click(d, IDOK);
        },
        [&] { result = EditAction(8, nullptr); });
    EXPECT_TRUE(shown);
    EXPECT_TRUE(result);
    EXPECT_EQ(prompt, "");
}

TEST_F(Editor, ResetAsksAndCountsTheAnswer) {
    for (int answer : {IDOK, IDCANCEL}) {
        Box box;
        HWND owner = nullptr;
        bool confirmed = !(answer == IDOK);
        bool shown = WithDialog(
            [&](HWND d) {
                owner = GetWindow(d, GW_OWNER);
                box.caption = Text(d);
                box.text = MessageBoxText(d);
                SendMessageW(d, WM_COMMAND, answer, 0);
            },
            [&] { confirmed = EditAction(9, nullptr); });
        EXPECT_TRUE(shown);
        EXPECT_EQ(box.caption, "Parly Reset");
        EXPECT_EQ(box.text, "Clear conversation history?");
        EXPECT_EQ(owner, hostWindow);
        EXPECT_EQ(confirmed, answer == IDOK);
    }
}

TEST_F(Editor, ActionsWithoutADialogAndUnknownIdsConfirmAtOnce) {
    for (int id : {16, 21, 22, 0, 29, -3}) {
        Slots slots({"untouched"});
        bool result = false;
        bool shown = WithDialog([](HWND d) { Click(d, IDCANCEL); }, [&] { result = EditAction(id, slots.data()); }, 300);
        EXPECT_TRUE(result) << id;
        EXPECT_FALSE(shown) << id;
        EXPECT_EQ(slots[0], "untouched");
    }
}

TEST_F(Editor, MissingDialogResourcesCountAsCancelled) {
    HINSTANCE saved = moduleInstance;
    moduleInstance = GetModuleHandleW(nullptr);  // the test program holds no dialogs
    Slots slots({"Hi", "[A]"});
    char* before = slots.raw[0];
    bool result = EditAction(8, slots.data());
    moduleInstance = saved;
    EXPECT_FALSE(result);
    EXPECT_EQ(slots.raw[0], before);
    EXPECT_EQ(slots[0], "Hi");
}

// The file name field and the filter list of the common file dialog.
HWND FileNameField(HWND box) {
    if (HWND combo = GetDlgItem(box, 0x47C)) return combo;
    return GetDlgItem(box, 0x480);
}

TEST_F(Editor, ImageBrowseFillsTheFileFieldWithAPngPath) {
    std::string dir = ScratchDir("editor-browse");
    DeleteFileA((dir + "\\lighthouse.png").c_str());
    Slots slots({"p", "old.png", kAbsent, kAbsent});
    DWORD thread = GetCurrentThreadId();
    std::string filter;
    EXPECT_TRUE(Edit(13, slots, [&](HWND d) {
        PostClick(d, 1019);
        HWND box = WaitForDialog(thread, {d}, 10000);
        if (!box) return;
        filter = Selection(box, 0x470);
        SetWindowTextW(FileNameField(box), Utf8ToWide(dir + "\\lighthouse").c_str());
        SendMessageW(box, WM_COMMAND, IDOK, 0);
        WaitGone(box);
        Click(d, IDOK);
    }));
    EXPECT_EQ(filter, "PNG Files (*.png)");
    EXPECT_EQ(slots[1], dir + "\\lighthouse.png");
}

TEST_F(Editor, DocumentBrowseOffersAllSupportedFilesAndFillsTheDocumentField) {
    std::string dir = ScratchDir("editor-browse");
    std::string path = dir + "\\notes.md";
    WriteFileBytes(path, "# notes\n");
    Slots slots({"", "Summarise", "[S]"});
    DWORD thread = GetCurrentThreadId();
    std::string filter;
    EXPECT_TRUE(Edit(24, slots, [&](HWND d) {
        PostClick(d, 1046);
        HWND box = WaitForDialog(thread, {d}, 10000);
        if (!box) return;
        filter = Selection(box, 0x470);
        SetWindowTextW(FileNameField(box), Utf8ToWide(path).c_str());
        SendMessageW(box, WM_COMMAND, IDOK, 0);
        WaitGone(box);
        Click(d, IDOK);
    }));
    EXPECT_EQ(filter, "All Supported");
    EXPECT_EQ(slots[0], path);
    EXPECT_EQ(slots[1], "Summarise");
}

TEST_F(Editor, PictureAndHistoryBrowseButtonsOfferTheirOwnFilesAndFillTheirField) {
    const std::string dir = ScratchDir("editor-browse-new");
    WriteFileBytes(dir + "\\cat.png", "png");
    WriteFileBytes(dir + "\\old.json", "{}");
    DeleteFileA((dir + "\\chat.json").c_str());
    const struct {
        int action, button;
        std::string typed, filter, path;
    } cases[] = {
        {25, 1050, dir + "\\cat.png", "Images (*.png;*.jpg;*.jpeg;*.gif;*.webp)", dir + "\\cat.png"},
        {27, 1057, dir + "\\chat", "Conversation Files (*.json)", dir + "\\chat.json"},
        {28, 1057, dir + "\\old.json", "Conversation Files (*.json)", dir + "\\old.json"},
    };
    DWORD thread = GetCurrentThreadId();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        Slots slots(std::vector<Param>(ParameterCount(c.action), kAbsent));
        std::string filter;
        EXPECT_TRUE(Edit(c.action, slots, [&](HWND d) {
            PostClick(d, c.button);
            HWND box = WaitForDialog(thread, {d}, 10000);
            if (!box) return;
            filter = Selection(box, 0x470);
            SetWindowTextW(FileNameField(box), Utf8ToWide(c.typed).c_str());
            SendMessageW(box, WM_COMMAND, IDOK, 0);
            WaitGone(box);
            Click(d, IDOK);
        }));
        EXPECT_EQ(filter, c.filter);
        EXPECT_EQ(slots[0], c.path);
    }
}

TEST_F(Editor, CancelledBrowseLeavesTheFieldAlone) {
    Slots slots({"C:\\kept.txt", "Q", "[R]"});
    DWORD thread = GetCurrentThreadId();
    EXPECT_TRUE(Edit(24, slots, [&](HWND d) {
        PostClick(d, 1046);
        HWND box = WaitForDialog(thread, {d}, 10000);
        if (!box) return;
        SendMessageW(box, WM_COMMAND, IDCANCEL, 0);
        WaitGone(box);
        Click(d, IDOK);
    }));
    EXPECT_EQ(slots[0], "C:\\kept.txt");
}

// The host's own call, through the loaded plug-in's export.
TEST_F(Editor, HostEditCallThroughTheExportRunsTheDialog) {
    Slots slots({"Hello there", "[Answer]"});
    std::string caption;
    BOOL result = FALSE;
    bool shown = WithDialog(
        [&](HWND d) {
            caption = Text(d);
            SetItemText(d, 1013, "[Reply]");
            Click(d, IDOK);
        },
        [&] { result = rig_->Edit(20, slots.data()); });
    EXPECT_TRUE(shown);
    EXPECT_EQ(result, TRUE);
    EXPECT_EQ(caption, "Parly Send Message");
    EXPECT_EQ(slots[1], "[Reply]");
}

}  // namespace

// Each picture in docs/screenshots keeps its dialog's texts beside it; a dialog that changed needs a new picture.
TEST(Screenshots, ShowTheDialogsAsTheyAreToday) {
    const char* root = std::getenv("PARLY_SOURCE_DIR");
    ASSERT_NE(root, nullptr);
    std::string shots = std::string("Z:") + root + "\\docs\\screenshots";
    for (char& c : shots)
        if (c == '/') c = '\\';
    Sim::Reset();
    Sim::Next(R"({"delay_ms":2500})");  // the progress window stays while its request waits
    Sim::RedirectAll();
    const std::string dir = BuildDir();
    DWORD code = 0;
    std::string out = RunCaptured("\"" + dir + "\\shot.exe\" \"" + dir + "\\ParlyPlugin.nbp\" --check \"" + shots + "\"",
                                  dir + "\\scratch-shot-out.txt", 120000, &code);
    Sim::ClearRedirects();
    EXPECT_EQ(code, 0u) << out;
}
