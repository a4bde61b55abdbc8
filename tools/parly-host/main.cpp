// parly-host: plays the authoring host for the plug-in. It loads the .nbp, registers the
// callbacks, keeps the variables, and runs a script file one action per line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
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
    int exitCode = 0;
} g_host;

void Out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The start of a trace line, with the time since the start when --clock asks for it.
std::string Trace() {
    if (!g_host.clock) return "[trace] ";
    return "[trace +" + std::to_string(GetTickCount64() - g_host.start) + " ms] ";
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
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

void __stdcall OnRunScript(const char* text) {
    std::string t = text ? text : "";
    if (g_host.trace) Out(Trace() + "runScript " + t + "\n");
    ScriptLine line;
    std::string error;
    if (!ParseScriptLine(t, 0, &line, &error)) {
        Out("parly-host: bad script line from plug-in: " + t + " (" + error + ")\n");
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
    PumpHostMessagesUntil([] { return false; }, ms, ms ? ms : 1);
}

const Action* FindAction(const std::string& name) {
    for (const Action& a : g_host.actions)
        if (a.id != 0 && a.name == name) return &a;
    return nullptr;
}

std::string Where(const ScriptLine& line) {
    return g_host.scriptName + ":" + std::to_string(line.number) + ": ";
}

bool CallAction(const ScriptLine& line, bool editing) {
    std::string name = editing ? (line.args.empty() ? "" : line.args[0]) : line.command;
    const Action* a = FindAction(name);
    if (!a) {
        Out(Where(line) + "unknown action '" + name + "'\n");
        return false;
    }
    std::vector<std::string> given(line.args.begin() + (editing ? 1 : 0), line.args.end());
    if (static_cast<int>(given.size()) > a->count) {
        Out(Where(line) + name + " takes " + std::to_string(a->count) + " parameters\n");
        return false;
    }
    // Variable parameters go in as written; every other one gets [Var] references substituted.
    std::vector<std::string> texts;
    for (size_t i = 0; i < given.size(); ++i)
        texts.push_back(a->kinds[i] == 6 || editing ? given[i] : SubstituteVariables(given[i], g_host.vars));
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
    g_host.exec(a->id, params.data());
    return true;
}

bool RunLine(const ScriptLine& line) {
    const std::string& c = line.command;
    if (c.empty() || c[0] == ';' || c[0] == '#' || c.rfind("//", 0) == 0 || c[0] == ':') return true;
    if (c == "SetVar") {
        if (line.args.size() != 2) return Out(Where(line) + "SetVar needs a variable and a value\n"), false;
        g_host.vars[line.args[0]] = SubstituteVariables(line.args[1], g_host.vars);
        return true;
    }
    if (c == "Print") {
        std::string text;
        for (auto& a : line.args) text += (text.empty() ? "" : " ") + SubstituteVariables(a, g_host.vars);
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
    if (c == "GoSub") {
        if (line.args.size() != 1) return Out(Where(line) + "GoSub needs a subroutine name\n"), false;
        auto it = g_host.labels.find(line.args[0]);
        if (it == g_host.labels.end()) return Out(Where(line) + "no subroutine '" + line.args[0] + "'\n"), false;
        if (++g_host.depth > 64) return Out(Where(line) + "GoSub nested too deeply\n"), false;
        bool ok = RunFrom(it->second + 1);
        --g_host.depth;
        return ok;
    }
    if (c == "Message") {
        g_host.message(line.args.empty() ? 0 : std::atoi(line.args[0].c_str()), 0);
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
        if (line.command == "Return") return true;
        if (!RunLine(line)) return false;
    }
    return true;
}

LRESULT CALLBACK MainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

int Usage() {
    Out("usage: parly-host [--trace] [--clock] [--show] [--pick NAME] [--var [Name]=value]... [--plugin PATH] SCRIPT\n"
        "  Runs SCRIPT against the plug-in (default: ParlyPlugin.nbp beside parly-host.exe).\n"
        "  --trace  print every callback the plug-in makes\n"
        "  --clock  as --trace, each line with the milliseconds since the start\n"
        "  --show   show the host's main window (dialogs centre over it)\n"
        "  --pick   the variable name the host's picker answers with\n"
        "  --var    set a variable before the script starts\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string plugin, script;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--trace") g_host.trace = true;
        else if (a == "--clock") g_host.trace = g_host.clock = true;
        else if (a == "--show") show = true;
        else if (a == "--pick" && i + 1 < argc) g_host.pickName = argv[++i];
        else if (a == "--plugin" && i + 1 < argc) plugin = argv[++i];
        else if (a == "--var" && i + 1 < argc) {
            std::string kv = argv[++i];
            size_t eq = kv.find('=');
            if (eq == std::string::npos) return Usage();
            g_host.vars[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        else if (a == "--help" || a == "-h") return Usage();
        else if (script.empty()) script = a;
        else return Usage();
    }
    if (script.empty()) return Usage();
    if (plugin.empty()) {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        plugin = self;
        plugin = plugin.substr(0, plugin.find_last_of("\\/") + 1) + "ParlyPlugin.nbp";
    }

    std::ifstream in(script, std::ios::binary);
    if (!in) {
        Out("parly-host: cannot read script: " + script + "\n");
        return 2;
    }
    g_host.scriptName = script;
    std::string text;
    int number = 0;
    bool bad = false;
    while (std::getline(in, text)) {
        ScriptLine line;
        std::string error;
        if (!ParseScriptLine(text, ++number, &line, &error)) {
            Out(script + ":" + std::to_string(number) + ": " + error + "\n");
            bad = true;
            continue;
        }
        if (!line.command.empty() && line.command[0] == ':') g_host.labels[line.command.substr(1)] = g_host.lines.size();
        g_host.lines.push_back(line);
    }
    if (bad) return 3;

    HMODULE module = LoadLibraryA(plugin.c_str());
    if (!module) {
        Out("parly-host: cannot load plug-in: " + plugin + " (error " + std::to_string(GetLastError()) + ")\n");
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
        Out("parly-host: " + plugin + " is not a plug-in (missing _nb* exports)\n");
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

    bool ok = RunFrom(0);
    g_host.message(kHostMessageUnload, 0);
    if (!ok) return 3;
    return g_host.exitCode;
}
