// The networks users have: a proxy set only in the user's Internet settings (this test's own Wine prefix), keys
// that travel only inside the provider's tunnel, the bypass list, a proxy that wants a sign-in, and servers that
// close kept connections just as they are reused.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;
using Sim::LoopbackCall;

namespace {

// The simulator's listener with the certificate for openai.parly.test and claude.parly.test.
constexpr int kProxiedNames = 3;

int EnvPort(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : 0;
}

int ProxyPort() { return EnvPort("PARLY_PROXY_PORT"); }
int StalePort() { return EnvPort("PARLY_STALE_PORT"); }
std::string ProxyName() { return "127.0.0.1:" + std::to_string(ProxyPort()); }

// Internet-settings flags of DefaultConnectionSettings.
constexpr DWORD kDirect = 1, kManualProxy = 2;

// Writes the user's Internet settings as the settings dialog stores them: a version header, then the proxy text,
// the bypass list and the configuration script's address, each with its length.
void SetInternetSettings(DWORD flags, const std::string& proxy, const std::string& bypass) {
    static DWORD counter = 1;
    std::string blob;
    auto dword = [&](DWORD v) { blob.append(reinterpret_cast<const char*>(&v), sizeof v); };
    auto text = [&](const std::string& t) {
        dword(static_cast<DWORD>(t.size()));
        blob += t;
    };
    dword(0x46);
    dword(counter++);
    dword(flags);
    text(proxy);
    text(bypass);
    text("");
    blob.append(32, '\0');
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
                              0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void UseProxy(const std::string& bypass = "<local>") { SetInternetSettings(kDirect | kManualProxy, ProxyName(), bypass); }

// What the proxy was asked, one "kind target" per request, in order.
std::vector<std::string> ProxyLog() {
    std::vector<std::string> lines;
    std::istringstream in(LoopbackCall(ProxyPort(), L"GET", "/__proxy/log"));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string ProxyClearBytes() { return LoopbackCall(ProxyPort(), L"GET", "/__proxy/clear"); }

class ProxyNet : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ProxyPort(), 0) << "no test proxy: run through ctest";
        ASSERT_NE(Sim::TlsPort(kProxiedNames), 0) << "the simulator has no listener for the proxied names";
        Sim::Reset();
        Sim::ClearRedirects();
        LoopbackCall(ProxyPort(), L"POST", "/__proxy/reset");
        LoopbackCall(StalePort(), L"POST", "/__stale/reset");
        UseProxy();
    }
    void TearDown() override {
        Sim::ClearRedirects();
        SetInternetSettings(kDirect, "", "");
    }
    // A provider whose host is only reachable through the proxy, over HTTPS.
    static std::string Proxied(const char* name) {
        return std::string("https://") + name + ".parly.test:" + std::to_string(Sim::TlsPort(kProxiedNames));
    }
    static std::string Connect(const char* name) {
        return std::string("connect ") + name + ".parly.test:" + std::to_string(Sim::TlsPort(kProxiedNames));
    }
    // The loaded plug-in; Reload() lets it go (the unload message included) and loads it afresh.
    PluginRig& Rig() { return *rig_; }
    PluginRig& Reload() {
        rig_.reset();
        rig_ = std::make_unique<PluginRig>();
        return *rig_;
    }

  private:
    std::unique_ptr<PluginRig> rig_ = std::make_unique<PluginRig>();
};

TEST_F(ProxyNet, ChatOverHttpAndHttpsGoesThroughTheProxyOfTheInternetSettings) {
    // Plain HTTP: the proxy carries the request itself.
    const std::string ollama = "http://ollama.parly.test:" + std::to_string(Sim::Port());
    Rig().Exec("ParlySetEndpoint", {ollama});
    Rig().Exec("ParlyInit", {"Ollama", "", "[S]"});
    Rig().Exec("ParlySend", {"over http", "[A]"});
    EXPECT_EQ(Rig().Var("[A]"), "Ollama says: over http") << Rig().LastError();
    EXPECT_EQ(ProxyLog(), std::vector<std::string>{"http " + ollama + "/api/chat"});
    EXPECT_EQ(Sim::Header("Host", -1), "ollama.parly.test:" + std::to_string(Sim::Port()));

    // HTTPS: a tunnel, and the request inside it, certificate checked against the provider's name.
    LoopbackCall(ProxyPort(), L"POST", "/__proxy/reset");
    ScopedEnv route("PARLY_OPENAI_URL", Proxied("openai"));
    Select(Rig(), "OpenAI", "sk-tunnel-only");
    Rig().Exec("ParlySend", {"over https", "[A]"});
    EXPECT_EQ(Rig().Var("[A]"), "OpenAI says: over https") << Rig().LastError();
    EXPECT_EQ(ProxyLog(), std::vector<std::string>{Connect("openai")});
    EXPECT_EQ(Sim::Header("Authorization", -1), "Bearer sk-tunnel-only");
    EXPECT_EQ(Sim::Count(), 2) << "one request over each route, nothing sent twice";
}

TEST_F(ProxyNet, KeysNeverReachTheProxyAndEachProviderGetsItsOwnTunnel) {
    ScopedEnv openai("PARLY_OPENAI_URL", Proxied("openai"));
    ScopedEnv claude("PARLY_CLAUDE_URL", Proxied("claude"));
    // The server keeps its connections open, as the providers' servers do, so a kept tunnel could be reused.
    Sim::Next(R"({"keep":true,"count":4})");
    std::vector<std::string> expected;
    for (int round = 0; round < 2; ++round) {
        Select(Rig(), "OpenAI", "sk-openai-key-1234");
        Rig().Exec("ParlySend", {"to openai", "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), "OpenAI says: to openai") << Rig().LastError();
        EXPECT_EQ(Sim::Header("Host", -1), "openai.parly.test:" + std::to_string(Sim::TlsPort(kProxiedNames)));
        EXPECT_EQ(Sim::Header("x-api-key", -1), "<absent>");
        Select(Rig(), "Claude", "sk-ant-claude-key-5678");
        Rig().Exec("ParlySend", {"to claude", "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), "Claude says: to claude") << Rig().LastError();
        EXPECT_EQ(Sim::Header("Host", -1), "claude.parly.test:" + std::to_string(Sim::TlsPort(kProxiedNames)));
        EXPECT_EQ(Sim::Header("Authorization", -1), "<absent>");
        expected.push_back(Connect("openai"));
        expected.push_back(Connect("claude"));
    }
    // A tunnel per request: none is kept for the next provider.
    EXPECT_EQ(ProxyLog(), expected);
    const std::string clear = ProxyClearBytes();
    EXPECT_FALSE(clear.empty());
    for (const char* secret : {"sk-openai-key-1234", "sk-ant-claude-key-5678", "Authorization", "x-api-key"})
        EXPECT_EQ(clear.find(secret), std::string::npos) << secret << " reached the proxy in clear:\n" << clear;
}

// Servers answer the key-less HEAD / in their own ways; whatever they do, the key travels only inside a tunnel, to
// the provider the script chose. A reply after which WinHTTP drops the connection leaves no tunnel for the key.
TEST_F(ProxyNet, WhateverAServerAnswersToTheTunnelsFirstRequestTheKeyStaysInTheTunnel) {
    ScopedEnv openai("PARLY_OPENAI_URL", Proxied("openai"));
    const std::string elsewhere = "https://claude.parly.test:" + std::to_string(Sim::TlsPort(kProxiedNames)) + "/";
    const struct {
        std::string head;
        bool answered;
        bool sentOnce = false;  // sent, and its answer unreadable
    } rows[] = {
        {R"({"headers":{"Connection":"close"}})", false},
        {R"({"headers":{"Connection":"Keep-Alive, Close"}})", false},
        {R"({"version":"HTTP/1.0"})", false},  // an HTTP/1.0 reply ends its connection unless it says keep-alive
        {R"({"headers":{"Proxy-Connection":"close"}})", false},
        {R"({"version":"HTTP/1.0","headers":{"Connection":"keep-alive"}})", true},
        {"{\"status\":302,\"headers\":{\"Location\":\"" + elsewhere + "\"}}", true},  // never followed
        {R"({"status":404})", true},
        {R"({"body":"stray bytes after a HEAD answer"})", false, true},  // the request went out once, and only once
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.head);
        Sim::Reset();
        Sim::HeadReply(row.head);
        LoopbackCall(ProxyPort(), L"POST", "/__proxy/reset");
        Select(Rig(), "OpenAI", "sk-openai-key-1234");
        Rig().Exec("ParlySend", {"quirk", "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), row.answered ? "OpenAI says: quirk" : "") << Rig().LastError();
        const std::string clear = ProxyClearBytes();
        EXPECT_EQ(clear.find("sk-openai-key-1234"), std::string::npos) << "the key reached the proxy in clear:\n" << clear;
        EXPECT_EQ(Sim::Count(), row.answered || row.sentOnce ? 1 : 0);
        if (Sim::Count() > 0)
            EXPECT_EQ(Sim::Header("Host", -1), "openai.parly.test:" + std::to_string(Sim::TlsPort(kProxiedNames)));
        for (const std::string& line : ProxyLog()) EXPECT_EQ(line, Connect("openai"));
    }
}

// A server that drips its answer to the tunnel's first request past the deadline: the script hears of the time-out,
// and the request itself is never sent after that.
TEST_F(ProxyNet, ARequestWhoseTunnelOutlastsTheDeadlineIsNeverSent) {
    ScopedEnv openai("PARLY_OPENAI_URL", Proxied("openai"));
    Sim::HeadReply(R"({"drip_ms":2000})");
    Select(Rig(), "OpenAI", "sk-openai-key-1234");
    Rig().Exec("ParlySetTimeout", {"5"});
    Rig().Exec("ParlySend", {"too late", "[A]"});
    EXPECT_EQ(BeforeHint(Rig().LastError()), "OpenAI API error (0): Request timed out after 5 seconds");
    // What the exchange does once the tunnel's answer is complete: send the request, or close the tunnel.
    auto heads = [] { return std::atoi(LoopbackCall(Sim::Port(), L"GET", "/__sim/heads").c_str()); };
    EXPECT_TRUE(Rig().PumpUntil([&] { return heads() >= 2 || Sim::Count() > 0; }, 10000));
    EXPECT_EQ(Sim::Count(), 0) << "the request went out after its deadline";
}

// A background request and a foreground one through the same proxy at the same time, to two providers.
TEST_F(ProxyNet, TwoProvidersAtOnceEachTravelInTheirOwnTunnel) {
    ScopedEnv openai("PARLY_OPENAI_URL", Proxied("openai"));
    ScopedEnv claude("PARLY_CLAUDE_URL", Proxied("claude"));
    Sim::Next(R"({"keep":true,"count":6})");
    for (int round = 0; round < 3; ++round) {
        const std::string n = std::to_string(round);
        Select(Rig(), "OpenAI", "sk-openai-key-1234");
        Rig().Exec("ParlySendAsync", {"background-" + n, "[B]", "Done"});
        Select(Rig(), "Claude", "sk-ant-claude-key-5678");
        Rig().Exec("ParlySend", {"foreground-" + n, "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), "Claude says: foreground-" + n) << Rig().LastError();
        EXPECT_TRUE(Rig().PumpUntil([&] { return Rig().Var("[B]") == "OpenAI says: background-" + n; }, 15000))
            << Rig().Var("[B]") << " / " << Rig().LastError();
    }
    const std::vector<std::string> log = ProxyLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), Connect("openai")), 3);
    EXPECT_EQ(std::count(log.begin(), log.end(), Connect("claude")), 3);
    EXPECT_EQ(log.size(), 6u);
    EXPECT_EQ(ProxyClearBytes().find("sk-"), std::string::npos);
}

TEST_F(ProxyNet, TheBypassListAndLoopbackGoDirect) {
    // 0.0.0.0 reaches this machine without a name lookup and is not loopback, so only the bypass list decides.
    const struct {
        const char* bypass;
        const char* url;
        bool viaProxy;
    } rows[] = {
        {"<local>", "0.0.0.0", true},
        {"<local>;0.0.0.*", "0.0.0.0", false},
        {"*.example 0.0.0.0", "0.0.0.0", false},
        {"http://0.0.0.0", "0.0.0.0", false},
        {"https://0.0.0.0", "0.0.0.0", true},
        {"", "127.0.0.1", false},  // loopback never goes through a proxy, bypass list or not
        {"", "localhost", false},
        {"", "127.1", false},  // spellings the resolver reads as 127.0.0.1: a proxy would reach its own machine
        {"", "0x7f.0.0.1", false},
        {"", "2130706433", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.bypass) + " / " + row.url);
        UseProxy(row.bypass);
        PluginRig& fresh = Reload();  // the settings are read once per load
        LoopbackCall(ProxyPort(), L"POST", "/__proxy/reset");
        const int before = Sim::Count();
        fresh.Exec("ParlySetEndpoint", {std::string("http://") + row.url + ":" + std::to_string(Sim::Port())});
        fresh.Exec("ParlyInit", {"Ollama", "", "[S]"});
        fresh.Exec("ParlySend", {"bypass?", "[A]"});
        EXPECT_EQ(fresh.Var("[A]"), "Ollama says: bypass?") << fresh.LastError();
        EXPECT_EQ(Sim::Count(), before + 1);
        EXPECT_EQ(ProxyLog().size(), row.viaProxy ? 1u : 0u);
    }
}

// A proxy written with a user name and password is used at its host and port, and neither is ever sent; a setting
// the plug-in cannot use fails the request with a text naming it. No request goes direct past a proxy the user set.
TEST_F(ProxyNet, AProxySettingIsNeverSkippedAndItsPasswordNeverSent) {
    const std::string at = "127.0.0.1:" + std::to_string(ProxyPort());
    const std::string signIn = "The proxy " + at + " asks for a sign-in (407), which this plug-in cannot give";
    const std::string unusable = " cannot be used: this plug-in needs a proxy given as host:port";
    const struct {
        std::string setting;
        bool proxyWantsSignIn;
        std::string error;  // empty: answered through the proxy
    } rows[] = {
        {"user:secret@" + at, false, ""},
        {"user:se;cret@" + at, false, ""},  // a separator inside the password
        {"http://user:secret@" + at + "/", false, ""},
        {"http=user:secret@" + at + ";https=user:secret@" + at, false, ""},
        {"user:secret@" + at, true, signIn},
        {"socks=user:secret@" + at, false, "The proxy setting socks=" + at + unusable},
        {"https://user:secret@" + at, false, "The proxy setting https://" + at + unusable},
        {"user:secret@127.0.0.1:proxyport", false, "The proxy setting 127.0.0.1:proxyport" + unusable},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.setting);
        SetInternetSettings(kDirect | kManualProxy, row.setting, "<local>");
        PluginRig& fresh = Reload();  // the settings are read once per load
        Sim::Reset();
        LoopbackCall(ProxyPort(), L"POST", "/__proxy/reset");
        if (row.proxyWantsSignIn) LoopbackCall(ProxyPort(), L"POST", "/__proxy/auth/on");
        // 0.0.0.0 reaches the simulator directly without a name lookup, so a request that skipped the proxy shows.
        fresh.Exec("ParlySetEndpoint", {"http://0.0.0.0:" + std::to_string(Sim::Port())});
        fresh.Exec("ParlyInit", {"Ollama", "", "[S]"});
        fresh.Exec("ParlySend", {"over http", "[A]"});
        if (row.error.empty()) {
            ASSERT_EQ(fresh.Var("[A]"), "Ollama says: over http") << fresh.LastError();
            ASSERT_EQ(ProxyLog().size(), 1u) << "the request went direct";
            // Only now is a name that only the proxy can reach safe to ask for.
            ScopedEnv route("PARLY_OPENAI_URL", Proxied("openai"));
            Select(fresh, "OpenAI", "sk-tunnel-only");
            fresh.Exec("ParlySend", {"over https", "[A]"});
            EXPECT_EQ(fresh.Var("[A]"), "OpenAI says: over https") << fresh.LastError();
            EXPECT_EQ(ProxyLog().back(), Connect("openai"));
            EXPECT_EQ(Sim::Count(), 2);
        } else {
            ASSERT_EQ(fresh.LastError(), "Ollama error (0): " + row.error);
            ASSERT_EQ(Sim::Count(), 0) << "the request went direct";
            ScopedEnv route("PARLY_OPENAI_URL", Proxied("openai"));
            Select(fresh, "OpenAI", "sk-never-sent");
            fresh.Exec("ParlySend", {"over https", "[A]"});
            EXPECT_EQ(fresh.LastError(), "OpenAI API error (0): " + row.error);
            EXPECT_EQ(Sim::Count(), 0);
        }
        const std::string clear = ProxyClearBytes();
        for (const char* secret : {"cret", "Proxy-Authorization", "sk-"})
            EXPECT_EQ(clear.find(secret), std::string::npos) << secret << " reached the proxy:\n" << clear;
    }
}

// One request on [::1], answered as Ollama answers (pretty-printed); the simulator listens on IPv4 only.
class Ipv6Ollama {
  public:
    Ipv6Ollama() {
        WSADATA wsa;
        started_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
        listener_ = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in6 addr = {};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        int size = sizeof addr;
        if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
            listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
            return;
        port_ = ntohs(addr.sin6_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Ipv6Ollama() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        if (started_) WSACleanup();
    }
    int port() const { return port_; }
    std::string head() {
        std::lock_guard<std::mutex> hold(lock_);
        return head_;
    }

  private:
    void Serve() {
        SOCKET peer = INVALID_SOCKET;
        while (!stop_ && peer == INVALID_SOCKET) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(listener_, &ready);
            timeval wait = {0, 100000};
            if (select(0, &ready, nullptr, nullptr, &wait) == 1) peer = accept(listener_, nullptr, nullptr);
        }
        if (peer == INVALID_SOCKET) return;
        std::string got;
        char buffer[4096];
        for (int n; got.find("\r\n\r\n") == std::string::npos && (n = recv(peer, buffer, sizeof buffer, 0)) > 0;)
            got.append(buffer, n);
        {
            std::lock_guard<std::mutex> hold(lock_);
            head_ = got.substr(0, got.find("\r\n\r\n"));
        }
        const std::string body =
            "{\n  \"model\": \"llama3\",\n  \"created_at\": \"2026-12-08T10:00:00Z\",\n  \"message\": {\n"
            "    \"role\": \"assistant\",\n    \"content\": \"Hello over IPv6\"\n  },\n  \"done_reason\": \"stop\",\n"
            "  \"done\": true,\n  \"eval_count\": 4\n}\n";
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        send(peer, reply.data(), static_cast<int>(reply.size()), 0);
        shutdown(peer, SD_SEND);
        while (recv(peer, buffer, sizeof buffer, 0) > 0) {
        }
        closesocket(peer);
    }

    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string head_;
    std::thread thread_;
};

// An Ollama on this machine's IPv6 loopback: reached directly, with the proxy set, its address in the Host line.
TEST_F(ProxyNet, AnOllamaEndpointOnIpv6LoopbackIsReachedDirectly) {
    Ipv6Ollama server;
    ASSERT_NE(server.port(), 0) << "no IPv6 loopback on this machine";
    const std::string hostPort = "[::1]:" + std::to_string(server.port());
    Rig().Exec("ParlySetEndpoint", {"http://" + hostPort});
    Rig().Exec("ParlyInit", {"Ollama", "", "[S]"});
    Rig().Exec("ParlySend", {"over IPv6", "[A]"});
    EXPECT_EQ(Rig().Var("[A]"), "Hello over IPv6") << Rig().LastError();
    EXPECT_TRUE(StartsWith(server.head(), "POST /api/chat HTTP/1.1\r\n")) << server.head();
    EXPECT_NE(server.head().find("\r\nHost: " + hostPort + "\r\n"), std::string::npos) << server.head();
    EXPECT_TRUE(ProxyLog().empty());
}

TEST_F(ProxyNet, TheSettingsAreReadOncePerLoad) {
    SetInternetSettings(kDirect, "", "");
    const std::string url = "http://0.0.0.0:" + std::to_string(Sim::Port());
    Rig().Exec("ParlySetEndpoint", {url});
    Rig().Exec("ParlyInit", {"Ollama", "", "[S]"});
    Rig().Exec("ParlySend", {"first", "[A]"});
    EXPECT_EQ(Rig().Var("[A]"), "Ollama says: first") << Rig().LastError();
    UseProxy();
    Rig().Exec("ParlySend", {"same load", "[A]"});
    EXPECT_EQ(Rig().Var("[A]"), "Ollama says: same load") << Rig().LastError();
    EXPECT_TRUE(ProxyLog().empty()) << "the settings were read again within one load";

    PluginRig& reloaded = Reload();
    reloaded.Exec("ParlySetEndpoint", {url});
    reloaded.Exec("ParlyInit", {"Ollama", "", "[S]"});
    reloaded.Exec("ParlySend", {"next load", "[A]"});
    EXPECT_EQ(reloaded.Var("[A]"), "Ollama says: next load") << reloaded.LastError();
    EXPECT_EQ(ProxyLog().size(), 1u);
}

TEST_F(ProxyNet, AProxyThatAsksForASignInGivesAnErrorNamingItAndIsAskedOnce) {
    LoopbackCall(ProxyPort(), L"POST", "/__proxy/auth/on");
    const std::string expected = "The proxy " + ProxyName() + " asks for a sign-in (407), which this plug-in cannot give";
    {
        SCOPED_TRACE("HTTPS");
        ScopedEnv route("PARLY_OPENAI_URL", Proxied("openai"));
        Select(Rig(), "OpenAI", "sk-never-sent");
        Rig().Exec("ParlySend", {"blocked", "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), "");
        EXPECT_EQ(Rig().LastError(), "OpenAI API error (0): " + expected);
        // The tunnel was asked for once; what else the proxy saw is the key-less question whether it wants a sign-in.
        const std::vector<std::string> log = ProxyLog();
        EXPECT_EQ(std::count(log.begin(), log.end(), Connect("openai")), 1) << log.size();
        for (const std::string& line : log)
            EXPECT_TRUE(line == Connect("openai") || line.find(".invalid:80/") != std::string::npos) << line;
    }
    {
        SCOPED_TRACE("HTTP");
        LoopbackCall(ProxyPort(), L"POST", "/__proxy/reset");
        LoopbackCall(ProxyPort(), L"POST", "/__proxy/auth/on");
        Rig().Exec("ParlySetEndpoint", {"http://ollama.parly.test:" + std::to_string(Sim::Port())});
        Rig().Exec("ParlyInit", {"Ollama", "", "[S]"});
        Rig().Exec("ParlySend", {"blocked", "[A]"});
        EXPECT_EQ(Rig().LastError(), "Ollama error (0): " + expected);
        EXPECT_EQ(ProxyLog().size(), 1u);
    }
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_EQ(ProxyClearBytes().find("sk-never-sent"), std::string::npos);
}

// The keep-alive server answers a connection's first request and cuts it when the next one arrives on it.
TEST_F(ProxyNet, AServerClosingKeptConnectionsAtReuseLosesNoRequestInTwenty) {
    // By name, so the rig's own control calls to 127.0.0.1 never pick up the plug-in's kept connection.
    ScopedEnv route("PARLY_OPENAI_URL", "http://localhost:" + std::to_string(StalePort()));
    Select(Rig(), "OpenAI", "sk-kept");
    for (int i = 0; i < 20; ++i) {
        const std::string prompt = "kept-" + std::to_string(100 + i);
        Rig().Exec("ParlyClearHistory");
        Rig().Exec("ParlySend", {prompt, "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), "Kept says: " + prompt) << Rig().LastError();
    }
    std::istringstream log(LoopbackCall(StalePort(), L"GET", "/__stale/log"));
    std::string word;
    int dropped = -1, prompts = 0;
    log >> word >> dropped;
    for (std::string prompt; log >> prompt >> word; ++prompts)
        EXPECT_EQ(word, "1") << prompt << " was answered more than once";
    EXPECT_EQ(prompts, 20);
    EXPECT_GE(dropped, 5) << "the connections were never reused, so nothing was tested";
}

TEST_F(ProxyNet, AClosedPortFailsAtOnceAndASilentServerIsAskedOnceAndTimesOutOnTime) {
    SetInternetSettings(kDirect, "", "");
    {
        SCOPED_TRACE("closed port");
        ScopedEnv route("PARLY_OPENAI_URL", ClosedUrl());
        Select(Rig(), "OpenAI");
        const ULONGLONG start = GetTickCount64();
        Rig().Exec("ParlySend", {"nobody", "[A]"});
        EXPECT_LT(GetTickCount64() - start, 3000u);
        EXPECT_TRUE(StartsWith(Rig().LastError(), "OpenAI API error (0): Failed to send request. Error code: 12029"))
            << Rig().LastError();
    }
    {
        SCOPED_TRACE("silent server");
        ScopedEnv route("PARLY_OPENAI_URL", Sim::BaseUrl());
        Select(Rig(), "OpenAI");
        Rig().Exec("ParlySetTimeout", {"5"});
        Sim::Next(R"({"mode":"stall"})");
        const ULONGLONG start = GetTickCount64();
        Rig().Exec("ParlySend", {"hello?", "[A]"});
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_GE(took, 4800u);
        EXPECT_LT(took, 7000u);
        EXPECT_EQ(BeforeHint(Rig().LastError()), "OpenAI API error (0): Request timed out after 5 seconds");
        EXPECT_EQ(Sim::Count(), 1);
    }
    {
        SCOPED_TRACE("a server that took the request and closed is asked once more, and only once");
        ScopedEnv route("PARLY_OPENAI_URL", Sim::BaseUrl());
        Sim::Reset();
        Sim::Next(R"({"mode":"drop"})");
        Rig().Exec("ParlySend", {"again", "[A]"});
        EXPECT_EQ(Rig().Var("[A]"), "OpenAI says: again") << Rig().LastError();
        EXPECT_EQ(Sim::Count(), 2);
    }
}

// The second attempt after a dropped request gets what is left of the one deadline, and its own wait for the reply
// ends there too, so no exchange is left waiting on the silent server after the script got its time-out.
TEST_F(ProxyNet, ARequestAskedAgainAfterADropStillEndsAtItsDeadline) {
    SetInternetSettings(kDirect, "", "");
    ScopedEnv route("PARLY_OPENAI_URL", Sim::BaseUrl());
    Select(Rig(), "OpenAI");
    Rig().Exec("ParlySetTimeout", {"5"});
    Sim::Next(R"({"mode":"drop"})");
    Sim::Next(R"({"mode":"stall"})");
    Rig().Exec("ParlySend", {"dropped then silent", "[A]"});
    EXPECT_EQ(BeforeHint(Rig().LastError()), "OpenAI API error (0): Request timed out after 5 seconds");
    EXPECT_EQ(Sim::Count(), 2);
    EXPECT_TRUE(Rig().PumpUntil([] { return LoopbackCall(Sim::Port(), L"GET", "/__sim/held") == "0"; }, 3000))
        << "the second attempt still waits on the silent server";
}

}  // namespace
