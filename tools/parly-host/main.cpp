// parly-host: plays the authoring host for the plug-in. It loads the .nbp, registers the
// callbacks, keeps the variables, checks a script file whole and runs it one action per line.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "plugin/host_abi.h"
#include "tools/host_pump.h"
#include "tools/parly-host/script.h"

namespace {

struct Action {
    int id;
    std::string name;
    std::string hint;
    std::vector<unsigned char> kinds;
    int count;
};

struct Host {
    bool trace = false;
    bool clock = false;  // trace lines carry the milliseconds since the start
    ULONGLONG start = GetTickCount64();
    std::string pickName;  // answer of the variable picker; empty means the picker is cancelled
    std::vector<Action> actions;
    std::map<std::string, std::string> vars;
    std::vector<ScriptLine> lines;
    std::map<std::string, size_t> labels;
    std::string scriptName;
    HWND window = nullptr;
    NbExecActionFn exec = nullptr;
    NbEditActionFn edit = nullptr;
    NbMessageFn message = nullptr;
    NbAboutFn about = nullptr;
    int depth = 0;
    bool exitRequested = false;
    bool failed = false;      // a script error ended the run: exit code 3
    int exitCode = 0;
    int jobLine = 0;          // line of the last background start, named when its callback fails
    std::vector<std::pair<DWORD, std::string>> events;  // --event: milliseconds after the start, label
} g_host;

const UINT_PTR kFirstEventTimer = 100;

std::wstring Wide(const std::string& text, UINT codePage) {
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(n, L'\0');
    if (n) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
    return w;
}

std::string Utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    if (n) WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

bool IsUtf8(const std::string& text) {
    return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

// A text as the plug-in reads it (valid UTF-8 stays, anything else is the ANSI code page), in UTF-8.
std::string Shown(const std::string& text) { return IsUtf8(text) ? text : Utf8(Wide(text, CP_ACP)); }

// Writes UTF-8 text: as Unicode to a console, as UTF-8 bytes to a file or pipe.
void Out(const std::string& text) {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(h, &mode)) {
        std::fflush(stdout);
        std::wstring w = Wide(text, CP_UTF8);
        WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The start of a trace line, with the time since the start when --clock asks for it.
std::string Trace() {
    if (!g_host.clock) return "[trace] ";
    return "[trace +" + std::to_string(GetTickCount64() - g_host.start) + " ms] ";
}

// A text between quotes the way a script would write it: control characters and quotes as [#N].
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : Shown(s)) {
        if (c == '"' || (static_cast<unsigned char>(c) < 32)) out += "[#" + std::to_string(static_cast<unsigned char>(c)) + "]";
        else out += c;
    }
    return out + "\"";
}

void __stdcall OnRegisterAction(int id, const char* name, const char* hint, const unsigned char* kinds, int count,
                                int count2) {
    Action a{id, name ? name : "", hint ? hint : "", {}, count};
    for (int i = 0; i < (count > 0 ? count : 1); ++i) a.kinds.push_back(kinds ? kinds[i] : 0);
    if (g_host.trace) {
        std::string k;
        for (unsigned char c : a.kinds) k += (k.empty() ? "" : ",") + std::to_string(c);
        Out(Trace() + "registerAction " + std::to_string(id) + " " + Quote(a.name) + " kinds=" + k +
            " count=" + std::to_string(count) + "/" + std::to_string(count2) + "\n");
    }
    g_host.actions.push_back(a);
}

void __stdcall OnSetVariable(const char* name, const char* value) {
    std::string n = name ? name : "", v = value ? value : "";
    if (g_host.trace) Out(Trace() + "setVariable " + Quote(n) + " = " + Quote(v) + "\n");
    g_host.vars[n] = v;
}

bool RunLine(const ScriptLine& line);
bool RunFrom(size_t index);

std::string Where(int number) { return g_host.scriptName + ":" + std::to_string(number) + ": "; }

// A script error found while running: named with its line; the run ends with exit code 3.
bool Fail(int number, const std::string& text) {
    Out(Where(number) + text + "\n");
    g_host.failed = g_host.exitRequested = true;
    return false;
}

void __stdcall OnRunScript(const char* text) {
    std::string t = text ? text : "";
    if (g_host.trace) Out(Trace() + "runScript " + Shown(t) + "\n");
    if (g_host.exitRequested) return;
    // The plug-in's line belongs to the background start that asked for it.
    ScriptLine line;
    std::string error;
    if (!ParseScriptLine(t, g_host.jobLine, &line, &error)) {
        Fail(g_host.jobLine, "bad script line from the plug-in: " + Shown(t) + " (" + error + ")");
        return;
    }
    if (line.command == "GoSub" && line.args.size() == 1 && !g_host.labels.count(line.args[0])) {
        Fail(g_host.jobLine, "no subroutine '" + Shown(line.args[0]) + "' for the callback of the background request");
        return;
    }
    RunLine(line);
}

unsigned char __stdcall OnInterfaceAccess(int code, char** slot) {
    if (g_host.trace) Out(Trace() + "interfaceAccess " + std::to_string(code) + "\n");
    if (code != kInterfacePickVariable || !slot || !*slot || g_host.pickName.empty()) return 0;
    lstrcpynA(*slot, g_host.pickName.c_str(), kPickVariableSlotSize);
    return 1;
}

// Pumps window messages for ms milliseconds, so timers and background completions run.
void PumpFor(DWORD ms) {
    PumpHostMessagesUntil([] { return g_host.exitRequested; }, ms, ms ? ms : 1);
}

const Action* FindAction(const std::string& name) {
    for (const Action& a : g_host.actions)
        if (a.id != 0 && a.name == name) return &a;
    return nullptr;
}

std::string Substituted(const std::string& text) { return SubstituteVariables(text, g_host.vars); }

bool CallAction(const ScriptLine& line, bool editing) {
    std::string name = editing ? line.args[0] : line.command;
    const Action* a = FindAction(name);
    if (!a) return Fail(line.number, "unknown action or command '" + name + "'");
    std::vector<std::string> given(line.args.begin() + (editing ? 1 : 0), line.args.end());
    if (static_cast<int>(given.size()) > a->count)
        return Fail(line.number, name + " takes " + std::to_string(a->count) + " parameters");
    // Variable parameters go in as written; every other one gets [Var] references substituted.
    std::vector<std::string> texts;
    for (size_t i = 0; i < given.size(); ++i)
        texts.push_back(a->kinds[i] == 6 || editing ? given[i] : Substituted(given[i]));
    if (editing) {
        // Edit slots are process-heap blocks the plug-in may resize.
        std::vector<char*> slots(a->count + 1, nullptr);
        for (int i = 0; i < a->count; ++i) {
            std::string t = i < static_cast<int>(texts.size()) ? texts[i] : "";
            char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, t.size() + 1));
            memcpy(block, t.c_str(), t.size());
            slots[i] = block;
        }
        BOOL ok = g_host.edit(a->id, slots.data());
        Out("Edit " + name + " -> " + (ok ? "OK" : "Cancel"));
        for (int i = 0; i < a->count; ++i) Out(std::string(" ") + Quote(slots[i] ? slots[i] : "(null)"));
        Out("\n");
        for (int i = 0; i < a->count; ++i)
            if (slots[i]) HeapFree(GetProcessHeap(), 0, slots[i]);
        return true;
    }
    std::vector<char*> params(a->count + 1, nullptr);
    for (size_t i = 0; i < texts.size(); ++i) params[i] = texts[i].data();
    if (g_host.trace) {
        std::string args;
        for (auto& t : texts) args += " " + Quote(t);
        Out(Trace() + "nbExecAction " + std::to_string(a->id) + " " + name + args + "\n");
    }
    if (CallbackParameter(name) >= 0) g_host.jobLine = line.number;
    g_host.exec(a->id, params.data());
    return true;
}

bool RunLine(const ScriptLine& line) {
    const std::string& c = line.command;
    if (c.empty() || c[0] == ':') return true;
    if (c == "SetVar") {
        g_host.vars[line.args[0]] = Substituted(line.args[1]);
        return true;
    }
    if (c == "Print") {
        std::string text;
        for (auto& a : line.args) text += (text.empty() ? "" : " ") + SubstituteVariables(a, g_host.vars, Shown);
        Out(text + "\n");
        return true;
    }
    if (c == "Wait") {
        PumpFor(line.args.empty() ? 0 : static_cast<DWORD>(std::atoi(line.args[0].c_str())));
        return true;
    }
    if (c == "Exit") {
        g_host.exitRequested = true;
        g_host.exitCode = line.args.empty() ? 0 : std::atoi(line.args[0].c_str());
        return true;
    }
    if (c == "IfEmpty" || c == "IfEqual") {
        const bool taken = c == "IfEmpty" ? Substituted(line.args[0]).empty()
                                          : Substituted(line.args[0]) == Substituted(line.args[1]);
        if (!taken) return true;
        ScriptLine call = line;
        call.command = "GoSub";
        call.args = {line.args.back()};
        return RunLine(call);
    }
    if (c == "GoSub") {
        auto it = g_host.labels.find(Substituted(line.args[0]));
        if (it == g_host.labels.end()) return Fail(line.number, "no subroutine '" + Shown(line.args[0]) + "'");
        if (g_host.depth >= 64) return Fail(line.number, "GoSub nested more than 64 deep");
        ++g_host.depth;
        bool ok = RunFrom(it->second + 1);
        --g_host.depth;
        return ok;
    }
    if (c == "Message") {
        g_host.message(std::atoi(line.args[0].c_str()), 0);
        return true;
    }
    if (c == "About") {
        g_host.about();
        return true;
    }
    if (c == "Edit") return CallAction(line, true);
    if (c == "ListActions") {
        for (const Action& a : g_host.actions) {
            if (a.id == 0) {
                Out("== " + a.name + " ==\n");
                continue;
            }
            std::string k;
            for (int i = 0; i < a.count; ++i) k += (k.empty() ? "" : ",") + std::to_string(a.kinds[i]);
            Out("  " + std::to_string(a.id) + " " + a.name + " (" + k + ")  " + a.hint + "\n");
        }
        return true;
    }
    return CallAction(line, false);
}

// Runs lines from index until Return, Exit or the end; false on a script error.
bool RunFrom(size_t index) {
    for (size_t i = index; i < g_host.lines.size() && !g_host.exitRequested; ++i) {
        const ScriptLine& line = g_host.lines[i];
        if (line.command == "Return") {
            if (g_host.depth == 0)
                Out("parly-host: warning: " + Where(line.number) +
                    "Return outside a subroutine ends the script; end the main part with Exit\n");
            return true;
        }
        if (!RunLine(line)) return false;
    }
    return !g_host.failed;
}

// Runs an --event's subroutine, as the host runs an event handler: from whatever loop is pumping, even inside an action.
void RunEvent(size_t index) {
    if (g_host.exitRequested || index >= g_host.events.size()) return;
    auto it = g_host.labels.find(g_host.events[index].second);
    if (g_host.trace) Out(Trace() + "event " + Quote(g_host.events[index].second) + "\n");
    ++g_host.depth;
    RunFrom(it->second + 1);
    --g_host.depth;
}

LRESULT CALLBACK MainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_TIMER && wp >= kFirstEventTimer && wp < kFirstEventTimer + g_host.events.size()) {
        KillTimer(w, wp);
        RunEvent(wp - kFirstEventTimer);
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

void Usage() {
    Out("usage: parly-host [--trace] [--clock] [--show] [--pick NAME] [--var \"[Name]=value\"]... [--event MS:Label]...\n"
        "                  [--plugin PATH] SCRIPT\n"
        "  Checks SCRIPT whole, then runs it against the plug-in (default: ParlyPlugin.nbp beside parly-host.exe).\n"
        "  --trace   print every callback the plug-in makes\n"
        "  --clock   as --trace, each line with the milliseconds since the start\n"
        "  --show    show the host's main window (dialogs centre over it)\n"
        "  --pick    the variable name the host's picker answers with\n"
        "  --var     set a variable before the script starts (kept in the ANSI code page, like the host)\n"
        "  --event   run the subroutine at :Label MS milliseconds after the script starts, even while an\n"
        "            action is busy (a typing effect, a background request's progress window, a Wait), as the\n"
        "            host runs an event; one due during a blocking request runs once the request ends\n"
        "  --plugin  load another plug-in file\n"
        "  --help    show this text\n"
        "Exit codes: the script's Exit code; 2 for a bad command line, a missing script or plug-in;\n"
        "3 for a script error, which names its line.\n");
}

// The ANSI text the host would hold for w; each character the code page cannot hold is named in `lost`.
std::string ToAnsi(const std::wstring& w, std::string* lost) {
    std::string out;
    bool utf8 = GetACP() == CP_UTF8;
    for (size_t i = 0; i < w.size();) {
        size_t n = (w[i] >= 0xD800 && w[i] <= 0xDBFF && i + 1 < w.size()) ? 2 : 1;
        char buf[16];
        BOOL usedDefault = FALSE;
        int len = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, w.data() + i, static_cast<int>(n), buf,
                                      sizeof buf, nullptr, utf8 ? nullptr : &usedDefault);
        if (len <= 0 || usedDefault) {
            unsigned cp = n == 2 ? 0x10000 + ((w[i] - 0xD800) << 10) + (w[i + 1] - 0xDC00) : w[i];
            char code[16];
            wsprintfA(code, "U+%04X", cp);
            *lost += std::string(lost->empty() ? "" : ", ") + "'" + Utf8(w.substr(i, n)) + "' (" + code + ")";
            out += '?';
        } else {
            out.append(buf, len);
        }
        i += n;
    }
    return out;
}

bool ReadScript(const std::wstring& path, std::string* text) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    std::fclose(f);
    return true;
}

}  // namespace

int main() {
    // The wide command line, so --var can say which characters the ANSI code page loses.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring plugin, script;
    bool show = false;
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--trace") g_host.trace = true;
        else if (a == L"--clock") g_host.trace = g_host.clock = true;
        else if (a == L"--show") show = true;
        else if (a == L"--pick" && i + 1 < argc) {
            std::string lost;
            g_host.pickName = ToAnsi(argv[++i], &lost);
        } else if (a == L"--plugin" && i + 1 < argc) plugin = argv[++i];
        else if (a == L"--var" && i + 1 < argc) {
            std::wstring kv = argv[++i];
            size_t eq = kv.find(L'=');
            if (eq == std::wstring::npos) return Usage(), 2;
            std::string lost, name = ToAnsi(kv.substr(0, eq), &lost), value = ToAnsi(kv.substr(eq + 1), &lost);
            if (!lost.empty())
                Out("parly-host: warning: --var \"" + Utf8(kv.substr(0, eq)) + "\": the ANSI code page " +
                    std::to_string(GetACP()) + " cannot hold " + lost + "; the plug-in receives '?' for each\n");
            g_host.vars[name] = value;
        } else if (a == L"--event" && i + 1 < argc) {
            std::string given = Utf8(argv[++i]), lost;
            size_t colon = given.find(':');
            // The milliseconds as Wait takes them: a whole number, not negative.
            if (colon == std::string::npos || colon == 0 || colon > 9 || colon + 1 == given.size() ||
                given.find_first_not_of("0123456789") != colon)
                return Out("parly-host: --event needs MS:Label, such as 1500:PressStop, not '" + given + "'\n"), 2;
            g_host.events.emplace_back(static_cast<DWORD>(std::atol(given.substr(0, colon).c_str())),
                                       ToAnsi(Wide(given.substr(colon + 1), CP_UTF8), &lost));
        } else if (a == L"--help" || a == L"-h") return Usage(), 0;
        else if (script.empty() && a.rfind(L"--", 0) != 0) script = a;
        else return Usage(), 2;
    }
    if (script.empty()) return Usage(), 2;
    if (plugin.empty()) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        plugin = self;
        plugin = plugin.substr(0, plugin.find_last_of(L"\\/") + 1) + L"ParlyPlugin.nbp";
    }

    std::string text;
    g_host.scriptName = Utf8(script);
    if (!ReadScript(script, &text)) {
        Out("parly-host: cannot read script: " + g_host.scriptName + "\n");
        return 2;
    }
    // A UTF-16 file would reach the checker as letters between NUL bytes.
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
        Out(Where(1) + "the script is saved as UTF-16; save it as UTF-8 or ANSI\n");
        return 3;
    }
    // The UTF-8 mark goes even when a byte further on isn't UTF-8, or it would glue onto the first command.
    const bool marked = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (marked) text.erase(0, 3);
    // The host holds scripts in the ANSI code page: a UTF-8 file is read as the host would hold it.
    const bool utf8File = IsUtf8(text);
    if (marked && !utf8File)
        Out("parly-host: warning: " + g_host.scriptName +
            " starts with a UTF-8 mark but is not valid UTF-8; its lines are passed on as they are\n");
    int number = 0;
    bool bad = false;
    for (size_t start = 0; start < text.size() || number == 0;) {
        // Lines end in LF, CRLF or a lone CR (an old Mac editor's), never run into one another.
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const size_t next = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        std::string source = text.substr(start, end - start);
        ++number;
        if (utf8File) {
            std::string lost;
            const std::string written = source;
            source = ToAnsi(Wide(source, CP_UTF8), &lost);
            // Only what reaches the plug-in is named: not a comment (the delimiters are ASCII either way).
            ScriptLine words;
            std::string unused;
            if (!lost.empty() && ParseScriptLine(written, number, &words, &unused)) {
                lost.clear();
                ToAnsi(Wide(words.command, CP_UTF8), &lost);
                for (const std::string& word : words.args) ToAnsi(Wide(word, CP_UTF8), &lost);
            }
            if (!lost.empty())
                Out("parly-host: warning: " + Where(number) + "the ANSI code page " + std::to_string(GetACP()) +
                    " cannot hold " + lost + "; the plug-in receives '?' for each\n");
        }
        ScriptLine line;
        std::string error;
        if (!ParseScriptLine(source, number, &line, &error)) {
            Out(Where(number) + Shown(error) + "\n");
            bad = true;
        } else {
            if (!line.command.empty() && line.command[0] == ':' && !g_host.labels.count(line.command.substr(1)))
                g_host.labels[line.command.substr(1)] = g_host.lines.size();
            g_host.lines.push_back(line);
        }
        start = next;
    }

    HMODULE module = LoadLibraryW(plugin.c_str());
    if (!module) {
        Out("parly-host: cannot load plug-in: " + Utf8(plugin) + " (error " + std::to_string(GetLastError()) + ")\n");
        return 2;
    }
    auto init = reinterpret_cast<NbInitPlugInFn>(GetProcAddress(module, "_nbInitPlugIn"));
    auto reg = reinterpret_cast<NbRegisterPlugInFn>(GetProcAddress(module, "_nbRegisterPlugIn"));
    auto regScript = reinterpret_cast<NbRegisterScriptProcessorFn>(GetProcAddress(module, "_nbRegisterScriptProcessor"));
    auto regAccess = reinterpret_cast<NbRegisterInterfaceAccessFn>(GetProcAddress(module, "_nbRegisterInterfaceAccess"));
    g_host.exec = reinterpret_cast<NbExecActionFn>(GetProcAddress(module, "_nbExecAction"));
    g_host.edit = reinterpret_cast<NbEditActionFn>(GetProcAddress(module, "_nbEditAction"));
    g_host.message = reinterpret_cast<NbMessageFn>(GetProcAddress(module, "_nbMessage"));
    g_host.about = reinterpret_cast<NbAboutFn>(GetProcAddress(module, "_nbAbout"));
    if (!init || !reg || !regScript || !regAccess || !g_host.exec || !g_host.edit || !g_host.message || !g_host.about) {
        Out("parly-host: " + Utf8(plugin) + " is not a plug-in (missing _nb* exports)\n");
        return 2;
    }

    WNDCLASSW wc = {};
    wc.lpfnWndProc = MainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ParlyHostMain";
    RegisterClassW(&wc);
    g_host.window = CreateWindowW(L"ParlyHostMain", L"parly-host", WS_OVERLAPPEDWINDOW, 100, 100, 640, 480, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    if (show) ShowWindow(g_host.window, SW_SHOW);

    char *name = nullptr, *maker = nullptr, *description = nullptr;
    init(g_host.window, &name, &maker, &description);
    if (g_host.trace)
        Out(Trace() + "nbInitPlugIn name=" + Quote(name ? name : "") + " maker=" + Quote(maker ? maker : "") + "\n");
    reg(OnRegisterAction, nullptr, nullptr, OnSetVariable);
    regScript(OnRunScript);
    regAccess(OnInterfaceAccess);

    // The whole script is checked against the catalogue before its first line runs.
    std::map<std::string, ActionShape> shapes;
    for (const Action& a : g_host.actions)
        if (a.id != 0) shapes[a.name] = ActionShape{a.count};
    std::vector<ScriptFault> faults = CheckScript(g_host.lines, shapes);
    for (const ScriptFault& f : faults) Out(Where(f.line) + Shown(f.text) + "\n");
    for (const auto& [ms, label] : g_host.events)
        if (!g_host.labels.count(label)) {
            Out("parly-host: --event " + std::to_string(ms) + ":" + Shown(label) + ": no subroutine '" + Shown(label) +
                "' (no line ':" + Shown(label) + "')\n");
            bad = true;
        }
    if (bad || !faults.empty()) {
        Out("parly-host: the script has errors; nothing was run\n");
        g_host.message(kHostMessageUnload, 0);
        return 3;
    }

    // The clocks of the events start with the script's first line.
    for (size_t i = 0; i < g_host.events.size(); ++i)
        SetTimer(g_host.window, kFirstEventTimer + i, g_host.events[i].first ? g_host.events[i].first : 1, nullptr);
    bool ok = RunFrom(0);
    g_host.message(kHostMessageUnload, 0);
    if (!ok || g_host.failed) return 3;
    return g_host.exitCode;
}
