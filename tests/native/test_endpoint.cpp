#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "providers/endpoint.h"
#include "providers/provider_table.h"

namespace {

constexpr const char* kRedirectVariables[] = {"PARLY_OPENAI_URL", "PARLY_CLAUDE_URL", "PARLY_GEMINI_URL",
                                              "PARLY_OPENROUTER_URL", "PARLY_GROQ_URL", "PARLY_GROK_URL"};

// Starts every test with no redirection set and leaves none behind.
class ApiHostTest : public ::testing::Test {
protected:
    void SetUp() override { ClearRedirects(); }
    void TearDown() override { ClearRedirects(); }
    static void ClearRedirects() {
        for (const char* name : kRedirectVariables) unsetenv(name);
    }
};

struct EndpointCase {
    std::string endpoint;
    std::string host;
    int port;
    bool secure;
};

TEST(ParseEndpointUrl, SplitsHostPortAndTlsLikeTheOllamaClient) {
    const EndpointCase cases[] = {
        {"", "localhost", 11434, false},
        {"http://localhost:11434", "localhost", 11434, false},
        {"http://10.0.0.5", "10.0.0.5", 11434, false},
        {"https://gpu-box", "gpu-box", 443, true},
        {"https://gpu-box:8443/", "gpu-box", 8443, true},
        {"gpu-box:11434", "gpu-box", 11434, false},
        {"HTTPS://gpu-box", "gpu-box", 11434, false},
        {"http://gpu-box/ollama", "gpu-box/ollama", 11434, false},
        {"http://gpu-box:11500/api", "gpu-box", 11500, false},
        {"http://host:0", "host", 0, false},
        {"http://host: 8080", "host", 8080, false},
        {"http://host:+8080", "host", 8080, false},
        {"http://host:-0", "host", 0, false},
        {"http://host:65535", "host", 65535, false},
        {"ftp://files", "files", 11434, false},
        {"x https://y", "y", 11434, false},
        {"http://[::1]:11434", "[::1]", 11434, false},  // IPv6 keeps its brackets, the form WinHTTP connects to
        {"http://[::1]", "[::1]", 11434, false},
        {"https://[fd00::5]:8443/", "[fd00::5]", 8443, true},
        {"[::ffff:7f00:1]:11500", "[::ffff:7f00:1]", 11500, false},
    };
    for (const auto& c : cases) {
        Endpoint e;
        std::string error;
        ASSERT_TRUE(ParseEndpointUrl(c.endpoint, &e, &error)) << c.endpoint << ": " << error;
        EXPECT_EQ(e.host, c.host) << c.endpoint;
        EXPECT_EQ(e.port, c.port) << c.endpoint;
        EXPECT_EQ(e.secure, c.secure) << c.endpoint;
    }
}

TEST(ParseEndpointUrl, PortThatIsNotAUsablePortIsAnErrorNotAnException) {
    const struct {
        std::string endpoint;
        std::string error;
    } cases[] = {
        {"http://host:abc", "Invalid endpoint port: abc"},
        {"http://host:abc/api", "Invalid endpoint port: abc/api"},
        {"http://host:", "Invalid endpoint port: "},
        {"http://host:65536", "Invalid endpoint port: 65536"},
        {"http://host:-1", "Invalid endpoint port: -1"},
        {"http://host:99999999999999999999", "Invalid endpoint port: 99999999999999999999"},
        {"https://host:+-1", "Invalid endpoint port: +-1"},
        {"http://[::1]:abc", "Invalid endpoint port: abc"},
        {"http://[::1:11434", "Invalid endpoint port: :1:11434"},
    };
    for (const auto& c : cases) {
        Endpoint e;
        std::string error;
        EXPECT_FALSE(ParseEndpointUrl(c.endpoint, &e, &error)) << c.endpoint;
        EXPECT_EQ(error, c.error);
    }
}

TEST(ParseRedirectUrl, AcceptsHttpWithPortAndHttpsWithOptionalPort) {
    const EndpointCase cases[] = {
        {"http://127.0.0.1:8080", "127.0.0.1", 8080, false},
        {"http://127.0.0.1:8080/", "127.0.0.1", 8080, false},
        {"http://mock", "mock", 80, false},
        {"https://mock.test", "mock.test", 443, true},
        {"https://mock.test/", "mock.test", 443, true},
        {"https://mock.test:9443", "mock.test", 9443, true},
    };
    for (const auto& c : cases) {
        Endpoint e;
        ASSERT_TRUE(ParseRedirectUrl(c.endpoint, &e)) << c.endpoint;
        EXPECT_EQ(e.host, c.host);
        EXPECT_EQ(e.port, c.port);
        EXPECT_EQ(e.secure, c.secure);
    }
}

TEST(ParseRedirectUrl, RejectsAnythingButSchemeHostAndPort) {
    const std::string cases[] = {
        "",
        "localhost:8080",
        "ftp://host",
        "HTTP://host",
        "http://",
        "http:///",
        "http://:80",
        "http://host:",
        "http://host:0",
        "http://host:65536",
        "http://host:123456",
        "http://host:8a",
        "http://host:+80",
        "http://host:80/api",
        "http://host/api",
        "http://host//",
        "http://user@host",
        "http://ho st",
        "http://host?x",
        "http://a:1:2",
    };
    for (const auto& c : cases) {
        Endpoint e;
        EXPECT_FALSE(ParseRedirectUrl(c, &e)) << c;
    }
}

TEST_F(ApiHostTest, EachProviderHasItsPublicTlsHostOnTheDefaultPort) {
    const struct {
        int which;
        const char* host;
    } cases[] = {
        {kProviderOpenAI, "api.openai.com"},   {kProviderClaude, "api.anthropic.com"},
        {kProviderGemini, "generativelanguage.googleapis.com"}, {kProviderOpenRouter, "openrouter.ai"},
        {kProviderGroq, "api.groq.com"},       {kProviderGrok, "api.x.ai"},
    };
    for (const auto& c : cases) {
        Endpoint e;
        std::string error;
        ASSERT_TRUE(ResolveApiHost(*FindProvider(c.which), &e, &error));
        EXPECT_EQ(e.host, c.host);
        EXPECT_EQ(e.port, 0);
        EXPECT_TRUE(e.secure);
    }
}

TEST_F(ApiHostTest, EachVariableRedirectsOnlyItsOwnProviderAndIsReadAtEveryCall) {
    const int hosts[] = {kProviderOpenAI, kProviderClaude, kProviderGemini,
                         kProviderOpenRouter, kProviderGroq, kProviderGrok};
    for (size_t i = 0; i < 6; ++i) {
        setenv(kRedirectVariables[i], "http://127.0.0.1:8080/", 1);
        for (size_t k = 0; k < 6; ++k) {
            Endpoint e;
            std::string error;
            ASSERT_TRUE(ResolveApiHost(*FindProvider(hosts[k]), &e, &error));
            EXPECT_EQ(e.host == "127.0.0.1", i == k) << kRedirectVariables[i] << " / " << k;
            if (i == k) {
                EXPECT_EQ(e.port, 8080);
                EXPECT_FALSE(e.secure);
            }
        }
        setenv(kRedirectVariables[i], "", 1);  // empty counts as unset
        Endpoint e;
        std::string error;
        ASSERT_TRUE(ResolveApiHost(*FindProvider(hosts[i]), &e, &error));
        EXPECT_NE(e.host, "127.0.0.1");
        unsetenv(kRedirectVariables[i]);
    }
}

TEST_F(ApiHostTest, MalformedRedirectionNamesItsVariableAndValue) {
    setenv("PARLY_GROQ_URL", "localhost:8080", 1);
    Endpoint e;
    std::string error;
    EXPECT_FALSE(ResolveApiHost(*FindProvider(kProviderGroq), &e, &error));
    EXPECT_EQ(error, "Invalid PARLY_GROQ_URL: localhost:8080");
    setenv("PARLY_GEMINI_URL", "https://h:x", 1);
    EXPECT_FALSE(ResolveApiHost(*FindProvider(kProviderGemini), &e, &error));
    EXPECT_EQ(error, "Invalid PARLY_GEMINI_URL: https://h:x");
}

}  // namespace
