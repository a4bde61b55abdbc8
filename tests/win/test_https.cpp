// The real WinHTTP/Schannel path against loopback HTTPS servers: what succeeds over plain HTTP succeeds byte for
// byte over TLS, and a certificate that does not prove the host ends the exchange before any request byte is sent.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

// The simulator's HTTPS listeners, in the order the test runner starts them.
enum Listener { kGoodCertificate = 0, kOtherName = 1, kUnknownCa = 2, kOnlyOldTls = 4 };

std::string HttpsUrl(Listener which) { return "https://localhost:" + std::to_string(Sim::TlsPort(which)); }

bool IsTextWithNumber(const std::string& text, const std::string& head) {
    if (!StartsWith(text, head) || text.size() == head.size() || text.size() > head.size() + 10) return false;
    return text.find_first_not_of("0123456789", head.size()) == std::string::npos;
}

// What one request put on the wire and what the script got back.
struct Exchange {
    std::string requestLine, body, result;
    std::vector<std::string> headers;
};

class Https : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        ASSERT_NE(Sim::TlsPort(kOnlyOldTls), 0) << "the simulator has no HTTPS listeners: run through ctest";
    }

    // Runs `action` once with `variable` set to `url` and returns the recorded request and the result.
    Exchange Through(const char* variable, const std::string& url, const std::string& action,
                     const std::vector<Param>& params, const std::string& resultVar) {
        ScopedEnv route(variable, url);
        rig.Exec("ParlyClearHistory");
        const int before = Sim::Count();
        rig.Exec(action, params);
        Exchange e;
        e.result = rig.Var(resultVar);
        EXPECT_EQ(Sim::Count(), before + 1) << action << " via " << url << ": " << rig.LastError();
        const std::string head = Sim::Head(-1);
        e.requestLine = RequestLine(head);
        e.headers = OwnHeaderLines(head);
        e.body = Sim::Body(-1);
        return e;
    }

    // The same action over plain HTTP and over HTTPS must send and receive the same bytes.
    void ExpectSameAsPlain(const char* variable, const std::string& action, const std::vector<Param>& params,
                           const std::string& resultVar, const std::string& expected) {
        const Exchange plain = Through(variable, Sim::BaseUrl(), action, params, resultVar);
        const Exchange secure = Through(variable, HttpsUrl(kGoodCertificate), action, params, resultVar);
        EXPECT_EQ(plain.result, expected);
        EXPECT_TRUE(secure.result == plain.result) << "the HTTPS result differs: " << secure.result.size() << " bytes";
        EXPECT_EQ(secure.requestLine, plain.requestLine);
        EXPECT_EQ(secure.headers, plain.headers);
        EXPECT_TRUE(secure.body == plain.body) << "the HTTPS request body differs";
    }
};

TEST_F(Https, ChatOfAnOpenAIStyleProviderAndOfClaudeMatchPlainHttp) {
    const struct {
        const char* provider;
        const char* variable;
        const char* says;
    } rows[] = {{"OpenAI", "PARLY_OPENAI_URL", "OpenAI"}, {"Groq", "PARLY_GROQ_URL", "Groq"},
                {"Claude", "PARLY_CLAUDE_URL", "Claude"}};
    const std::string prompt = "Hello over TLS, \"quoted\" and a \\ backslash";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.provider);
        Select(rig, row.provider);
        ExpectSameAsPlain(row.variable, "ParlySend", {prompt, "[A]"}, "[A]", std::string(row.says) + " says: " + prompt);
    }
}

TEST_F(Https, ImageAndEmbeddingMatchPlainHttp) {
    Select(rig, "OpenAI");
    Sim::Next(R"({"embedding":[0.125,-0.5,3e-05],"count":2})");
    ExpectSameAsPlain("PARLY_OPENAI_URL", "ParlyGetEmbedding", {"hello", "[E]"}, "[E]", "0.125,-0.5,3e-05");

    const std::string dir = ScratchDir("https-image");
    const std::string png = Sim::Png();
    for (const char* route : {"plain", "tls"}) {
        SCOPED_TRACE(route);
        const std::string path = dir + "\\" + route + ".png";
        const std::string url = std::string(route) == "plain" ? Sim::BaseUrl() : HttpsUrl(kGoodCertificate);
        const Exchange e =
            Through("PARLY_OPENAI_URL", url, "ParlyImageGen", {"a lighthouse", path, "512x512", "[S]"}, "[S]");
        EXPECT_EQ(e.result, "OK") << rig.LastError();
        EXPECT_TRUE(ReadFileBytes(path) == png) << "the image differs from the server's";
    }
}

TEST_F(Https, CertificateThatDoesNotProveTheHostFailsBeforeAnyRequestIsSent) {
    Select(rig, "OpenAI", "sk-secret");
    for (Listener which : {kOtherName, kUnknownCa}) {
        SCOPED_TRACE(which == kOtherName ? "certificate for another name" : "certificate from an unknown CA");
        ScopedEnv route("PARLY_OPENAI_URL", HttpsUrl(which));
        const int before = Sim::Count();
        rig.Exec("ParlySend", {"FAILED-untrusted", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        const std::string error = rig.LastError();
        EXPECT_TRUE(IsTextWithNumber(error, "OpenAI API error (0): Failed to send request. Error code: ")) << error;
        EXPECT_EQ(Sim::Count(), before) << "the server received a request, and with it the key";
    }
    // The good listener still works afterwards, and the history holds no failed prompt.
    ScopedEnv route("PARLY_OPENAI_URL", HttpsUrl(kGoodCertificate));
    rig.Exec("ParlySend", {"after", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: after") << rig.LastError();
    EXPECT_EQ(Sim::Body(-1).find("FAILED-"), std::string::npos);
}

// TLS 1.0 and 1.1 are refused: the handshake fails and not one byte of the request, key included, is sent.
TEST_F(Https, AServerOfferingOnlyTls10Or11IsRefusedBeforeAnyRequestByte) {
    Select(rig, "OpenAI", "sk-secret");
    ScopedEnv route("PARLY_OPENAI_URL", HttpsUrl(kOnlyOldTls));
    const int before = Sim::Count();
    rig.Exec("ParlySend", {"FAILED-old-tls", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");
    const std::string error = rig.LastError();
    EXPECT_TRUE(IsTextWithNumber(error, "OpenAI API error (0): Failed to send request. Error code: ")) << error;
    EXPECT_EQ(Sim::Count(), before) << "the request went out over TLS older than 1.2";
}

}  // namespace
