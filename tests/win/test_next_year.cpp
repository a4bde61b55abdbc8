// A year on: every model the plug-in names today is retired. Its own default gives way to a listed successor,
// a model the script chose is kept and the error names what is served, keys come from the environment, and
// errors say what to do. End to end against the simulator's next-year mode.
#include <gtest/gtest.h>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

class NextYear : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        int status = 0;
        Sim::LoopbackCall(Sim::Port(), L"POST", "/__sim/year/next", &status);
        ASSERT_EQ(status, 200);
    }
};

std::string ModelOf(const std::string& body) {
    const size_t at = body.find("\"model\":\"");
    return at == std::string::npos ? std::string() : body.substr(at + 9, body.find('"', at + 9) - at - 9);
}

TEST_F(NextYear, ThePluginsOwnDefaultGivesWayToTheListedSuccessorUntilUnload) {
    struct Case {
        const char* initName;
        const char* key;
        const char* successor;
    } cases[] = {{"OpenAI", "k1", "gpt-9-sol"},
                 {"Claude", "k1", "claude-sonnet-9"},
                 {"Groq", "k1", "openai/gpt-oss-240b"},
                 {"Grok", "xai-k1", "grok-9"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        const Provider& p = ProviderNamed(c.initName);
        Sim::Reset();
        int status = 0;
        Sim::LoopbackCall(Sim::Port(), L"POST", "/__sim/year/next", &status);
        Select(rig, c.initName, c.key);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), std::string(p.says) + " says: Hi") << rig.LastError();
        ASSERT_EQ(Sim::Count(), 3) << "the refusal, one listing page, the resend";
        EXPECT_NE(ModelOf(Sim::Body(0)), c.successor);
        EXPECT_EQ(RequestLine(Sim::Head(1)).substr(0, 4), "GET ");
        EXPECT_EQ(ModelOf(Sim::Body(2)), c.successor);
        // The next request, and one after a new ParlyInit, go to the successor first.
        rig.Exec("ParlyInit", {c.initName, c.key, "[S]"});
        rig.Exec("ParlySend", {"Again", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), std::string(p.says) + " says: Again") << rig.LastError();
        EXPECT_EQ(Sim::Count(), 4);
        EXPECT_EQ(ModelOf(Sim::Body(-1)), c.successor);
    }
}

TEST_F(NextYear, AStreamedSendHealsTheDefaultTooAndAChosenModelsErrorNamesTheServedOnes) {
    Select(rig, "Claude");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "Claude says: Hi") << rig.LastError();
    ASSERT_EQ(Sim::Count(), 3);
    EXPECT_EQ(ModelOf(Sim::Body(2)), "claude-sonnet-9");
    rig.Exec("ParlySetModel", {"claude-opus-4-7"});
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "");
    EXPECT_EQ(rig.LastError(), "Claude API error (404): model: claude-opus-4-7. Chat models Claude lists now: "
                               "claude-sonnet-9, claude-opus-9, claude-haiku-9, claude-sonnet-8-5.");
    EXPECT_EQ(Sim::Count(), 5);
}

TEST_F(NextYear, AModelTheScriptChoseIsKeptAndTheErrorNamesTheServedModelsNewestFirst) {
    struct Case {
        const char* initName;
        const char* model;
        const char* error;
    } cases[] = {
        {"Claude", "claude-sonnet-5-5",
         "Claude API error (404): model: claude-sonnet-5-5. Chat models Claude lists now: claude-sonnet-9, "
         "claude-opus-9, claude-haiku-9, claude-sonnet-8-5."},
        {"OpenAI", "gpt-5.6-sol",
         "OpenAI API error (404): The model `gpt-5.6-sol` does not exist or you do not have access to it. Chat models "
         "OpenAI lists now: gpt-9-sol, gpt-9-terra, gpt-9-sol-mini, gpt-8.2."},
        {"Grok", "grok-4.7",
         "Grok error (404): The model grok-4.7 does not exist or your team does not have access to it. Chat models "
         "Grok lists now: grok-9, grok-9-fast, grok-8.5."},
        {"OpenRouter", "openai/gpt-5.6-sol",
         "OpenRouter error (400): openai/gpt-5.6-sol is not a valid model ID. Chat models OpenRouter lists now: "
         "openai/gpt-9-sol, anthropic/claude-sonnet-9, openrouter/auto, openrouter/free."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName, std::string(c.initName) == "Grok" ? "xai-k1" : "k1");
        rig.Exec("ParlySetModel", {c.model});
        const int before = Sim::Count();
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        EXPECT_EQ(rig.LastError(), c.error);
        EXPECT_EQ(Sim::Count() - before, 2) << "the refusal and one listing, no resend";
        EXPECT_EQ(ModelOf(Sim::Body(-2)), c.model);
    }
}

TEST_F(NextYear, AnEmptyKeyIsTakenFromTheProvidersOwnVariableWhenParlyInitRuns) {
    ScopedEnv groq("GROQ_API_KEY", "gsk-from-env");
    ScopedEnv openai("OPENAI_API_KEY", "");
    ScopedEnv claude("ANTHROPIC_API_KEY", "");
    ScopedEnv gemini("GEMINI_API_KEY", "");
    ScopedEnv google("GOOGLE_API_KEY", " ai-google\r\n");  // as a launcher reading a file with line ends sets it
    struct Case {
        const char* initName;
        const char* status;
        const char* error;
    } cases[] = {
        {"Groq", "OK", ""},
        {"Google", "OK", ""},
        {"OpenAI", "ERROR", "API key is required for OpenAI (pass it to ParlyInit, or set OPENAI_API_KEY)"},
        {"Anthropic", "ERROR", "API key is required for Anthropic (pass it to ParlyInit, or set ANTHROPIC_API_KEY)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        rig.Exec("ParlyInit", {c.initName, "", "[S]"});
        EXPECT_EQ(rig.Var("[S]"), c.status);
        EXPECT_EQ(rig.LastError(), c.error);
    }
    // The failed inits left Google selected with the key its own variable gave; Groq's went only to Groq.
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "Gemini says: Hi") << rig.LastError();
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /v1beta/models/gemini-flash-latest:generateContent?key=ai-google");
    rig.Exec("ParlyInit", {"Groq", "", "[S]"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer gsk-from-env");
    // The variable is read when ParlyInit runs, not at each request.
    ScopedEnv later("GROQ_API_KEY", "gsk-later");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer gsk-from-env");
    // A variable the host set with the platform's own call, past the C runtime's copy, counts as well.
    ASSERT_TRUE(SetEnvironmentVariableW(L"XAI_API_KEY", L"xai-set-by-host"));
    rig.Exec("ParlyInit", {"Grok", "", "[S]"});
    SetEnvironmentVariableW(L"XAI_API_KEY", nullptr);
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer xai-set-by-host");
}

TEST_F(NextYear, NothingListeningNamesTheHostAndPortAskedAndAsksAboutOllama) {
    rig.Exec("ParlySetEndpoint", {ClosedUrl()});
    rig.Exec("ParlyInit", {"Ollama", "", "[S]"});
    const struct {
        const char* action;
        std::vector<Param> params;
        const char* error;
    } cases[] = {
        {"ParlySend", {"Hi", "[A]"},
         "Ollama error (0): Failed to send request. Error code: 12029. Nothing answered at 127.0.0.1:1. Is Ollama "
         "running there?"},
        {"ParlyGetModels", {"[M]"},
         "Failed to get Ollama models: Failed to send request. Nothing answered at 127.0.0.1:1. Is Ollama running "
         "there?"},
    };
    for (const auto& c : cases) {
        rig.Exec(c.action, c.params);
        EXPECT_EQ(rig.LastError(), c.error);
    }
}

}  // namespace
