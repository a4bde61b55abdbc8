// The user's proxy: which route a request takes, the session for it, and the key-less tunnel for HTTPS.
#pragma once
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "net/http.h"

// How one request travels: straight to its host, or through the named proxy; or not at all, when the
// setting that applies names a proxy this plug-in cannot use.
struct ProxyRoute {
    bool viaProxy = false;
    std::string proxy;     // "host:port" when viaProxy
    std::string unusable;  // the setting's entry (no user name or password) when it cannot be used
};

// The route for `target`: loopback always direct; otherwise as the user's Internet settings say (a configuration
// script or auto-detection asked within `budgetMs`, then the manual proxy, then the machine's WinHTTP setting).
// The settings are read once per load.
ProxyRoute RouteFor(const HttpTarget& target, DWORD budgetMs);

// At unload (and at a new load in the same mapping): the next request reads the Internet settings again.
void ForgetProxySettings();

// A session for the route, asking for TLS 1.2 and 1.3 (1.2 alone where 1.3 is refused); null on failure.
HINTERNET OpenRouteSession(const ProxyRoute& route);

// What opening a tunnel gave: 0 and a status, or the platform's error number.
struct TunnelOutcome {
    DWORD error = 0;
    DWORD status = 0;  // 407 when the proxy asks for a sign-in
};

// Opens the proxy's tunnel to the connection's host with a key-less HEAD and reads its reply to the end, so the
// request that follows on the same connection travels inside that tunnel and none of its headers (the key among
// them) is ever copied into a CONNECT request. Call with the process's tunnel turn held.
TunnelOutcome OpenTunnel(HINTERNET connection, DWORD timeoutMs);

// Asks the proxy, with a bare request for a name that exists nowhere, whether it wants a sign-in: some WinHTTP
// versions report a 407 to their own CONNECT only as a failed secure channel (12157).
bool ProxyWantsSignIn(const ProxyRoute& route, DWORD timeoutMs);

// Closes a tunnel that OpenTunnel left open for a request that will not be sent, so no later request of another
// provider can pick it up.
void RetireTunnel(HINTERNET connection);

// One proxied HTTPS request at a time goes from its tunnel to its send: WinHTTP may pool tunnels by the proxy's
// name alone, so two at once could swap tunnels and with them providers.
class TunnelTurn {
  public:
    // When wanted, waits up to waitMs for the turn; held() says whether it came.
    TunnelTurn(bool wanted, DWORD waitMs);
    ~TunnelTurn() { Release(); }
    TunnelTurn(const TunnelTurn&) = delete;
    TunnelTurn& operator=(const TunnelTurn&) = delete;
    bool held() const { return held_; }
    void Release();

  private:
    bool held_ = false;
};
