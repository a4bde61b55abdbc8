#include <gtest/gtest.h>

#include "net/proxy_rules.h"

namespace {

// Proxy texts as the Internet settings store them, and what each scheme uses.
TEST(ProxyForScheme, PicksTheSchemesProxyInTheFormWinHttpAccepts) {
    const struct {
        const char* text;
        const char* http;
        const char* https;
    } cases[] = {
        {"proxy.corp:3128", "proxy.corp:3128", "proxy.corp:3128"},
        {"http://proxy.corp:3128/", "proxy.corp:3128", "proxy.corp:3128"},  // the URL form WinHTTP refuses
        {"proxy.corp", "proxy.corp:80", "proxy.corp:80"},
        {"http=web.corp:80;https=tls.corp:8443", "web.corp:80", "tls.corp:8443"},
        {"HTTPS=Tls.Corp:8443; ftp=f:21", "", "tls.corp:8443"},  // per-scheme entries: no http one means direct
        {"socks=s:1080", "", ""},
        {"http=http://a:1", "a:1", ""},
        {"[::1]:8080", "[::1]:8080", "[::1]:8080"},
        {"", "", ""},
        {"  ;  ", "", ""},
        {"user:pass@proxy:1", "", ""},  // credentials in the text: not a plain host and port
        {"https://proxy:443", "", ""},
        {"proxy:port", "", ""},
        {"a:1 b:2", "a:1", "a:1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ProxyForScheme(c.text, false), c.http);
        EXPECT_EQ(ProxyForScheme(c.text, true), c.https);
    }
}

TEST(BypassesProxy, HonoursLocalWildcardsSchemesAndPorts) {
    const struct {
        const char* list;
        const char* host;
        int port;
        bool secure;
        bool bypassed;
    } cases[] = {
        {"<local>", "intranet", 80, false, true},
        {"<local>", "api.openai.com", 443, true, false},
        {"<local>", "10.0.0.5", 80, false, false},
        {"*.corp.example", "llm.corp.example", 443, true, true},
        {"*.corp.example", "corp.example", 443, true, false},
        {"*.corp.example", "llm.corp.example.evil", 443, true, false},
        {"api.openai.com", "API.OpenAI.com.", 443, true, true},
        {"openai.com", "api.openai.com", 443, true, false},
        {"10.*", "10.1.2.3", 80, false, true},
        {"https://api.groq.com", "api.groq.com", 443, true, true},
        {"https://api.groq.com", "api.groq.com", 80, false, false},
        {"ollama.lan:11434", "ollama.lan", 11434, false, true},
        {"ollama.lan:11434", "ollama.lan", 80, false, false},
        {"ollama.lan:*", "ollama.lan", 1, false, true},
        {"a.example; b.example,c.example  d.example", "c.example", 443, true, true},
        {"a.example; b.example,c.example  d.example", "e.example", 443, true, false},
        {"<-loopback>", "x", 80, false, false},
        {"[fd00::1]", "fd00::1", 80, false, true},
        {"", "anything", 80, false, false},
        {"*", "anything.at.all", 443, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.host + ":" + std::to_string(c.port));
        EXPECT_EQ(BypassesProxy(c.list, c.host, c.port, c.secure), c.bypassed);
    }
}

TEST(IsLoopbackHost, KnowsLocalhostThe127NetworkAndIpv6Loopback) {
    for (const char* host : {"localhost", "LOCALHOST.", "api.localhost", "127.0.0.1", "127.255.0.9", "::1", "[::1]",
                             "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"localhost.example", "mylocalhost", "128.0.0.1", "127.0.0", "127.0.0.1.5", "127.0.0.256",
                             "0.0.0.0", "::2", "10.0.0.1", "", "api.openai.com", "1270.0.0.1"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

}  // namespace
