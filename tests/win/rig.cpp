#include "tests/win/rig.h"

#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "plugin/host_abi.h"
#include "tools/host_pump.h"

PluginRig* PluginRig::current = nullptr;

namespace {

void __stdcall OnRegister(int id, const char* name, const char* hint, const unsigned char* kinds, int count,
                          int count2) {
    Registration r{id, name ? name : "", hint ? hint : "", hint == nullptr, {}, count, count2};
    for (int i = 0; i < (count > 0 ? count : 1); ++i) r.kinds.push_back(kinds[i]);
    PluginRig::current->registrations.push_back(r);
}

void __stdcall OnSetVariable(const char* name, const char* value) {
    PluginRig& rig = *PluginRig::current;
    VariableWrite w{name ? name : "", value ? value : "", GetTickCount(), GetCurrentThreadId()};
    rig.writes.push_back(w);
    bool found = false;
    for (auto& v : rig.vars)
        if (v.first == w.name) {
            v.second = w.value;
            found = true;
        }
    if (!found) rig.vars.emplace_back(w.name, w.value);
    if (rig.onWrite) rig.onWrite(rig, w);
}

void __stdcall OnRunScript(const char* line) {
    PluginRig& rig = *PluginRig::current;
    rig.scriptLines.push_back(line ? line : "");
    if (rig.onRunScript) rig.onRunScript(rig, rig.scriptLines.back());
}

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

std::string BuildDir() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string p = self;
    return p.substr(0, p.find_last_of("\\/"));
}

std::string ScratchDir(const std::string& name) {
    std::string dir = BuildDir() + "\\scratch";
    CreateDirectoryA(dir.c_str(), nullptr);
    dir += "\\" + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const std::string& path, bool* exists) {
    std::ifstream f(path, std::ios::binary);
    if (exists) *exists = static_cast<bool>(f);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

PluginRig::PluginRig(bool registerAll) {
    current = this;
    std::string path = BuildDir() + "\\ParlyPlugin.nbp";
    module_ = LoadLibraryA(path.c_str());
    if (!module_) throw std::runtime_error("cannot load " + path);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ParlyRigHost";
    RegisterClassW(&wc);
    window_ = CreateWindowW(L"ParlyRigHost", L"Rig host", WS_OVERLAPPEDWINDOW, 200, 150, 800, 600, nullptr, nullptr,
                            wc.hInstance, nullptr);
    if (!registerAll) return;
    char *n = nullptr, *m = nullptr, *d = nullptr;
    Init(&n, &m, &d);
    for (char* p : {n, m, d})
        if (p) HeapFree(GetProcessHeap(), 0, p);
    reinterpret_cast<NbRegisterPlugInFn>(Proc("_nbRegisterPlugIn"))(
        OnRegister, nullptr, nullptr, OnSetVariable);
    reinterpret_cast<NbRegisterScriptProcessorFn>(Proc("_nbRegisterScriptProcessor"))(OnRunScript);
}

PluginRig::~PluginRig() {
    if (module_) {
        Message(kHostMessageUnload);
        FreeLibrary(module_);
    }
    if (window_) DestroyWindow(window_);
    current = nullptr;
}

FARPROC PluginRig::Proc(const char* name) const { return GetProcAddress(module_, name); }

void PluginRig::Init(char** name, char** maker, char** description) {
    reinterpret_cast<NbInitPlugInFn>(Proc("_nbInitPlugIn"))(window_, name, maker, description);
}

BOOL PluginRig::ExecId(int id, const std::vector<Param>& params) {
    std::vector<std::string> texts;
    texts.reserve(params.size());
    std::vector<char*> raw(params.size() + 6, nullptr);
    for (size_t i = 0; i < params.size(); ++i) {
        texts.push_back(params[i].value_or(""));
    }
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i]) raw[i] = texts[i].data();
    return reinterpret_cast<NbExecActionFn>(Proc("_nbExecAction"))(id, raw.data());
}

BOOL PluginRig::Exec(const std::string& action, const std::vector<Param>& params) {
    for (const Registration& r : registrations)
        if (r.id != 0 && r.name == action) return ExecId(r.id, params);
    throw std::runtime_error("no action " + action);
}

BOOL PluginRig::Edit(int id, char** slots) {
    return reinterpret_cast<NbEditActionFn>(Proc("_nbEditAction"))(id, slots);
}

void PluginRig::Message(int code, int param) {
    reinterpret_cast<NbMessageFn>(Proc("_nbMessage"))(code, param);
}

std::string PluginRig::Var(const std::string& name) const {
    for (auto& v : vars)
        if (v.first == name) return v.second;
    return "<unset>";
}

bool PluginRig::HasVar(const std::string& name) const {
    for (auto& v : vars)
        if (v.first == name) return true;
    return false;
}

std::string PluginRig::LastError() {
    Exec("ParlyGetError", {"[__err]"});
    return Var("[__err]");
}

void PluginRig::PumpOnce(DWORD waitMs) { PumpHostMessages(waitMs); }

namespace Sim {

namespace {

struct Reply {
    int status = 0;
    std::string body;
};

Reply CallAt(int port, const wchar_t* verb, const std::string& path, const std::string& body = "") {
    Reply r;
    HINTERNET s = WinHttpOpen(L"rig", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET c = WinHttpConnect(s, L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0);
    HINTERNET q = WinHttpOpenRequest(c, verb, Widen(path).c_str(), nullptr, nullptr, nullptr, 0);
    if (WinHttpSendRequest(q, nullptr, 0, const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                           static_cast<DWORD>(body.size()), 0) &&
        WinHttpReceiveResponse(q, nullptr)) {
        DWORD status = 0, size = sizeof status;
        WinHttpQueryHeaders(q, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size, nullptr);
        r.status = static_cast<int>(status);
        DWORD avail = 0;
        while (WinHttpQueryDataAvailable(q, &avail) && avail) {
            std::string chunk(avail, '\0');
            DWORD got = 0;
            WinHttpReadData(q, chunk.data(), avail, &got);
            r.body.append(chunk, 0, got);
        }
    }
    WinHttpCloseHandle(q);
    WinHttpCloseHandle(c);
    WinHttpCloseHandle(s);
    return r;
}

Reply Call(const wchar_t* verb, const std::string& path, const std::string& body = "") {
    return CallAt(Port(), verb, path, body);
}

}  // namespace

std::string LoopbackCall(int port, const wchar_t* verb, const std::string& path, int* status) {
    Reply r = CallAt(port, verb, path);
    if (status) *status = r.status;
    return r.body;
}

int Port() {
    const char* p = std::getenv("PARLY_SIM_PORT");
    if (!p) throw std::runtime_error("PARLY_SIM_PORT is not set: run through the CTest wrapper");
    return std::atoi(p);
}

std::string BaseUrl() { return "http://127.0.0.1:" + std::to_string(Port()); }

void Reset() {
    if (Call(L"POST", "/__sim/reset").status != 200) throw std::runtime_error("simulator not answering");
}

void Next(const std::string& json) {
    Reply r = Call(L"POST", "/__sim/next", json);
    if (r.status != 200) throw std::runtime_error("simulator refused override: " + r.body);
}

void HeadReply(const std::string& json) {
    Reply r = Call(L"POST", "/__sim/head", json);
    if (r.status != 200) throw std::runtime_error("simulator refused head reply: " + r.body);
}

int Count() { return std::atoi(Call(L"GET", "/__sim/count").body.c_str()); }
std::string Body(int index) { return Call(L"GET", "/__sim/request/" + std::to_string(index) + "/body").body; }
std::string Head(int index) { return Call(L"GET", "/__sim/request/" + std::to_string(index) + "/head").body; }
std::string Header(const std::string& name, int index) {
    Reply r = Call(L"GET", "/__sim/request/" + std::to_string(index) + "/header/" + name);
    return r.status == 200 ? r.body : "<absent>";
}
std::string Png() { return Call(L"GET", "/__sim/png").body; }
int DecoyPort() { return std::atoi(Call(L"GET", "/__sim/decoy").body.c_str()); }
int DecoyCount() {
    Reply r = Call(L"GET", "/__sim/decoy/count");
    if (r.status != 200) throw std::runtime_error("simulator has no decoy server");
    return std::atoi(r.body.c_str());
}
int TlsPort(int n) {
    Reply r = Call(L"GET", "/__sim/tls/" + std::to_string(n));
    return r.status == 200 ? std::atoi(r.body.c_str()) : 0;
}

const char* const kRedirects[] = {"PARLY_OPENAI_URL", "PARLY_CLAUDE_URL", "PARLY_GEMINI_URL",
                                  "PARLY_OPENROUTER_URL", "PARLY_GROQ_URL", "PARLY_GROK_URL"};

void RedirectAll() {
    for (const char* name : kRedirects) _putenv((std::string(name) + "=" + BaseUrl()).c_str());
}

void ClearRedirects() {
    for (const char* name : kRedirects) _putenv((std::string(name) + "=").c_str());
}

std::string StreamStats() { return Call(L"GET", "/__sim/stream/last").body; }

}  // namespace Sim

std::string RunCaptured(const std::string& commandLine, const std::string& outPath, DWORD waitMs, DWORD* exitCode) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    // A command line in UTF-8 can carry characters beyond the ANSI code page; any other is ANSI.
    UINT codePage = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, commandLine.c_str(), -1, nullptr, 0) ? CP_UTF8
                                                                                                          : CP_ACP;
    std::wstring cmd(MultiByteToWideChar(codePage, 0, commandLine.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(codePage, 0, commandLine.c_str(), -1, cmd.data(), static_cast<int>(cmd.size()));
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(out);
        *exitCode = 0xFFFFFFFF;
        return "";
    }
    if (WaitForSingleObject(pi.hProcess, waitMs) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 0xDEAD);
    GetExitCodeProcess(pi.hProcess, exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(out);
    return ReadFileBytes(outPath);
}

std::string RunHost(const std::string& scriptPath, const std::vector<std::string>& options, int* exitCode) {
    std::string dir = BuildDir();
    std::string cmd = "\"" + dir + "\\parly-host.exe\"";
    for (auto& o : options) cmd += " " + o;
    cmd += " \"" + scriptPath + "\"";
    DWORD code = 0;
    // Named after this test program: others may run parly-host at the same time.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string program = self;
    program = program.substr(program.find_last_of("\\/") + 1);
    std::string output = RunCaptured(cmd, dir + "\\scratch-host-out-" + program + ".txt", 120000, &code);
    *exitCode = static_cast<int>(code);
    return output;
}
