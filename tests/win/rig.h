// Test rig: plays the host for one freshly loaded copy of the plug-in, and drives the provider simulator.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

using Param = std::optional<std::string>;
constexpr std::nullopt_t kAbsent = std::nullopt;

struct Registration {
    int id;
    std::string name;
    std::string hint;
    bool hintWasNull;
    std::vector<unsigned char> kinds;
    int count, count2;
};

struct VariableWrite {
    std::string name;
    std::string value;
    DWORD tick;
    DWORD threadId;
};

// The directory of the running test program (where the plug-in and parly-host are built).
std::string BuildDir();
// Path of a fresh scratch directory for one test.
std::string ScratchDir(const std::string& name);
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path, bool* exists = nullptr);

class PluginRig {
  public:
    // Loads the plug-in and makes the host's calls in order; `registerAll` false stops after loading.
    explicit PluginRig(bool registerAll = true);
    ~PluginRig();

    HMODULE module() const { return module_; }
    HWND hostWindow() const { return window_; }
    FARPROC Proc(const char* name) const;

    // nbExecAction by action name with the given parameter texts (kAbsent is a null pointer).
    BOOL Exec(const std::string& action, const std::vector<Param>& params = {});
    BOOL ExecId(int id, const std::vector<Param>& params = {});
    BOOL Edit(int id, char** slots);
    void Message(int code, int param = 0);
    void Init(char** name, char** maker, char** description);

    std::string Var(const std::string& name) const;
    bool HasVar(const std::string& name) const;
    std::string LastError();

    std::vector<Registration> registrations;
    std::vector<VariableWrite> writes;
    std::vector<std::string> scriptLines;
    std::vector<std::pair<std::string, std::string>> vars;  // latest value per name, in first-write order
    // Called inside HostSetVariable (e.g. to raise a stop from a "script event").
    void (*onWrite)(PluginRig& rig, const VariableWrite& w) = nullptr;
    // Called inside HostRunScript.
    void (*onRunScript)(PluginRig& rig, const std::string& line) = nullptr;

    // Pumps messages until pred() or timeout; true when pred() became true.
    template <typename Pred>
    bool PumpUntil(Pred pred, DWORD timeoutMs) {
        DWORD start = GetTickCount();
        while (!pred()) {
            if (GetTickCount() - start > timeoutMs) return false;
            PumpOnce(20);
        }
        return true;
    }
    void PumpOnce(DWORD waitMs);

    static PluginRig* current;

  private:
    HMODULE module_ = nullptr;
    HWND window_ = nullptr;
};

// The provider simulator started by the test runner (PARLY_SIM_PORT).
namespace Sim {
int Port();
std::string BaseUrl();  // http://127.0.0.1:PORT
void Reset();
// Queues one override, as the simulator's JSON object.
void Next(const std::string& json);
// How HEAD / is answered until the next Reset, as the simulator's JSON object ("version", "status", "headers", "close").
void HeadReply(const std::string& json);
int Count();
std::string Body(int index = -1);
std::string Head(int index = -1);
std::string Header(const std::string& name, int index = -1);
std::string Png();
// The second server that redirect overrides name in Location; it must never be reached.
int DecoyPort();
int DecoyCount();
// Port of the simulator's n-th HTTPS listener (started with --tls), or 0 when it has none.
int TlsPort(int n);
// What the latest streamed reply did: {"sent":N,"total":N,"client_left":bool,"finished":bool}.
std::string StreamStats();
// One plain request to another loopback test server (its control paths); the reply's body, *status its status.
std::string LoopbackCall(int port, const wchar_t* verb, const std::string& path, int* status = nullptr);
// Points every fixed provider host at the simulator (PARLY_*_URL).
void RedirectAll();
void ClearRedirects();
}  // namespace Sim

// The stdout of parly-host running a script file; *exitCode gets its exit code.
// Runs a command line (UTF-8 or ANSI) with stdout and stderr into outPath, waiting up to waitMs (then ending it); its output.
std::string RunCaptured(const std::string& commandLine, const std::string& outPath, DWORD waitMs, DWORD* exitCode);
std::string RunHost(const std::string& scriptPath, const std::vector<std::string>& options, int* exitCode);
