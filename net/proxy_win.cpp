#include "net/proxy_win.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "net/encoding.h"
#include "net/proxy_rules.h"
#include "net/win_holders.h"
#include "plugin/version.h"

namespace {

// How long a configuration script or auto-detection may take before the request goes on without it.
constexpr DWORD kAutoProxyWaitMs = 5000;
// Answers of the configuration script kept per load, one per scheme, host and port.
constexpr size_t kMaxAutoAnswers = 64;

// Holds a slim lock exclusively for a scope, so an allocation failure inside cannot leave it taken.
class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    SRWLOCK* lock_;
};

// A string WinHTTP allocated with GlobalAlloc, as UTF-8, freed.
std::string TakeGlobalText(LPWSTR text) {
    if (!text) return std::string();
    std::string out = WideToUtf8(text);
    GlobalFree(text);
    return out;
}

// What the user and the machine configured, as read once per load.
struct ProxySettings {
    bool read = false;
    bool autoDetect = false;
    std::string autoConfigUrl;
    std::string manualProxy, manualBypass;    // the Internet settings' own
    std::string machineProxy, machineBypass;  // WinHTTP's machine setting (or, under Wine, http_proxy)
    bool autoFailed = false;                  // the script or detection failed once: not asked again this load
    std::map<std::string, ProxyRoute> autoAnswers;
};

SRWLOCK g_settingsLock = SRWLOCK_INIT;
ProxySettings g_settings;  // guarded by g_settingsLock

void ReadSettings(ProxySettings& s) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        s.autoDetect = user.fAutoDetect != FALSE;
        s.autoConfigUrl = TakeGlobalText(user.lpszAutoConfigUrl);
        s.manualProxy = TakeGlobalText(user.lpszProxy);
        s.manualBypass = TakeGlobalText(user.lpszProxyBypass);
    }
    WINHTTP_PROXY_INFO machine = {};
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        const bool named = machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        std::string proxy = TakeGlobalText(machine.lpszProxy);
        if (named) s.machineProxy = proxy;
        s.machineBypass = TakeGlobalText(machine.lpszProxyBypass);
    }
    s.read = true;
}

// The route a proxy text and its bypass list give for the target.
ProxyRoute RouteByList(const std::string& proxyText, const std::string& bypass, const HttpTarget& target, int port) {
    ProxyRoute route;
    if (proxyText.empty() || BypassesProxy(bypass, target.host, port, target.secure)) return route;
    route.proxy = ProxyForScheme(proxyText, target.secure, &route.unusable);
    route.viaProxy = !route.proxy.empty();
    return route;
}

// One question to the configuration script, shared by the asker and the thread that asks; whoever lets go last
// frees it. The thread holds the library, so an answer that comes after the asker stopped waiting is harmless.
struct AutoProxyQuery {
    std::wstring url, configUrl;
    bool detect = false;
    HMODULE module = nullptr;
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;
    bool finished = false, answered = false;
    std::string proxy, bypass;  // empty proxy: go direct
    LONG owners = 2;
};

void Release(AutoProxyQuery* query) {
    if (InterlockedDecrement(&query->owners) == 0) delete query;
}

DWORD WINAPI AutoProxyThread(void* param) {
    AutoProxyQuery* query = static_cast<AutoProxyQuery*>(param);
    HMODULE module = query->module;
    bool answered = false;
    std::string proxy, bypass;
    try {
        ScopedInternet session(WinHttpOpen(L"" PARLY_USER_AGENT, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
        if (session) {
            const int ms = static_cast<int>(kAutoProxyWaitMs);
            WinHttpSetTimeouts(session.get(), ms, ms, ms, ms);
            WINHTTP_AUTOPROXY_OPTIONS options = {};
            if (query->detect) {
                options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
                options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
            }
            if (!query->configUrl.empty()) {
                options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
                options.lpszAutoConfigUrl = query->configUrl.c_str();
            }
            WINHTTP_PROXY_INFO info = {};
            if (WinHttpGetProxyForUrl(session.get(), query->url.c_str(), &options, &info)) {
                answered = true;
                const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
                proxy = TakeGlobalText(info.lpszProxy);
                bypass = TakeGlobalText(info.lpszProxyBypass);
                if (!named) proxy.clear();
            }
        }
    } catch (...) {
        answered = false;
    }
    AcquireSRWLockExclusive(&query->lock);
    query->answered = answered;
    query->proxy.swap(proxy);
    query->bypass.swap(bypass);
    query->finished = true;
    ReleaseSRWLockExclusive(&query->lock);
    WakeAllConditionVariable(&query->done);
    Release(query);
    FreeLibraryAndExitThread(module, 0);
}

// Asks the configuration script (or auto-detection) about the target within waitMs; false when it gave no answer.
bool AskAutoProxy(const ProxySettings& s, const HttpTarget& target, int port, DWORD waitMs, ProxyRoute* route) {
    std::unique_ptr<AutoProxyQuery> owned(new AutoProxyQuery);
    // Scheme, host and port only: the path may carry a key (Gemini's query), and a script may be anyone's.
    owned->url = Utf8ToWide(std::string(target.secure ? "https://" : "http://") + target.host + ":" +
                            std::to_string(port) + "/");
    owned->configUrl = Utf8ToWide(s.autoConfigUrl);
    owned->detect = s.autoDetect;
    HANDLE thread = StartThreadHoldingLibrary(AutoProxyThread, owned.get(), &owned->module);
    if (!thread) return false;
    CloseHandle(thread);
    AutoProxyQuery* query = owned.release();
    const ULONGLONG until = GetTickCount64() + waitMs;
    std::string proxy, bypass;
    AcquireSRWLockExclusive(&query->lock);
    for (ULONGLONG now = GetTickCount64(); !query->finished && now < until; now = GetTickCount64())
        SleepConditionVariableSRW(&query->done, &query->lock, static_cast<DWORD>(until - now), 0);
    const bool answered = query->finished && query->answered;
    if (answered) {
        proxy.swap(query->proxy);
        bypass.swap(query->bypass);
    }
    ReleaseSRWLockExclusive(&query->lock);
    Release(query);
    if (answered) *route = RouteByList(proxy, bypass, target, port);
    return answered;
}

// Drops both WinHTTP's own redirect handling and any following of a redirect for the tunnel's HEAD.
void RefuseRedirects(HINTERNET request) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
}

void LimitRequest(HINTERNET request, DWORD ms) {
    const int t = static_cast<int>(ms);
    WinHttpSetTimeouts(request, t, t, t, t);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms);
}

// A reply header's value, empty when the reply has none (or one too long to be a connection token list).
std::wstring HeaderValue(HINTERNET request, DWORD query) {
    wchar_t value[128] = {};
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value, &size, WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    return value;
}

// True when the comma-separated list names the token, in any case.
bool HasToken(const std::wstring& list, const wchar_t* token) {
    const size_t length = wcslen(token);
    for (size_t at = 0; at <= list.size();) {
        size_t end = list.find(L',', at);
        if (end == std::wstring::npos) end = list.size();
        size_t first = at, last = end;
        while (first < last && (list[first] == L' ' || list[first] == L'\t')) ++first;
        while (last > first && (list[last - 1] == L' ' || list[last - 1] == L'\t')) --last;
        if (last - first == length && _wcsnicmp(list.c_str() + first, token, length) == 0) return true;
        at = end + 1;
    }
    return false;
}

// True when WinHTTP keeps the connection after this reply: neither Connection nor Proxy-Connection says close,
// and an HTTP/1.0 reply asks for keep-alive. Otherwise the next request opens a tunnel of its own, and some WinHTTP
// versions copy that request's headers, the key among them, into their CONNECT.
bool ReplyKeepsConnection(HINTERNET request) {
    const std::wstring connection = HeaderValue(request, WINHTTP_QUERY_CONNECTION);
    const std::wstring proxyConnection = HeaderValue(request, WINHTTP_QUERY_PROXY_CONNECTION);
    if (HasToken(connection, L"close") || HasToken(proxyConnection, L"close")) return false;
    const std::wstring version = HeaderValue(request, WINHTTP_QUERY_VERSION);
    if (_wcsicmp(version.c_str(), L"HTTP/1.1") == 0) return true;
    return HasToken(connection, L"keep-alive") || HasToken(proxyConnection, L"keep-alive");
}

SRWLOCK g_turnLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_turnFree = CONDITION_VARIABLE_INIT;
bool g_turnTaken = false;  // guarded by g_turnLock

}  // namespace

ProxyRoute RouteFor(const HttpTarget& target, DWORD budgetMs) {
    if (IsLoopbackHost(target.host)) return ProxyRoute();
    const int port = target.port != 0 ? (target.port & 0xFFFF) : (target.secure ? 443 : 80);
    const std::string key = std::string(target.secure ? "https://" : "http://") + target.host + ":" +
                            std::to_string(port);
    ProxySettings s;
    {
        ExclusiveLock hold(&g_settingsLock);
        if (!g_settings.read) ReadSettings(g_settings);
        s = g_settings;  // a copy, so nothing waits on the lock while the script is asked
    }

    if ((s.autoDetect || !s.autoConfigUrl.empty()) && !s.autoFailed) {
        const auto known = s.autoAnswers.find(key);
        if (known != s.autoAnswers.end()) return known->second;
        ProxyRoute route;
        const bool answered = AskAutoProxy(s, target, port, budgetMs < kAutoProxyWaitMs ? budgetMs : kAutoProxyWaitMs,
                                           &route);
        {
            ExclusiveLock hold(&g_settingsLock);
            if (!answered) {
                g_settings.autoFailed = true;
            } else if (g_settings.autoAnswers.size() < kMaxAutoAnswers) {
                g_settings.autoAnswers[key] = route;
            }
        }
        if (answered) return route;
    }
    if (!s.manualProxy.empty()) return RouteByList(s.manualProxy, s.manualBypass, target, port);
    return RouteByList(s.machineProxy, s.machineBypass, target, port);
}

void ForgetProxySettings() {
    ProxySettings fresh;
    ExclusiveLock hold(&g_settingsLock);
    std::swap(g_settings, fresh);
}

HINTERNET OpenRouteSession(const ProxyRoute& route) {
    const std::wstring proxy = Utf8ToWide(route.proxy);
    // Loopback and bypassed hosts go direct even where the machine's default would send them to a proxy.
    HINTERNET session = WinHttpOpen(L"" PARLY_USER_AGENT,
                                    route.viaProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    route.viaProxy ? proxy.c_str() : WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return nullptr;
    // Windows 7 offers only TLS 1.0 unless asked; a system without TLS 1.3 refuses that flag.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    return session;
}

TunnelOutcome OpenTunnel(HINTERNET connection, DWORD timeoutMs) {
    TunnelOutcome outcome;
    ScopedInternet request(WinHttpOpenRequest(connection, L"HEAD", L"/", nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) {
        outcome.error = GetLastError() ? GetLastError() : ERROR_WINHTTP_INTERNAL_ERROR;
        return outcome;
    }
    RefuseRedirects(request.get());
    LimitRequest(request.get(), timeoutMs);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        outcome.error = GetLastError();
        return outcome;
    }
    DWORD size = sizeof outcome.status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &outcome.status, &size, WINHTTP_NO_HEADER_INDEX);
    if (outcome.status == 407) return outcome;
    // Reading the (empty) reply to its end is what lets WinHTTP keep the tunnel for the next request.
    char sink[256];
    DWORD read = 0;
    for (int rounds = 0; rounds < 64; ++rounds) {
        if (!WinHttpReadData(request.get(), sink, sizeof sink, &read)) {
            outcome.error = GetLastError();
            return outcome;
        }
        if (read == 0) break;
    }
    // A tunnel the server closes after this reply would make the real request open a new one, headers and all.
    if (!ReplyKeepsConnection(request.get())) outcome.error = ERROR_WINHTTP_CONNECTION_ERROR;
    return outcome;
}

bool ProxyWantsSignIn(const ProxyRoute& route, DWORD timeoutMs) {
    if (!route.viaProxy) return false;
    const std::wstring proxy = Utf8ToWide(route.proxy);
    ScopedInternet session(WinHttpOpen(L"" PARLY_USER_AGENT, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return false;
    // A name under .invalid: a proxy that wants a sign-in says so first; one that does not finds no such host.
    ScopedInternet connection(WinHttpConnect(session.get(), L"proxy-sign-in-check.invalid", 80, 0));
    if (!connection) return false;
    ScopedInternet request(WinHttpOpenRequest(connection.get(), L"HEAD", L"/", nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) return false;
    RefuseRedirects(request.get());
    LimitRequest(request.get(), timeoutMs);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return false;
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status == 407;
}

void RetireTunnel(HINTERNET connection) {
    ScopedInternet request(WinHttpOpenRequest(connection, L"HEAD", L"/", nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) return;
    RefuseRedirects(request.get());
    LimitRequest(request.get(), 2000);
    WinHttpAddRequestHeaders(request.get(), L"Connection: close", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
    DWORD feature = WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
    if (WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        WinHttpReceiveResponse(request.get(), nullptr);
}

TunnelTurn::TunnelTurn(bool wanted, DWORD waitMs) {
    if (!wanted) return;
    const ULONGLONG until = GetTickCount64() + waitMs;
    AcquireSRWLockExclusive(&g_turnLock);
    for (ULONGLONG now = GetTickCount64(); g_turnTaken && now < until; now = GetTickCount64())
        SleepConditionVariableSRW(&g_turnFree, &g_turnLock, static_cast<DWORD>(until - now), 0);
    if (!g_turnTaken) g_turnTaken = held_ = true;
    ReleaseSRWLockExclusive(&g_turnLock);
}

void TunnelTurn::Release() {
    if (!held_) return;
    AcquireSRWLockExclusive(&g_turnLock);
    g_turnTaken = held_ = false;
    ReleaseSRWLockExclusive(&g_turnLock);
    WakeConditionVariable(&g_turnFree);
}
