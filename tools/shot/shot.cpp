// shot PLUGIN OUTDIR [NAME]: saves every edit dialog, the about box and the progress window as BMP files, each
// with its texts beside it (NAME.txt). shot PLUGIN --check DIR [NAME]: exits with 1 when a dialog's texts are no
// longer those kept beside its screenshot in DIR.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "editor/look.h"
#include "editor/resource.h"
#include "editor/services.h"
#include "plugin/host_abi.h"
#include "tools/host_pump.h"

namespace {

struct Shot {
    const char* name;
    int action;  // 0: the about box
    std::vector<std::string> params;
};

const Shot kShots[] = {
    {"parly-init", 1, {"OpenAI", "sk-proj-4f9a2c7e1b", "[InitStatus]"}},
    {"parly-set-endpoint", 2, {"http://192.168.1.50:11434"}},
    {"parly-set-model", 3, {"gpt-5.6-terra"}},
    {"parly-set-system", 4, {"You are a friendly cooking assistant for a recipe app.\r\nAnswer in two short paragraphs."}},
    {"parly-set-temp", 5, {"0.85"}},
    {"parly-set-max-tokens", 6, {"1024"}},
    {"parly-set-multiline", 7, {"True"}},
    {"parly-send", 8, {"Suggest a name for a cat that loves cardboard boxes.", "[Answer]"}},
    {"parly-get-error", 10, {"[LastError]"}},
    {"parly-get-models", 11, {"[ModelList]"}},
    {"parly-set-timeout", 12, {"90"}},
    {"parly-image-gen", 13, {"A watercolour lighthouse at dusk with gulls overhead", "C:\\Users\\Public\\Pictures\\lighthouse.png", "1024x1024", "[ImageStatus]"}},
    {"parly-send-async", 14, {"Summarise these meeting notes in three bullet points:\r\n[MeetingNotes]", "[Summary]", "SummaryReady"}},
    {"parly-image-gen-async", 15, {"A cosy reading nook with a cat, digital art", "C:\\Users\\Public\\Pictures\\nook.png", "1536x1024", "[ImageStatus]", "ImageReady"}},
    {"parly-is-busy", 17, {"[Busy]"}},
    {"parly-set-progress", 18, {"True"}},
    {"parly-set-streaming", 19, {"True", "[LiveAnswer]"}},
    {"parly-get-embedding", 23, {"Wireless noise-cancelling headphones with 30-hour battery", "[Vector]"}},
    {"parly-send-with-doc", 24, {"C:\\Users\\Public\\Documents\\quarterly-report.txt", "List the three main findings.", "[Findings]"}},
    {"parly-send-with-image", 25, {"C:\\Users\\Public\\Pictures\\garden.jpg", "Which flowers are in this photo?", "[Flowers]"}},
    {"parly-get-usage", 26, {"[TokensIn]", "[TokensOut]", "[StopReason]"}},
    {"parly-save-history", 27, {"C:\\Users\\Public\\Documents\\support-chat.json", "[SaveStatus]"}},
    {"parly-load-history", 28, {"C:\\Users\\Public\\Documents\\support-chat.json", "[LoadStatus]"}},
    {"parly-about", 0, {}},
};

DWORD g_mainThread = 0;
std::string g_outDir;
bool g_check = false;
int g_mismatches = 0;

struct Found {
    HWND window = nullptr;
    HWND skip = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    auto* found = reinterpret_cast<Found*>(param);
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (window != found->skip && IsWindowVisible(window) && lstrcmpW(cls, L"#32770") == 0) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(DWORD timeoutMs, HWND skip = nullptr) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        Found found;
        found.skip = skip;
        EnumThreadWindows(g_mainThread, FindDialog, reinterpret_cast<LPARAM>(&found));
        if (found.window) return found.window;
        Sleep(20);
    }
    return nullptr;
}

// Copies the window's pixels from the screen into a 24-bit BMP file.
bool SaveWindow(HWND window, const std::string& path) {
    RECT r;
    GetWindowRect(window, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    int stride = ((w * 3) + 3) & ~3;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + stride * h;
    bool ok = false;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(&file, sizeof file, 1, f);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
        std::fwrite(bits, static_cast<size_t>(stride) * h, 1, f);
        ok = std::fclose(f) == 0;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

std::string Utf8Text(HWND window) {
    wchar_t text[4096] = {};
    int n = GetWindowTextW(window, text, 4096);
    int size = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, n, out.data(), size, nullptr, nullptr);
    return out;
}

BOOL CALLBACK AddChildText(HWND child, LPARAM param) {
    std::string text = Utf8Text(child);
    if (GetDlgCtrlID(child) == IDC_HELP_PANEL) {
        // Owner-drawn: its words are the help entry of this build's code for the dialog.
        HelpEntry help = HelpFor(static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(GetParent(child), kDialogIdProperty))));
        text = std::string(help.title) + "\n" + help.text;
    }
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.replace(at, 2, "\\n");
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) text.replace(at, 1, "\\n");
    if (!text.empty()) *reinterpret_cast<std::string*>(param) += text + "\n";
    return TRUE;
}

// The title and every non-empty control text, one a line in the dialog's order (a line break written \n).
std::string DialogTexts(HWND dialog) {
    std::string texts = Utf8Text(dialog) + "\n";
    EnumChildWindows(dialog, AddChildText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

std::string ReadAll(const std::string& path) {
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

void CaptureAndClose(const std::string& name, WPARAM closeCommand) {
    HWND dialog = WaitForDialog(5000);
    if (!dialog) {
        std::printf("shot: no window for %s\n", name.c_str());
        ++g_mismatches;
        return;
    }
    std::string texts = DialogTexts(dialog), path = g_outDir + "\\" + name;
    if (g_check) {
        std::string kept = ReadAll(path + ".txt");
        if (kept != texts) {
            std::printf("shot: %s.png no longer shows the dialog (run make screenshots)\n--- beside the screenshot:\n%s"
                        "--- the dialog now:\n%s", name.c_str(), kept.c_str(), texts.c_str());
            ++g_mismatches;
        }
    } else {
        Sleep(400);  // let it paint
        std::printf("shot: %s %s.bmp\n", SaveWindow(dialog, path + ".bmp") ? "saved" : "FAILED", path.c_str());
        if (FILE* f = std::fopen((path + ".txt").c_str(), "wb")) {
            std::fwrite(texts.data(), 1, texts.size(), f);
            std::fclose(f);
        }
    }
    SendMessageW(dialog, WM_COMMAND, closeCommand, 0);
}

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }
void __stdcall OnRegister(int, const char*, const char*, const unsigned char*, int, int) {}
std::atomic<bool> g_callbackDone{false};
void __stdcall OnSetVariable(const char*, const char*) {}
void __stdcall OnRunScript(const char*) { g_callbackDone = true; }

void Pump(DWORD ms) {
    PumpHostMessagesUntil([] { return g_callbackDone.load(); }, ms);
}

std::vector<char*> Slots(std::vector<std::string>& texts) {
    std::vector<char*> slots(6, nullptr);
    for (size_t i = 0; i < texts.size(); ++i) slots[i] = texts[i].data();
    return slots;
}

}  // namespace

int main(int argc, char** argv) {
    g_check = argc > 3 && std::string(argv[2]) == "--check";
    if (argc < 3 || (std::string(argv[2]) == "--check" && argc < 4)) {
        std::printf("usage: shot PLUGIN OUTDIR [NAME] | shot PLUGIN --check DIR [NAME]\n");
        return 2;
    }
    const int dir = g_check ? 3 : 2;  // the folder's argument; a name may follow it
    g_mainThread = GetCurrentThreadId();
    g_outDir = argv[dir];
    HMODULE plugin = LoadLibraryA(argv[1]);
    if (!plugin) {
        std::printf("shot: cannot load %s\n", argv[1]);
        return 1;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    wc.lpszClassName = L"ParlyShotHost";
    RegisterClassW(&wc);
    HWND host = CreateWindowW(L"ParlyShotHost", L"Host", WS_OVERLAPPEDWINDOW, 40, 40, 900, 700, nullptr, nullptr,
                              wc.hInstance, nullptr);
    char *name = nullptr, *maker = nullptr, *description = nullptr;
    reinterpret_cast<NbInitPlugInFn>(GetProcAddress(plugin, "_nbInitPlugIn"))(host, &name, &maker, &description);
    reinterpret_cast<NbRegisterPlugInFn>(GetProcAddress(plugin, "_nbRegisterPlugIn"))(OnRegister, nullptr, nullptr,
                                                                                      OnSetVariable);
    reinterpret_cast<NbRegisterScriptProcessorFn>(GetProcAddress(plugin, "_nbRegisterScriptProcessor"))(OnRunScript);
    auto edit = reinterpret_cast<NbEditActionFn>(GetProcAddress(plugin, "_nbEditAction"));
    auto exec = reinterpret_cast<NbExecActionFn>(GetProcAddress(plugin, "_nbExecAction"));
    auto about = reinterpret_cast<NbAboutFn>(GetProcAddress(plugin, "_nbAbout"));

    std::string only = argc > dir + 1 ? argv[dir + 1] : "";
    for (const Shot& shot : kShots) {
        if (!only.empty() && only != shot.name) continue;
        std::thread helper(CaptureAndClose, std::string(shot.name), shot.action ? IDCANCEL : IDOK);
        if (shot.action) {
            std::vector<std::string> texts = shot.params;
            std::vector<char*> slots = Slots(texts);
            edit(shot.action, slots.data());
        } else {
            about();
        }
        helper.join();
    }

    if (only.empty() || only == "parly-progress") {
        // A background request keeps this thread pumping while the progress window shows.
        std::vector<std::string> init = {"OpenAI", "sk-demo", "[InitStatus]"};
        std::vector<char*> initSlots = Slots(init);
        exec(1, initSlots.data());
        std::vector<std::string> send = {"Write a haiku about autumn.", "[Answer]", "AnswerReady"};
        std::vector<char*> sendSlots = Slots(send);
        std::thread helper(CaptureAndClose, std::string("parly-progress"), IDCANCEL);
        exec(14, sendSlots.data());
        Pump(8000);
        helper.join();
    }
    reinterpret_cast<NbMessageFn>(GetProcAddress(plugin, "_nbMessage"))(kHostMessageUnload, 0);
    DestroyWindow(host);
    return g_mismatches ? 1 : 0;
}
