#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "providers/chat_protocol.h"

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

SessionSettings Settings(int provider, const std::string& model = "m") {
    SessionSettings s;
    s.provider = provider;
    s.apiKey = "k";
    s.model = model;
    return s;
}

Headers InOrder(const HeaderMap& map) { return Headers(map.begin(), map.end()); }

// Starts every test with no host redirection set and leaves none behind.
class ChatTest : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        for (const char* name : {"PARLY_OPENAI_URL", "PARLY_CLAUDE_URL", "PARLY_GEMINI_URL", "PARLY_OPENROUTER_URL",
                                 "PARLY_GROQ_URL", "PARLY_GROK_URL"})
            unsetenv(name);
    }
};

using ChatBody = ChatTest;
using ChatTarget = ChatTest;
using ChatHeaders = ChatTest;

TEST_F(ChatBody, OpenAIWorkedExampleWithSystemPromptAndHistory) {
    SessionSettings s = Settings(kProviderOpenAI, "gpt-4o");
    s.systemPrompt = "Be brief";
    ConversationHistory history = {{"user", "Hi"}, {"assistant", "Hello!"}};
    const ChatRequest r = BuildChatRequest(s, history, "Next");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body,
              R"({"model":"gpt-4o","messages":[{"role":"system","content":"Be brief"},{"role":"user","content":"Hi"},)"
              R"({"role":"assistant","content":"Hello!"},{"role":"user","content":"Next"}],"temperature":0.70,"max_tokens":2048})");
}

TEST_F(ChatBody, CompatibleProvidersDifferOnlyInTemperatureAndTail) {
    const struct {
        int provider;
        bool maxTokensSet;
        double temperature;
        const char* tail;
    } cases[] = {
        {kProviderOpenAI, false, 0.7, R"(,"temperature":0.70,"max_tokens":2048})"},
        {kProviderOpenAI, false, 1.0, R"(,"temperature":1.00,"max_tokens":2048})"},
        {kProviderOpenRouter, false, 0.7, R"(,"temperature":0.7})"},
        {kProviderOpenRouter, true, 0.7, R"(,"temperature":0.7,"max_tokens":2048})"},
        {kProviderOpenRouter, true, 1.0, R"(,"temperature":1,"max_tokens":2048})"},
        {kProviderGroq, false, 0.7, R"(,"temperature":0.7,"max_tokens":2048})"},
        {kProviderGroq, false, 0.25, R"(,"temperature":0.25,"max_tokens":2048})"},
        {kProviderGrok, false, 0.7, R"(,"temperature":0.7,"max_tokens":2048,"stream":false})"},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(c.provider);
        s.maxTokensSet = c.maxTokensSet;
        s.temperature = c.temperature;
        const ChatRequest r = BuildChatRequest(s, {}, "Hi");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body, std::string(R"({"model":"m","messages":[{"role":"user","content":"Hi"}])") + c.tail)
            << c.provider;
    }
}

TEST_F(ChatBody, ClaudeWorkedExampleAndEscapedSystemPrompt) {
    EXPECT_EQ(BuildChatRequest(Settings(kProviderClaude), {}, "Hi").body,
              R"({"model":"m","max_tokens":2048,"messages":[{"role":"user","content":"Hi"}]})");
    SessionSettings s = Settings(kProviderClaude);
    s.systemPrompt = "Say \"hi\"\nnow";
    ConversationHistory history = {{"user", "a"}, {"assistant", "b"}, {"user", "c"}, {"assistant", "d"}};
    EXPECT_EQ(BuildChatRequest(s, history, "e").body,
              R"({"model":"m","max_tokens":2048,"system":"Say \"hi\"\nnow","messages":[{"role":"user","content":"a"},)"
              R"({"role":"assistant","content":"b"},{"role":"user","content":"c"},{"role":"assistant","content":"d"},)"
              R"({"role":"user","content":"e"}]})");
}

TEST_F(ChatBody, GeminiWorkedExampleAndRoleMapping) {
    SessionSettings s = Settings(kProviderGemini);
    const std::string plain = BuildChatRequest(s, {}, "Hi").body;
    EXPECT_EQ(plain,
              R"({"contents":[{"role":"user","parts":[{"text":"Hi"}]}],"generationConfig":{"temperature":0.70,"maxOutputTokens":2048}})");
    EXPECT_EQ(plain.size(), 117u);
    s.systemPrompt = "S";
    s.temperature = 0.0;
    ConversationHistory history = {{"user", "a"}, {"assistant", "b"}, {"Assistant", "x"}, {"system", "y"}};
    EXPECT_EQ(BuildChatRequest(s, history, "c").body,
              R"({"contents":[{"role":"user","parts":[{"text":"a"}]},{"role":"model","parts":[{"text":"b"}]},)"
              R"({"role":"user","parts":[{"text":"x"}]},{"role":"user","parts":[{"text":"y"}]},)"
              R"({"role":"user","parts":[{"text":"c"}]}],"systemInstruction":{"parts":[{"text":"S"}]},)"
              R"("generationConfig":{"temperature":0.00,"maxOutputTokens":2048}})");
}

TEST_F(ChatBody, OllamaWorkedExampleAndSystemPromptFirst) {
    SessionSettings s = Settings(kProviderOllama, "llama3");
    const std::string plain = BuildChatRequest(s, {}, "Hi").body;
    EXPECT_EQ(plain,
              R"({"model":"llama3","messages":[{"role":"user","content":"Hi"}],"stream":false,"options":{"temperature":0.70,"num_predict":2048}})");
    EXPECT_EQ(plain.size(), 127u);
    s.systemPrompt = "S";
    s.temperature = 1.5;
    EXPECT_EQ(BuildChatRequest(s, {}, "Hi").body,
              R"({"model":"llama3","messages":[{"role":"system","content":"S"},{"role":"user","content":"Hi"}],)"
              R"("stream":false,"options":{"temperature":1.50,"num_predict":2048}})");
}

TEST_F(ChatBody, ModelAndStoredRolesAreEscapedAndTextsEscapedOnce) {
    for (int provider : {kProviderOpenAI, kProviderClaude, kProviderOllama, kProviderOpenRouter, kProviderGroq,
                         kProviderGrok}) {
        SessionSettings s = Settings(provider, "my\"model");
        ConversationHistory history = {{"us\"er", "q\"\\\n"}};
        const std::string body = BuildChatRequest(s, history, "tab\there").body;
        EXPECT_NE(body.find(R"("model":"my\"model")"), std::string::npos) << body;
        EXPECT_NE(body.find(R"({"role":"us\"er","content":"q\"\\\n"})"), std::string::npos) << body;
        EXPECT_NE(body.find(R"("content":"tab\there")"), std::string::npos) << body;
    }
}

TEST_F(ChatBody, HostTextInAnsiIsSentAsUtf8) {
    for (int provider : {kProviderOpenAI, kProviderClaude, kProviderGemini, kProviderOllama}) {
        SessionSettings s = Settings(provider, "mod\xE8le");
        s.systemPrompt = "r\xE9sum\xE9";
        ConversationHistory history = {{"user", "na\xEFve"}, {"assistant", "caf\xC3\xA9"}};
        const ChatRequest r = BuildChatRequest(s, history, "\x80 5");
        const std::string all = r.body + r.target.path;
        for (const char* utf8 : {"r\xC3\xA9sum\xC3\xA9", "na\xC3\xAFve", "caf\xC3\xA9", "\xE2\x82\xAC 5"})
            EXPECT_NE(all.find(utf8), std::string::npos) << provider << ": " << utf8;
        EXPECT_TRUE(all.find("mod\xC3\xA8le") != std::string::npos || all.find("mod%C3%A8le") != std::string::npos);
    }
    SessionSettings s = Settings(kProviderOpenAI);
    s.apiKey = "k\xE9";
    EXPECT_EQ(BuildChatRequest(s, {}, "x").headers.at("Authorization"), "Bearer k\xC3\xA9");
}

TEST_F(ChatTarget, EachProviderGoesToItsHostAndPath) {
    const struct {
        int provider;
        const char* host;
        int port;
        bool secure;
        const char* path;
    } cases[] = {
        {kProviderOpenAI, "api.openai.com", 0, true, "/v1/chat/completions"},
        {kProviderClaude, "api.anthropic.com", 0, true, "/v1/messages"},
        {kProviderGemini, "generativelanguage.googleapis.com", 0, true, "/v1beta/models/m:generateContent?key=k"},
        {kProviderOllama, "localhost", 11434, false, "/api/chat"},
        {kProviderOpenRouter, "openrouter.ai", 0, true, "/api/v1/chat/completions"},
        {kProviderGroq, "api.groq.com", 0, true, "/openai/v1/chat/completions"},
        {kProviderGrok, "api.x.ai", 0, true, "/v1/chat/completions"},
    };
    for (const auto& c : cases) {
        const ChatRequest r = BuildChatRequest(Settings(c.provider), {}, "Hi");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.target.host, c.host);
        EXPECT_EQ(r.target.port, c.port);
        EXPECT_EQ(r.target.secure, c.secure);
        EXPECT_EQ(r.target.path, c.path);
        EXPECT_FALSE(r.isGet);
    }
}

TEST_F(ChatTarget, GeminiPathPercentEncodesBytesThatBreakTheQuery) {
    const struct {
        std::string key;
        std::string model;
        std::string path;
    } cases[] = {
        {"AIzaSyA-b_c.d~e", "gemini-1.5-flash", "/v1beta/models/gemini-1.5-flash:generateContent?key=AIzaSyA-b_c.d~e"},
        {"a b&c#d%e+f?g", "m", "/v1beta/models/m:generateContent?key=a%20b%26c%23d%25e%2Bf%3Fg"},
        {"k\r\n\x7F", "m", "/v1beta/models/m:generateContent?key=k%0D%0A%7F"},
        {"\xC3\xA9", "m\xE9", "/v1beta/models/m%C3%A9:generateContent?key=%C3%A9"},
        {"k", "tuned models/x?y", "/v1beta/models/tuned%20models/x%3Fy:generateContent?key=k"},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(kProviderGemini, c.model);
        s.apiKey = c.key;
        EXPECT_EQ(BuildChatRequest(s, {}, "Hi").target.path, c.path);
    }
}

TEST_F(ChatTarget, OllamaFollowsEndpointAndReportsABadPort) {
    SessionSettings s = Settings(kProviderOllama);
    s.endpoint = "https://gpu-box:8443/";
    ChatRequest r = BuildChatRequest(s, {}, "Hi");
    EXPECT_EQ(r.target.host, "gpu-box");
    EXPECT_EQ(r.target.port, 8443);
    EXPECT_TRUE(r.target.secure);
    s.endpoint = "http://gpu-box:abc";
    r = BuildChatRequest(s, {}, "Hi");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Invalid endpoint port: abc");
}

TEST_F(ChatTarget, RedirectionReplacesHostAndAMalformedOneStopsTheRequest) {
    setenv("PARLY_CLAUDE_URL", "http://127.0.0.1:9000", 1);
    ChatRequest r = BuildChatRequest(Settings(kProviderClaude), {}, "Hi");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.target.host, "127.0.0.1");
    EXPECT_EQ(r.target.port, 9000);
    EXPECT_FALSE(r.target.secure);
    EXPECT_EQ(r.target.path, "/v1/messages");
    setenv("PARLY_CLAUDE_URL", "bogus", 1);
    r = BuildChatRequest(Settings(kProviderClaude), {}, "Hi");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Invalid PARLY_CLAUDE_URL: bogus");
}

TEST_F(ChatTarget, MissingOrUnknownProviderSendsNothing) {
    const struct {
        int provider;
        const char* error;
    } cases[] = {{kProviderNone, "No provider initialized. Call ParlyInit first."},
                 {8, "Unknown provider"},
                 {-1, "Unknown provider"}};
    for (const auto& c : cases) {
        const ChatRequest r = BuildChatRequest(Settings(c.provider), {}, "Hi");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(InterpretChatReply(c.provider, HttpResult{200, R"({"content":"x"})", ""}).error, c.error);
    }
}

TEST_F(ChatHeaders, NamesGoOutInByteOrderWithTheirValues) {
    const std::string json = "application/json";
    const struct {
        int provider;
        Headers expected;
    } cases[] = {
        {kProviderOpenAI, {{"Authorization", "Bearer k"}, {"Content-Type", json}}},
        {kProviderClaude, {{"Content-Type", json}, {"anthropic-version", "2023-06-01"}, {"x-api-key", "k"}}},
        {kProviderGemini, {{"Content-Type", json}}},
        {kProviderOllama, {{"Content-Type", json}}},
        {kProviderOpenRouter,
         {{"Authorization", "Bearer k"},
          {"Content-Type", json},
          {"HTTP-Referer", "https://github.com/parlyplugin/parly-nbp"},
          {"X-Title", "Parly Plugin for Stagewright Win"}}},
        {kProviderGroq, {{"Authorization", "Bearer k"}, {"Content-Type", json}}},
        {kProviderGrok, {{"Authorization", "Bearer k"}, {"Content-Type", json}}},
    };
    for (const auto& c : cases) EXPECT_EQ(InOrder(BuildChatRequest(Settings(c.provider), {}, "Hi").headers), c.expected);
}

TEST_F(ChatHeaders, ClaudeSendsTheKeyHeaderEvenWhenEmpty) {
    SessionSettings s = Settings(kProviderClaude);
    s.apiKey.clear();
    EXPECT_EQ(BuildChatRequest(s, {}, "Hi").headers.at("x-api-key"), "");
}

struct ReplyCase {
    int provider;
    int status;
    std::string body;
    std::string transportError;
    bool ok;
    std::string answer;
    std::string error;
};

void ExpectOutcomes(const std::vector<ReplyCase>& cases) {
    for (const auto& c : cases) {
        const ChatOutcome o = InterpretChatReply(c.provider, HttpResult{c.status, c.body, c.transportError});
        EXPECT_EQ(o.ok, c.ok) << c.provider << " " << c.body;
        EXPECT_EQ(o.answer, c.answer) << c.provider << " " << c.body;
        EXPECT_EQ(o.error, c.error) << c.provider << " " << c.body;
    }
}

TEST(ChatReply, AnswersAreTakenFromEachProvidersReplyShape) {
    ExpectOutcomes({
        {kProviderOpenAI, 200, R"({"choices":[{"message":{"role":"assistant","content":"Line1\nLine2"}}]})", "", true,
         "Line1\nLine2", ""},
        {kProviderOpenRouter, 200, R"({"choices":[{"message":{"content": "Hi \u00e9"}}]})", "", true, "Hi \xC3\xA9", ""},
        {kProviderGroq, 200, R"({"content":"g"})", "", true, "g", ""},
        {kProviderGrok, 200, R"({"content":"k"})", "", true, "k", ""},
        {kProviderClaude, 200, R"({"content":[{"type":"text","text":"Hello"},{"type":"text","text":"more"}]})", "", true,
         "Hellomore", ""},
        {kProviderGemini, 200, R"({"candidates":[{"content":{"parts":[{"text":"G1"},{"text":"G2"}]}}]})", "", true, "G1G2", ""},
        {kProviderOllama, 200, R"({"model":"llama3","message":{"role":"assistant","content":"O"},"done":true})", "", true,
         "O", ""},
        {kProviderOllama, 200, R"({"content":"early","message":{"content":"late"}})", "", true, "late", ""},
    });
}

// Thinking, signatures and grounding travel beside the answer; only the answer's own parts are read.
TEST(ChatReply, ThinkingIsNeverTheAnswer) {
    ExpectOutcomes({
        {kProviderGemini, 200,
         "{\n  \"candidates\": [\n    {\n      \"content\": {\n        \"parts\": [\n"
         "          {\"text\": \"**Weighing it** first\", \"thought\": true},\n"
         "          {\"thoughtSignature\": \"c2lnbmF0dXJl\"},\n"
         "          {\"text\": \"The answer\", \"thoughtSignature\": \"c2ln\"},\n"
         "          {\"text\": \" is 4.\"}\n        ],\n        \"role\": \"model\"\n      },\n"
         "      \"finishReason\": \"STOP\",\n      \"groundingMetadata\": {\"groundingSupports\": [{\"segment\": "
         "{\"startIndex\": 0, \"text\": \"The answer\"}}]}\n    }\n  ],\n"
         "  \"usageMetadata\": {\"thoughtsTokenCount\": 12}\n}",
         "", true, "The answer is 4.", ""},
        {kProviderGemini, 200, R"({"candidates":[{"content":{"parts":[{"text":"only a thought","thought":true}]},"finishReason":"MAX_TOKENS"}]})",
         "", false, "",
         "Google stopped at the token limit before writing any answer (MAX_TOKENS). Raise the limit with ParlySetMaxTokens."},
        {kProviderClaude, 200,
         "{\n  \"id\": \"msg_1\",\n  \"type\": \"message\",\n  \"role\": \"assistant\",\n  \"content\": [\n"
         "    {\"type\": \"thinking\", \"thinking\": \"Let me see\", \"signature\": \"EqQB\"},\n"
         "    {\"type\": \"redacted_thinking\", \"data\": \"EmwKAhgB\"},\n"
         "    {\"type\": \"text\", \"text\": \"Four\", \"citations\": [{\"type\": \"char_location\", \"cited_text\": \"4\"}]},\n"
         "    {\"type\": \"text\", \"text\": \" it is.\"}\n  ],\n  \"stop_reason\": \"end_turn\"\n}",
         "", true, "Four it is.", ""},
        {kProviderOpenAI, 200,
         R"({"choices":[{"index":0,"message":{"role":"assistant","reasoning_content":"hmm","reasoning":"hmm","content":"Four"}}]})",
         "", true, "Four", ""},
        // Typed content parts (a gateway's thinking models): only the text parts.
        {kProviderOpenRouter, 200,
         R"({"choices":[{"message":{"role":"assistant","content":[{"type":"thinking","thinking":[{"type":"text","text":"hmm"}]},)"
         R"({"type":"text","text":"Four"}]}}]})",
         "", true, "Four", ""},
        {kProviderGroq, 200, R"({"choices":[{"message":{"role":"assistant","reasoning":"long thought","content":null}}]})", "",
         false, "", "Failed to extract response from Groq"},
        {kProviderOllama, 200,
         "{\n  \"model\": \"qwen3\",\n  \"message\": {\n    \"role\": \"assistant\",\n    \"thinking\": \"hmm\",\n"
         "    \"content\": \"Four\"\n  },\n  \"done\": true\n}",
         "", true, "Four", ""},
        {kProviderOllama, 200, R"({"message":{"role":"assistant","content":"","thinking":"only thinking"},"done":true})", "",
         false, "", "Failed to parse Ollama response"},
        // A member name may be spelt with escapes; it is still the same member.
        {kProviderGemini, 200,
         R"({"c\u0061ndidates":[{"content":{"parts":[{"text":"secret plan","th\u006fught":true},{"t\u0065xt":"Four"}]}}]})",
         "", true, "Four", ""},
        {kProviderClaude, 200, R"({"content":[{"t\u0079pe":"thinking","text":"secret"},{"type":"t\u0065xt","te\u0078t":"Four"}]})",
         "", true, "Four", ""},
        {kProviderOllama, 200, R"({"m\u0065ssage":{"thinking":"hmm","c\u006Fntent":"Four"},"done":true})", "", true, "Four", ""},
        {kProviderOpenAI, 200, R"({"choices":[{"message":{"cont\u0065nt":"Four"}}]})", "", true, "Four", ""},
        {kProviderGemini, 200, R"({"candidates":[{"content":{"parts":[{"text":"x","th\uzzzzught":true}]}}]})", "", true, "x", ""},
    });
}

// A host variable ends at its first NUL: an answer's NULs are dropped, so nothing after one is lost.
TEST(ChatReply, NulCharactersAreDroppedFromTheAnswer) {
    ExpectOutcomes({
        {kProviderOpenAI, 200, R"({"choices":[{"message":{"content":"a\u0000b"}}]})", "", true, "ab", ""},
        {kProviderClaude, 200, R"({"content":[{"type":"text","text":"\u0000x\u0000"}]})", "", true, "x", ""},
        {kProviderOllama, 200, R"({"message":{"content":"\u0000"}})", "", false, "", "Failed to parse Ollama response"},
    });
}

// A streamed reply read whole, whatever its label: the whole answer with its end marker, else a clear error.
TEST(ChatReply, AStreamUnderAnotherLabelIsReadAsTheStreamItIs) {
    ExpectOutcomes({
        {kProviderOpenAI, 200,
         "data: {\"choices\":[{\"delta\":{\"content\":\"First \"}}]}\n\ndata: {\"choices\":[{\"delta\":{\"content\":\"second\"}}]}\n\n"
         "data: [DONE]\n\n",
         "", true, "First second", ""},
        {kProviderOpenAI, 200, "data: {\"choices\":[{\"delta\":{\"content\":\"First \"}}]}\n\n", "", false, "",
         "OpenAI API error (200): The answer stream ended before it was complete"},
        {kProviderClaude, 200,
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"A\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"B\"}}\n\n"
         "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n",
         "", true, "AB", ""},
        {kProviderGemini, 200,
         "\xEF\xBB\xBF" "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"G\"}]}}]}\r\n\r\n"
         "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"H\"}]},\"finishReason\":\"STOP\"}]}\r\n\r\n",
         "", true, "GH", ""},
        {kProviderOllama, 200,
         "{\"message\":{\"content\":\"O\"},\"done\":false}\n{\"message\":{\"content\":\"K\"},\"done\":false}\n"
         "{\"message\":{\"content\":\"\"},\"done\":true}\n",
         "", true, "OK", ""},
        {kProviderOllama, 200, "{\"message\":{\"content\":\"O\"},\"done\":false}\r{\"message\":{\"content\":\"K\"},\"done\":false}\r", "",
         false, "", "Ollama error (200): The answer stream ended before it was complete"},
        // The body's end also ends its last line, even when the server left out the final line break.
        {kProviderOpenAI, 200, "data: {\"choices\":[{\"delta\":{\"content\":\"Whole\"}}]}\n\ndata: [DONE]", "", true, "Whole", ""},
        {kProviderGemini, 200,
         "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"G\"}]},\"finishReason\":\"STOP\"}]}", "", true, "G", ""},
        {kProviderClaude, 200,
         "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"C\"}}\r\n\r\n"
         "event: message_stop\r\ndata: {\"type\":\"message_stop\"}\r", "", true, "C", ""},
        // A byte order mark before the first line is no part of the stream.
        {kProviderOllama, 200,
         "\xEF\xBB\xBF{\"message\":{\"content\":\"O\"},\"done\":false}\n{\"message\":{\"content\":\"K\"},\"done\":true}\n", "", true,
         "OK", ""},
        // One chunk that says more is coming is a stream cut after its first line, not a whole answer.
        {kProviderOllama, 200, "{\"message\":{\"content\":\"partial\"},\"done\":false}\n", "", false, "",
         "Ollama error (200): The answer stream ended before it was complete"},
        // One value and blanks after it is the usual whole reply.
        {kProviderOllama, 200, "{\"message\":{\"content\":\"O\"},\"done\":true}\r\n\r\n", "", true, "O", ""},
    });
}

// A byte order mark before a whole reply is no part of its JSON.
TEST(ChatReply, AByteOrderMarkBeforeTheReplyIsPassedOver) {
    ExpectOutcomes({
        {kProviderOpenAI, 200, "\xEF\xBB\xBF{\"choices\":[{\"message\":{\"reasoning_content\":\"hmm\",\"content\":\"A\"}}]}", "",
         true, "A", ""},
        {kProviderClaude, 200, "\xEF\xBB\xBF\n{\"content\":[{\"type\":\"text\",\"text\":\"C\"}]}", "", true, "C", ""},
        {kProviderGemini, 200, "\xEF\xBB\xBF{\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"G\"}]}}]}", "", true, "G", ""},
        {kProviderOllama, 200, "\xEF\xBB\xBF{\"message\":{\"content\":\"O\"},\"done\":true}", "", true, "O", ""},
    });
}

TEST(ChatReply, MissingOrEmptyAnswerGivesTheProvidersParseMessage) {
    ExpectOutcomes({
        {kProviderOpenAI, 200, R"({"id":"x"})", "", false, "", "Failed to parse OpenAI response"},
        {kProviderOpenAI, 200, R"({"content":""})", "", false, "", "Failed to parse OpenAI response"},
        {kProviderOpenRouter, 200, R"({"content":null})", "", false, "", "Failed to extract response from OpenRouter"},
        {kProviderGroq, 200, R"({"content": null,"x":"y"})", "", false, "", "Failed to extract response from Groq"},
        {kProviderGrok, 200, R"({"content":42})", "", false, "", "Failed to extract response from Grok"},
        {kProviderGrok, 200, R"({"id":"x"})", "", false, "", "Failed to extract response from Grok"},
        {kProviderClaude, 200, R"({"content":[{"type":"text","text":""}]})", "", false, "", "Failed to parse Claude response"},
        {kProviderClaude, 200, R"("text)", "", false, "", "Failed to parse Claude response"},
        {kProviderGemini, 200, R"({"candidates":[]})", "", false, "", "Failed to parse Google response"},
        {kProviderOllama, 200, R"({"message":{"content":""}})", "", false, "", "Failed to parse Ollama response"},
        {kProviderOllama, 200, R"({"content":"no message key"})", "", false, "", "Failed to parse Ollama response"},
        {kProviderOllama, 200, R"("message)", "", false, "", "Failed to parse Ollama response"},
    });
}

TEST(ChatReply, OpenAINullContentIsARefusalOrAParseFailureNeverTheNextKey) {
    ExpectOutcomes({
        {kProviderOpenAI, 200, R"({"choices":[{"message":{"role":"assistant","content":null,"refusal":"I can't."}}]})",
         "", false, "", "OpenAI refused the request: I can't."},
        {kProviderOpenAI, 200, "{\n  \"content\": null,\n  \"refusal\": \"Sorry \\\"no\\\"\"\n}", "", false, "",
         "OpenAI refused the request: Sorry \"no\""},
        {kProviderOpenAI, 200, R"({"content":null,"refusal":null})", "", false, "", "Failed to parse OpenAI response"},
        {kProviderOpenAI, 200, R"({"content":null,"x":"y"})", "", false, "", "Failed to parse OpenAI response"},
        {kProviderOpenAI, 200, R"({"content":null,"refusal":""})", "", false, "", "Failed to parse OpenAI response"},
        {kProviderOpenAI, 200, R"({"content":null,"refusal":"bad \uzzzz"})", "", false, "", "Failed to parse OpenAI response"},
        {kProviderOpenAI, 200, R"({"content": "fine","refusal":null})", "", true, "fine", ""},
        // Only OpenAI names refusals; the other chat-completions providers keep their own texts.
        {kProviderGroq, 200, R"({"content":null,"refusal":"I can't."})", "", false, "", "Failed to extract response from Groq"},
    });
}

TEST(ChatReply, NonOkStatusUsesMessageThenTransportErrorThenBody) {
    ExpectOutcomes({
        {kProviderOpenAI, 401, R"({"error":{"message":"Incorrect API key provided"}})", "", false, "",
         "OpenAI API error (401): Incorrect API key provided. Check the API key given to ParlyInit."},
        {kProviderOpenAI, 201, R"({"content":"fine"})", "", false, "", R"(OpenAI API error (201): {"content":"fine"})"},
        {kProviderOpenAI, 0, "", "Failed to send request. Error code: 12029", false, "",
         "OpenAI API error (0): Failed to send request. Error code: 12029"},
        {kProviderGroq, 500, "Internal error", "", false, "", "Groq error (500): Internal error"},
        {kProviderOpenRouter, 429, R"({"error":{"message":"Rate"}})", "", false, "", 
         "OpenRouter error (429): Rate. OpenRouter's limit was reached: wait a moment and try again, or check your plan."},
        {kProviderGrok, 400, R"({"message":"Bad"})", "", false, "", "Grok error (400): Bad"},
        {kProviderClaude, 529, R"({"type":"overloaded"})", "", false, "", R"(Claude API error (529): {"type":"overloaded"})"},
        {kProviderGemini, 400, R"({"error":{"code":400,"message":"API key not valid"}})", "", false, "",
         "Google API error (400): API key not valid. Check the API key given to ParlyInit."},
        {kProviderOllama, 404, R"({"error":"model \"x\" not found"})", "", false, "",
         R"(Ollama error (404): model "x" not found)"},
        {kProviderOllama, 0, "", "Failed to connect to host: localhost", false, "",
         "Ollama error (0): Failed to connect to host: localhost"},
        {kProviderClaude, 500, "", "", false, "", "Claude API error (500): "},
    });
}

TEST(ChatReply, MalformedUnicodeEscapeIsAnOrderlyFailure) {
    ExpectOutcomes({
        {kProviderOpenAI, 200, R"({"content":"bad \uzzzz"})", "", false, "", "Invalid escape sequence in OpenAI response"},
        {kProviderGrok, 200, R"({"content":"bad \uzzzz"})", "", false, "", "Invalid escape sequence in Grok response"},
        {kProviderClaude, 200, R"({"content":[{"type":"text","text":"\u+zzz"}]})", "", false, "", "Invalid escape sequence in Claude response"},
        {kProviderGemini, 200, R"({"candidates":[{"content":{"parts":[{"text":"\uzzzz"}]}}]})", "", false, "", "Invalid escape sequence in Google response"},
        {kProviderOllama, 200, R"({"message":{"content":"\uzzzz"}})", "", false, "",
         "Invalid escape sequence in Ollama response"},
        {kProviderOpenAI, 400, R"({"message":"\uzzzz"})", "", false, "", R"(OpenAI API error (400): {"message":"\uzzzz"})"},
    });
}

TEST(OllamaTags, RequestIsAPlainGetToTheEndpoint) {
    SessionSettings s = Settings(kProviderOllama);
    s.endpoint = "http://10.0.0.5:11500";
    ChatRequest r = BuildOllamaTagsRequest(s);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.isGet);
    EXPECT_TRUE(r.headers.empty());
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(r.target.host, "10.0.0.5");
    EXPECT_EQ(r.target.port, 11500);
    EXPECT_EQ(r.target.path, "/api/tags");
    s.endpoint = "http://h:99999";
    r = BuildOllamaTagsRequest(s);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Invalid endpoint port: 99999");
}

TEST(OllamaTags, NamesAreDecodedAndOnlyWholeOnesJoinedByCommas) {
    const struct {
        HttpResult reply;
        bool ok;
        std::string answer;
        std::string error;
    } cases[] = {
        {{200, R"({"models":[{"name":"llama3:latest","size":1},{"name":"mistral:7b"}]})", ""}, true,
         "llama3:latest,mistral:7b", ""},
        {{200, R"({"models":[{"name" : "a\"b"}]})", ""}, true, "a\"b", ""},
        // A name with a comma or a control character could not be read back as one entry.
        {{200, "{\n  \"models\": [\n    {\"name\": \"a,b\"},\n    {\"name\": \"line\\nbreak\"},\n    {\"name\": \"tab\\tx\"},\n"
               "    {\"name\": \"ok:7b\"},\n    {\"name\": \"bad\\uzzzz\"}\n  ]\n}", ""}, true, "ok:7b", ""},
        {{200, R"({"models":[]})", ""}, true, "", ""},
        {{200, R"({"name":"one","name":"two","name":)", ""}, true, "one,two", ""},
        {{404, "404 page not found", ""}, false, "", "Failed to get Ollama models: "},
        {{0, "", "Failed to connect to host: localhost"}, false, "",
         "Failed to get Ollama models: Failed to connect to host: localhost"},
    };
    for (const auto& c : cases) {
        const ChatOutcome o = InterpretOllamaTags(c.reply);
        EXPECT_EQ(o.ok, c.ok) << c.reply.body;
        EXPECT_EQ(o.answer, c.answer) << c.reply.body;
        EXPECT_EQ(o.error, c.error) << c.reply.body;
    }
}

}  // namespace
