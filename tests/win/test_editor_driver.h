// Drives the editor's modal windows from a helper thread while the test's thread sits in the modal loop.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "editor/editor.h"
#include "net/encoding.h"
#include "plugin/host.h"
#include "tests/win/rig.h"

namespace driver {

struct Search {
    std::set<HWND> skip;
    HWND found = nullptr;
};

inline BOOL CALLBACK FindDialogWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (IsWindowVisible(window) && wcscmp(cls, L"#32770") == 0 && !search->skip.count(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The first visible dialog (class #32770) of `thread` not in `skip`, or null after timeoutMs.
inline HWND WaitForDialog(DWORD thread, const std::set<HWND>& skip = {}, DWORD timeoutMs = 5000) {
    DWORD start = GetTickCount();
    for (;;) {
        Search search{skip};
        EnumThreadWindows(thread, FindDialogWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount() - start > timeoutMs) return nullptr;
        Sleep(10);
    }
}

inline void WaitGone(HWND window, DWORD timeoutMs = 3000) {
    DWORD start = GetTickCount();
    while (IsWindow(window) && GetTickCount() - start < timeoutMs) Sleep(10);
}

inline std::string Text(HWND window) {
    std::wstring buffer(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    buffer.resize(static_cast<size_t>(GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()))));
    return WideToUtf8(buffer);
}

inline std::string ItemText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

inline void SetItemText(HWND dialog, int id, const std::string& text) {
    SetWindowTextW(GetDlgItem(dialog, id), Utf8ToWide(text).c_str());
}

// Text of the selected entry of a combo box, "<none>" when nothing is selected.
inline std::string Selection(HWND dialog, int id) {
    HWND combo = GetDlgItem(dialog, id);
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return "<none>";
    wchar_t entry[256] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(entry));
    return WideToUtf8(entry);
}

inline std::vector<std::string> Entries(HWND dialog, int id) {
    HWND combo = GetDlgItem(dialog, id);
    std::vector<std::string> out;
    LRESULT n = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        wchar_t entry[256] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
        out.push_back(WideToUtf8(entry));
    }
    return out;
}

inline void Select(HWND dialog, int id, int index) { SendDlgItemMessageW(dialog, id, CB_SETCURSEL, index, 0); }

// A click as the dialog sees it; sent, so it returns once handled (never for clicks that open a modal box).
inline void Click(HWND dialog, int id) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// A click that opens a modal box: posted, so the helper stays free to answer the box.
inline void PostClick(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// The message text of a message box (its static with id 0xFFFF, else its longest static).
inline std::string MessageBoxText(HWND box) {
    if (HWND text = GetDlgItem(box, 0xFFFF)) return Text(text);
    std::string longest;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::string t = Text(child);
        if (t.size() > longest.size()) longest = t;
    }
    return longest;
}

struct Box {
    bool shown = false;
    std::string caption;
    std::string text;
};

// Waits for a message box above `dialog`, records it and answers it with `answer`.
inline Box AnswerBox(DWORD thread, HWND dialog, int answer, DWORD timeoutMs = 20000) {
    Box box;
    HWND window = WaitForDialog(thread, {dialog}, timeoutMs);
    if (!window) return box;
    box.shown = true;
    box.caption = Text(window);
    box.text = MessageBoxText(window);
    SendMessageW(window, WM_COMMAND, answer, 0);
    WaitGone(window);
    return box;
}

// Runs `open` here and `script` on a helper against its dialog (left open: cancelled); false when none came.
inline bool WithDialog(const std::function<void(HWND)>& script, const std::function<void()>& open,
                       DWORD waitMs = 5000) {
    DWORD thread = GetCurrentThreadId();
    std::atomic<bool> seen{false};
    std::thread helper([&] {
        HWND dialog = WaitForDialog(thread, {}, waitMs);
        if (!dialog) return;
        seen = true;
        script(dialog);
        WaitGone(dialog, 2000);
        if (IsWindow(dialog)) PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    open();
    helper.join();
    return seen;
}

// Slots as the host holds them: texts in process-heap blocks, absent ones null.
struct Slots {
    std::vector<char*> raw;
    explicit Slots(const std::vector<Param>& texts, size_t extra = 2) : raw(texts.size() + extra, nullptr) {
        for (size_t i = 0; i < texts.size(); ++i)
            if (texts[i]) raw[i] = HeapText(*texts[i]);
    }
    ~Slots() {
        for (char* p : raw)
            if (p && HeapValidate(GetProcessHeap(), 0, p)) HeapFree(GetProcessHeap(), 0, p);
    }
    static char* HeapText(const std::string& text) {
        auto* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, text.size() + 1));
        memcpy(block, text.data(), text.size());
        return block;
    }
    char** data() { return raw.data(); }
    std::string operator[](size_t i) const { return raw[i] ? raw[i] : "<null>"; }
};

// Runs the editor in this process with the plug-in's own resources; the DLL is loaded once per suite.
class InProcessEditor : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        rig_ = new PluginRig();
        moduleInstance = rig_->module();
        hostWindow = rig_->hostWindow();
    }
    static void TearDownTestSuite() {
        delete rig_;
        rig_ = nullptr;
    }
    void TearDown() override { HostInterfaceAccess = nullptr; }

    // Opens action `id` on `slots`; `script` runs against its dialog; returns what EditAction returned.
    bool Edit(int id, Slots& slots, const std::function<void(HWND)>& script, bool* shown = nullptr) {
        bool result = false;
        bool seen = WithDialog(script, [&] { result = EditAction(id, slots.data()); });
        if (shown) *shown = seen;
        else EXPECT_TRUE(seen) << "no dialog for action " << id;
        return result;
    }

    static inline PluginRig* rig_ = nullptr;
};

}  // namespace driver
