#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/stream_parse.h"
#include "providers/chat_stream.h"

void PrintTo(const StreamEvent& e, std::ostream* os) { *os << "{" << e.name << "|" << e.data << "}"; }

namespace {

using Events = std::vector<StreamEvent>;

Events SseWhole(const std::string& bytes) {
    SseParser p;
    Events out;
    EXPECT_TRUE(p.Feed(bytes, &out));
    return out;
}

// Feeds the bytes in three reads cut at a and b.
template <typename Parser>
Events FeedSplit(const std::string& bytes, size_t a, size_t b) {
    Parser p;
    Events out;
    EXPECT_TRUE(p.Feed(std::string_view(bytes).substr(0, a), &out));
    EXPECT_TRUE(p.Feed(std::string_view(bytes).substr(a, b - a), &out));
    EXPECT_TRUE(p.Feed(std::string_view(bytes).substr(b), &out));
    return out;
}

// Every way of cutting the bytes into three reads gives the events of one read.
template <typename Parser>
void ExpectSameForEverySplit(const std::string& bytes, const Events& whole) {
    for (size_t a = 0; a <= bytes.size(); ++a)
        for (size_t b = a; b <= bytes.size(); ++b) {
            Events split = FeedSplit<Parser>(bytes, a, b);
            if (split != whole) {
                ADD_FAILURE() << "cut at " << a << " and " << b;
                return;
            }
        }
}

TEST(SseParser, FieldsCommentsLineEndsAndMultiLineData) {
    struct Case {
        const char* what;
        std::string bytes;
        Events events;
    } cases[] = {
        {"one data line, LF", "data: hello\n\n", {{"", "hello"}}},
        {"CRLF", "data: hello\r\n\r\n", {{"", "hello"}}},
        {"CR alone", "data: hello\r\r", {{"", "hello"}}},
        {"no space after the colon", "data:hello\n\n", {{"", "hello"}}},
        {"only one space is dropped", "data:  two\n\n", {{"", " two"}}},
        {"several data lines join with LF", "data: a\ndata: b\r\ndata:\n\n", {{"", "a\nb\n"}}},
        {"named event", "event: ping\ndata: {\"type\": \"ping\"}\n\n", {{"ping", "{\"type\": \"ping\"}"}}},
        {"the name does not carry over", "event: x\ndata: 1\n\ndata: 2\n\n", {{"x", "1"}, {"", "2"}}},
        {"comments and unknown fields pass", ": OPENROUTER PROCESSING\n\nid: 7\nretry: 10\nfoo\ndata: z\n\n",
         {{"", "z"}}},
        {"blank lines alone dispatch nothing", "\n\n\r\n: c\n\n", {}},
        {"an event without its blank line waits", "data: pending", {}},
        {"a data line that is a whole JSON value goes at once", "data: {\"a\":\"}\\\"\"}\n", {{"", "{\"a\":\"}\\\"\"}"}}},
        {"so does [DONE]", "data: [DONE]\n", {{"", "[DONE]"}}},
        {"a JSON value over two data lines goes when it is whole",
         "data: {\"a\":\ndata: 1}\n\n", {{"", "{\"a\":\n1}"}}},
        {"an empty data field is an event", "data\n\n", {{"", ""}}},
        {"a byte order mark before the first line is dropped", "\xEF\xBB\xBF" "data: {\"a\":1}\n\n",
         {{"", "{\"a\":1}"}}},
        {"only before the first line", "data: 1\n\n\xEF\xBB\xBF" "data: 2\n\n", {{"", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SseWhole(c.bytes), c.events);
        ExpectSameForEverySplit<SseParser>(c.bytes, c.events);
    }
}

TEST(SseParser, EveryCutOfAProviderStreamGivesTheSameEvents) {
    // UTF-8 inside the data, CRLF line ends, a comment and named events: cut anywhere, "data:" and "ü" included.
    const std::string stream =
        ": keep-alive\r\n\r\nevent: content_block_delta\r\ndata: {\"delta\":{\"type\":\"text_delta\",\"text\":\"Gr\xC3\xBC\xC3\x9F "
        "\xE2\x82\xAC\"}}\r\n\r\nevent: message_stop\r\ndata: {\"type\":\"message_stop\"}\r\n\r\n";
    const Events whole = SseWhole(stream);
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[0].name, "content_block_delta");
    EXPECT_EQ(whole[1].name, "message_stop");
    ExpectSameForEverySplit<SseParser>(stream, whole);
}

TEST(SseParser, AnEventOfManyDataLinesIsReadOnceNotOncePerLine) {
    // 4 MB of one-byte data lines inside one JSON value: a reader that looked at the whole event again at every
    // line would keep the host's thread for hours.
    std::string bytes = "data: [\n";
    for (int i = 0; i < 500000; ++i) bytes += "data: 1,\n";
    bytes += "data: 1]\n";
    SseParser p;
    Events out;
    ASSERT_TRUE(p.Feed(bytes, &out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data.size(), bytes.size() - 6 * 500002 - 1);
    EXPECT_EQ(out[0].data.substr(0, 6), "[\n1,\n1");
}

TEST(SseParser, ALineLongerThanTheCapIsAnOverflow) {
    SseParser p(16);
    Events out;
    EXPECT_TRUE(p.Feed("data: 0123456789", &out));
    EXPECT_FALSE(p.Feed("abcdef", &out));
    EXPECT_FALSE(p.Feed("\n\n", &out)) << "stays failed";
    EXPECT_TRUE(out.empty());
}

TEST(NdjsonParser, LinesEndsBlanksAndEarlyWholeValues) {
    struct Case {
        const char* what;
        std::string bytes;
        Events events;
    } cases[] = {
        {"two lines", "{\"a\":1}\n{\"b\":2}\n", {{"", "{\"a\":1}"}, {"", "{\"b\":2}"}}},
        {"CRLF", "{\"a\":1}\r\n", {{"", "{\"a\":1}"}}},
        {"blank lines skipped", "\n \n{\"a\":1}\n\n", {{"", "{\"a\":1}"}}},
        {"a whole object goes before its line feed", "{\"a\":\"}\"}", {{"", "{\"a\":\"}\"}"}}},
        {"a partial object waits", "{\"a\":{\"b\":1}", {}},
        {"a line that is not an object waits for its line feed", "oops\n", {{"", "oops"}}},
        {"a brace after other text is no early end", "x{}", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NdjsonParser p;
        Events out;
        EXPECT_TRUE(p.Feed(c.bytes, &out));
        EXPECT_EQ(out, c.events);
        ExpectSameForEverySplit<NdjsonParser>(c.bytes, c.events);
    }
}

TEST(CompleteJsonValue, OnlyOneWholeObjectOrArray) {
    EXPECT_TRUE(IsCompleteJsonValue("{}"));
    EXPECT_TRUE(IsCompleteJsonValue(" [DONE] \n"));
    EXPECT_TRUE(IsCompleteJsonValue("{\"a\":\"[{\\\"\"}"));
    EXPECT_FALSE(IsCompleteJsonValue("{\"a\":\"}\""));
    EXPECT_FALSE(IsCompleteJsonValue("{} {}"));
    EXPECT_FALSE(IsCompleteJsonValue("\"text\""));
    EXPECT_FALSE(IsCompleteJsonValue(""));
    // Asked again as the text grows, the answer is the one for the whole text so far.
    for (const std::string text : {"{\"a\":\"[{\\\"\"}", "{} {}", " [1,[2]]\n", "{\"a\":\"}\"", "x{}"}) {
        JsonValueScan scan;
        for (size_t i = 0; i < text.size(); ++i) {
            scan.Feed(text.substr(i, 1));
            EXPECT_EQ(scan.Complete(), IsCompleteJsonValue(text.substr(0, i + 1))) << text << " at " << i;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The four protocols, with streams shaped like the providers' published ones.

struct Fed {
    bool ok;
    ChatStream stream;
};

Fed FeedAll(StreamProtocol protocol, const std::string& bytes, size_t step = 0) {
    Fed f{true, ChatStream(protocol)};
    if (step == 0) step = bytes.size() ? bytes.size() : 1;
    for (size_t i = 0; i < bytes.size() && f.ok; i += step)
        f.ok = FeedChatStream(&f.stream, std::string_view(bytes).substr(i, step));
    return f;
}

const char kOpenAIStream[] =
    "data: {\"id\":\"c1\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":{\"role\":\"assistant\","
    "\"content\":\"\",\"refusal\":null},\"logprobs\":null,\"finish_reason\":null}]}\n\n"
    "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"Hel\"},\"finish_reason\":null}]}\n\n"
    ": OPENROUTER PROCESSING\n\n"
    "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"lo \\\"w\\u00f6rld\\\"\\n\"},\"finish_reason\":null}]}\n\n"
    "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}],\"usage\":null}\n\n"
    "data: [DONE]\n\n";

const char kClaudeStream[] =
    "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"id\":\"msg_1\",\"type\":\"message\",\"role\":\"assistant\","
    "\"content\":[],\"stop_reason\":null}}\n\n"
    "event: content_block_start\ndata: {\"type\":\"content_block_start\",\"index\":0,\"content_block\":{\"type\":\"text\",\"text\":\"\"}}\n\n"
    "event: ping\ndata: {\"type\": \"ping\"}\n\n"
    "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\"Hello\"}}\n\n"
    "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\" there\"}}\n\n"
    "event: content_block_stop\ndata: {\"type\":\"content_block_stop\",\"index\":0}\n\n"
    "event: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\",\"stop_sequence\":null},"
    "\"usage\":{\"output_tokens\":15}}\n\n"
    "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";

const char kGeminiStream[] =
    "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"Hello\"}],\"role\": \"model\"},\"index\": 0}],"
    "\"usageMetadata\": {\"promptTokenCount\": 3},\"modelVersion\": \"gemini-1.5-pro\"}\r\n\r\n"
    "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \" wor\"},{\"text\": \"ld\"}],\"role\": \"model\"},"
    "\"finishReason\": \"STOP\",\"index\": 0}]}\r\n\r\n";

const char kOllamaStream[] =
    "{\"model\":\"llama3\",\"created_at\":\"2026-01-01T00:00:00Z\",\"message\":{\"role\":\"assistant\",\"content\":\"Hi\"},\"done\":false}\n"
    "{\"model\":\"llama3\",\"created_at\":\"2026-01-01T00:00:00Z\",\"message\":{\"role\":\"assistant\",\"content\":\" you\"},\"done\":false}\n"
    "{\"model\":\"llama3\",\"created_at\":\"2026-01-01T00:00:00Z\",\"message\":{\"role\":\"assistant\",\"content\":\"\"},"
    "\"done_reason\":\"stop\",\"done\":true,\"total_duration\":1}\n";

TEST(ChatStreamProtocols, EachProtocolGivesItsAnswerAndEndsOnItsMarkerWhateverTheReads) {
    struct Case {
        StreamProtocol protocol;
        const char* bytes;
        const char* answer;
    } cases[] = {
        {StreamProtocol::ChatCompletions, kOpenAIStream, "Hello \"w\xC3\xB6rld\"\n"},
        {StreamProtocol::Claude, kClaudeStream, "Hello there"},
        {StreamProtocol::Gemini, kGeminiStream, "Hello world"},
        {StreamProtocol::Ollama, kOllamaStream, "Hi you"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        for (size_t step : {0u, 1u, 2u, 3u, 5u, 7u, 64u}) {
            Fed f = FeedAll(c.protocol, c.bytes, step);
            EXPECT_TRUE(f.ok) << "step " << step << ": " << f.stream.error;
            EXPECT_TRUE(f.stream.ended) << "step " << step;
            EXPECT_EQ(f.stream.answer, c.answer) << "step " << step;
            EXPECT_FALSE(f.stream.stopData.empty()) << "the stop reason is kept";
        }
    }
}

TEST(ChatStreamProtocols, WithoutTheEndMarkerTheStreamIsNotEnded) {
    struct Case {
        StreamProtocol protocol;
        std::string bytes;
    } cases[] = {
        {StreamProtocol::ChatCompletions, std::string(kOpenAIStream).substr(0, std::string(kOpenAIStream).find("data: [DONE]"))},
        {StreamProtocol::Claude, std::string(kClaudeStream).substr(0, std::string(kClaudeStream).find("event: message_stop"))},
        {StreamProtocol::Gemini, std::string(kGeminiStream).substr(0, std::string(kGeminiStream).find("\r\n\r\n") + 4)},
        {StreamProtocol::Ollama, std::string(kOllamaStream).substr(0, std::string(kOllamaStream).rfind("{\"model\""))},
    };
    for (const Case& c : cases) {
        Fed f = FeedAll(c.protocol, c.bytes);
        EXPECT_TRUE(f.ok);
        EXPECT_FALSE(f.stream.ended) << c.bytes;
        EXPECT_FALSE(f.stream.answer.empty());
    }
}

TEST(ChatStreamProtocols, ErrorEventsBreakTheStreamWithTheProvidersMessage) {
    struct Case {
        StreamProtocol protocol;
        std::string bytes;
        const char* error;
    } cases[] = {
        {StreamProtocol::Claude,
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"Hi\"}}\n\n"
         "event: error\ndata: {\"type\": \"error\", \"error\": {\"type\": \"overloaded_error\", \"message\": \"Overloaded\"}}\n\n",
         "Overloaded"},
        {StreamProtocol::ChatCompletions,
         "data: {\"error\":{\"message\":\"The server had an error\",\"type\":\"server_error\"}}\n\n", "The server had an error"},
        // OpenRouter reports a failure mid-stream with choices beside the error.
        {StreamProtocol::ChatCompletions,
         "data: {\"id\":\"x\",\"error\":{\"code\":502,\"message\":\"Provider disconnected\"},\"choices\":[{\"index\":0,"
         "\"delta\":{\"content\":\"\"},\"finish_reason\":\"error\"}]}\n\n",
         "Provider disconnected"},
        {StreamProtocol::Gemini, "data: {\"error\": {\"code\": 503, \"message\": \"The model is overloaded.\", \"status\": \"UNAVAILABLE\"}}\n\n",
         "The model is overloaded."},
        {StreamProtocol::Ollama, "{\"error\":\"model runner has unexpectedly stopped\"}\n", "model runner has unexpectedly stopped"},
    };
    for (const Case& c : cases) {
        Fed f = FeedAll(c.protocol, c.bytes, 5);
        EXPECT_FALSE(f.ok) << c.bytes;
        EXPECT_TRUE(f.stream.broken);
        EXPECT_EQ(f.stream.error, c.error);
        EXPECT_FALSE(FeedChatStream(&f.stream, "data: [DONE]\n\n")) << "a broken stream stays broken";
    }
}

TEST(ChatStreamProtocols, TextThatLooksLikeAMarkerOrErrorIsOnlyText) {
    const std::string openai =
        "data: {\"choices\":[{\"delta\":{\"content\":\"say \\\"error\\\": [DONE] \\\"done\\\":true\"}}]}\n\ndata: [DONE]\n\n";
    Fed f = FeedAll(StreamProtocol::ChatCompletions, openai, 3);
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.stream.answer, "say \"error\": [DONE] \"done\":true");
    const std::string ollama = "{\"message\":{\"content\":\"\\\"done\\\":true \\\"error\\\":1\"},\"done\":false}\n";
    f = FeedAll(StreamProtocol::Ollama, ollama);
    EXPECT_TRUE(f.ok);
    EXPECT_FALSE(f.stream.ended);
    EXPECT_EQ(f.stream.answer, "\"done\":true \"error\":1");
}

TEST(ChatStreamProtocols, ARefusalDeltaIsKeptApartFromTheAnswer) {
    const std::string s =
        "data: {\"choices\":[{\"delta\":{\"content\":null,\"refusal\":\"I can't\"}}]}\n\n"
        "data: {\"choices\":[{\"delta\":{\"refusal\":\" help.\"}}]}\n\ndata: [DONE]\n\n";
    Fed f = FeedAll(StreamProtocol::ChatCompletions, s, 4);
    EXPECT_TRUE(f.ok);
    EXPECT_TRUE(f.stream.ended);
    EXPECT_EQ(f.stream.answer, "");
    EXPECT_EQ(f.stream.refusal, "I can't help.");
}

// Thinking and other non-answer text travel in parts, blocks and members of their own; none of it is answer.
TEST(ChatStreamProtocols, ThinkingAndGroundingAreNeverTheAnswer) {
    struct Case {
        StreamProtocol protocol;
        std::string bytes;
        const char* answer;
    } cases[] = {
        {StreamProtocol::Gemini,
         "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"**Planning** the reply\", \"thought\": true}],"
         "\"role\": \"model\"},\"index\": 0}]}\r\n\r\n"
         "data: {\"candidates\": [{\"content\": {\"parts\": [{\"thoughtSignature\": \"c2ln\"},{\"text\": \"First \","
         "\"thoughtSignature\": \"c2ln\"}],\"role\": \"model\"},\"index\": 0}]}\r\n\r\n"
         "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"second\"}],\"role\": \"model\"},\"finishReason\": \"STOP\","
         "\"groundingMetadata\": {\"groundingSupports\": [{\"segment\": {\"endIndex\": 6, \"text\": \"First \"}}],"
         "\"searchEntryPoint\": {\"renderedContent\": \"<b>x</b>\"}},\"index\": 0}]}\r\n\r\n",
         "First second"},
        {StreamProtocol::Claude,
         "event: content_block_start\ndata: {\"type\":\"content_block_start\",\"index\":0,\"content_block\":{\"type\":\"thinking\","
         "\"thinking\":\"\",\"signature\":\"\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"thinking_delta\","
         "\"thinking\":\"Let me\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"signature_delta\","
         "\"signature\":\"EqQB\"}}\n\n"
         "event: content_block_start\ndata: {\"type\":\"content_block_start\",\"index\":1,\"content_block\":{\"type\":\"redacted_thinking\","
         "\"data\":\"EmwK\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":2,\"delta\":{\"type\":\"text_delta\","
         "\"text\":\"Four\"}}\n\n"
         "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n",
         "Four"},
        {StreamProtocol::ChatCompletions,
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"role\":\"assistant\",\"content\":null,\"reasoning_content\":\"hmm\"}}]}\n\n"
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"reasoning\":\"more\",\"reasoning_details\":[{\"type\":\"reasoning.text\","
         "\"text\":\"more\"}]}}]}\n\n"
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"Four\"},\"logprobs\":{\"content\":[{\"token\":\"x\"}]}}]}\n\n"
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":[{\"type\":\"thinking\",\"thinking\":[{\"type\":\"text\","
         "\"text\":\"hidden\"}]},{\"type\":\"text\",\"text\":\"!\"}]}}]}\n\n"
         "data: [DONE]\n\n",
         "Four!"},
        {StreamProtocol::Ollama,
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"content\":\"\",\"thinking\":\"Let\"},\"done\":false}\n"
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"thinking\":\" me\",\"content\":\"Four\"},\"done\":false}\n"
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"content\":\"\"},\"done\":true}\n",
         "Four"},
        // Member names spelt with escapes are the same members.
        {StreamProtocol::Gemini,
         "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"plan\",\"th\\u006fught\":true},"
         "{\"t\\u0065xt\":\"Four\"}]},\"finishReason\":\"STOP\"}]}\n\n",
         "Four"},
        {StreamProtocol::Claude,
         "data: {\"type\":\"content_block_delta\",\"delta\":{\"t\\u0079pe\":\"thinking_delta\",\"text\":\"plan\"}}\n\n"
         "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"t\\u0065xt\":\"Four\"}}\n\n"
         "data: {\"type\":\"message_stop\"}\n\n",
         "Four"},
    };
    for (const Case& c : cases) {
        for (size_t step : {0u, 1u, 7u}) {
            Fed f = FeedAll(c.protocol, c.bytes, step);
            EXPECT_TRUE(f.ok) << c.answer << " step " << step << ": " << f.stream.error;
            EXPECT_TRUE(f.stream.ended) << c.answer << " step " << step;
            EXPECT_EQ(f.stream.answer, c.answer) << "step " << step;
        }
    }
}

// A host variable ends at a NUL, so a streamed answer's NULs are dropped as they arrive.
TEST(ChatStreamProtocols, NulCharactersAreDroppedFromTheAnswer) {
    struct Case {
        StreamProtocol protocol;
        std::string bytes;
    } cases[] = {
        {StreamProtocol::ChatCompletions, "data: {\"choices\":[{\"delta\":{\"content\":\"a\\u0000b\"}}]}\n\ndata: [DONE]\n\n"},
        {StreamProtocol::Claude,
         "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"a\\u0000b\"}}\n\n"
         "data: {\"type\":\"message_stop\"}\n\n"},
        {StreamProtocol::Gemini, "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"a\\u0000b\"}]},\"finishReason\":\"STOP\"}]}\n\n"},
        {StreamProtocol::Ollama, "{\"message\":{\"content\":\"a\\u0000b\"},\"done\":true}\n"},
    };
    for (const Case& c : cases) {
        Fed f = FeedAll(c.protocol, c.bytes, 3);
        EXPECT_TRUE(f.stream.ended) << c.bytes;
        EXPECT_EQ(f.stream.answer, "ab") << c.bytes;
    }
}

TEST(ChatStreamProtocols, OllamaLinesMayEndWithALoneCarriageReturn) {
    const std::string lines =
        "{\"message\":{\"content\":\"Hi\"},\"done\":false}\r{\"message\":{\"content\":\" you\"},\"done\":false}\r\r"
        "{\"message\":{\"content\":\"\"},\"done_reason\":\"stop\",\"done\":true}\r";
    for (size_t step : {0u, 1u, 5u}) {
        Fed f = FeedAll(StreamProtocol::Ollama, lines, step);
        EXPECT_TRUE(f.stream.ended) << "step " << step;
        EXPECT_EQ(f.stream.answer, "Hi you") << "step " << step;
        // A byte order mark before the first line is no part of it, however the bytes arrive.
        f = FeedAll(StreamProtocol::Ollama, "\xEF\xBB\xBF" + lines, step);
        EXPECT_TRUE(f.stream.ended) << "BOM step " << step;
        EXPECT_EQ(f.stream.answer, "Hi you") << "BOM step " << step;
    }
}

TEST(ChatStreamProtocols, AStreamIsKnownByItsBodyWhateverItsLabel) {
    const struct {
        StreamProtocol protocol;
        const char* body;
        bool stream;
    } cases[] = {
        {StreamProtocol::ChatCompletions, "data: {\"choices\":[]}\n\n", true},
        {StreamProtocol::ChatCompletions, "\r\n: keep-alive\n\ndata: [DONE]\n\n", true},
        {StreamProtocol::Claude, "event: message_start\ndata: {}\n\n", true},
        {StreamProtocol::Gemini, "\xEF\xBB\xBF" "data: {}\n\n", true},
        {StreamProtocol::ChatCompletions, "{\n  \"choices\": []\n}\n", false},
        {StreamProtocol::Gemini, "[{\"candidates\":[]}]", false},
        {StreamProtocol::Claude, "", false},
        {StreamProtocol::Ollama, "{\"done\":false}\n{\"done\":true}\n", true},
        {StreamProtocol::Ollama, "{\"done\":false}\r{\"done\":true}", true},
        {StreamProtocol::Ollama, "{\"done\":true}\r\n\r\n", false},
        {StreamProtocol::Ollama, "{\"done\":tr", false},
        {StreamProtocol::Ollama, "data: {}\n\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsStreamBody(c.protocol, c.body), c.stream) << c.body;
}

TEST(ChatStreamProtocols, ABadEscapeBreaksTheStream) {
    Fed f = FeedAll(StreamProtocol::Ollama, "{\"message\":{\"content\":\"\\uZZZZ\"},\"done\":false}\n");
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.stream.error, "Invalid escape sequence in the answer stream");
}

TEST(ChatStreamProtocols, ContentTypesThatAreStreams) {
    EXPECT_TRUE(IsStreamContentType(StreamProtocol::ChatCompletions, "text/event-stream; charset=utf-8"));
    EXPECT_TRUE(IsStreamContentType(StreamProtocol::Claude, "Text/Event-Stream"));
    EXPECT_FALSE(IsStreamContentType(StreamProtocol::Gemini, "application/json"));
    EXPECT_TRUE(IsStreamContentType(StreamProtocol::Ollama, "application/x-ndjson"));
    EXPECT_FALSE(IsStreamContentType(StreamProtocol::Ollama, "application/json; charset=utf-8"));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Requests that ask for a stream, and the reveal of a text that is still arriving.

#include "providers/chat_protocol.h"
#include "session/text_rules.h"

namespace {

TEST(StreamRequest, OnlyTheStreamFlagOrPathDiffersFromTheUsualRequest) {
    struct Case {
        int provider;
        std::string usual, streamed;  // the text that changes
    } cases[] = {
        // OpenAI, Groq and xAI report a stream's usage only when asked; OpenRouter always reports it.
        {kProviderOpenAI, ",\"max_tokens\":2048}",
         ",\"max_tokens\":2048,\"stream\":true,\"stream_options\":{\"include_usage\":true}}"},
        {kProviderGroq, ",\"max_tokens\":2048}",
         ",\"max_tokens\":2048,\"stream\":true,\"stream_options\":{\"include_usage\":true}}"},
        {kProviderOpenRouter, "\"temperature\":0.7}", "\"temperature\":0.7,\"stream\":true}"},
        {kProviderGrok, ",\"stream\":false}", ",\"stream\":true,\"stream_options\":{\"include_usage\":true}}"},
        {kProviderClaude, "}]}", "}],\"stream\":true}"},
        {kProviderOllama, ",\"stream\":false,", ",\"stream\":true,"},
    };
    ConversationHistory history = {{"user", "a"}, {"assistant", "b"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.provider);
        SessionSettings s;
        s.provider = c.provider;
        s.apiKey = "k";
        s.model = "m";
        s.endpoint = "http://localhost:11434";
        ChatRequest usual = BuildChatRequest(s, history, "Hi");
        ChatRequest streamed = BuildChatRequest(s, history, "Hi", true);
        ASSERT_TRUE(usual.ok && streamed.ok);
        std::string expected = usual.body;
        const size_t at = expected.rfind(c.usual);
        ASSERT_NE(at, std::string::npos) << usual.body;
        expected.replace(at, c.usual.size(), c.streamed);
        EXPECT_EQ(streamed.body, expected);
        EXPECT_EQ(streamed.target.path, usual.target.path);
        EXPECT_EQ(streamed.headers, usual.headers);
    }
    SessionSettings g;
    g.provider = kProviderGemini;
    g.apiKey = "k&y";
    g.model = "gemini-1.5-pro";
    ChatRequest usual = BuildChatRequest(g, history, "Hi"), streamed = BuildChatRequest(g, history, "Hi", true);
    EXPECT_EQ(usual.target.path, "/v1beta/models/gemini-1.5-pro:generateContent?key=k%26y");
    EXPECT_EQ(streamed.target.path, "/v1beta/models/gemini-1.5-pro:streamGenerateContent?alt=sse&key=k%26y");
    EXPECT_EQ(streamed.body, usual.body);
}

TEST(StreamOutcome, EachWayAStreamEndsHasItsText) {
    ChatStream broken(StreamProtocol::Claude);
    broken.broken = true;
    broken.error = "Overloaded";
    HttpResult ok200;
    ok200.statusCode = 200;
    EXPECT_EQ(InterpretChatStream(kProviderClaude, broken, ok200).error, "Claude API error (200): Overloaded");

    ChatStream open(StreamProtocol::ChatCompletions);
    open.answer = "part";
    EXPECT_EQ(InterpretChatStream(kProviderOpenAI, open, ok200).error,
              "OpenAI API error (200): The answer stream ended before it was complete");
    HttpResult cut;
    cut.error = "Failed to receive response. Error code: 12030";
    EXPECT_EQ(InterpretChatStream(kProviderGroq, open, cut).error, "Groq error (0): Failed to receive response. Error code: 12030");

    ChatStream refused(StreamProtocol::ChatCompletions);
    refused.ended = true;
    refused.refusal = "No.";
    EXPECT_EQ(InterpretChatStream(kProviderOpenAI, refused, ok200).error, "OpenAI refused the request: No.");
    refused.refusal.clear();
    EXPECT_EQ(InterpretChatStream(kProviderGrok, refused, ok200).error, "Failed to extract response from Grok");

    // A stream that stops without an answer says why, as a whole reply would; Claude's refusal drops its text.
    ChatStream starved(StreamProtocol::Gemini);
    starved.ended = true;
    starved.stopData = R"({"candidates":[{"content":{"role":"model"},"finishReason":"MAX_TOKENS","index":0}]})";
    EXPECT_EQ(InterpretChatStream(kProviderGemini, starved, ok200).error,
              "Google stopped at the token limit before writing any answer (MAX_TOKENS). Raise the limit with "
              "ParlySetMaxTokens.");
    // A blocked prompt's only chunk has no candidates, so no finishReason: its block reason ends the stream.
    ChatStream blocked(StreamProtocol::Gemini);
    EXPECT_TRUE(FeedChatStream(&blocked, "data: {\"promptFeedback\": {\"blockReason\": \"SAFETY\"}, "
                                         "\"usageMetadata\": {\"promptTokenCount\": 8}}\r\n\r\n"));
    EXPECT_EQ(InterpretChatStream(kProviderGemini, blocked, ok200).error, "Google blocked the prompt (SAFETY).");
    ChatStream refusedClaude(StreamProtocol::Claude);
    refusedClaude.ended = true;
    refusedClaude.answer = "I will not";
    refusedClaude.stopData = R"({"type":"message_delta","delta":{"stop_reason":"refusal","stop_sequence":null}})";
    EXPECT_EQ(InterpretChatStream(kProviderClaude, refusedClaude, ok200).error,
              "Claude refused to answer (stop_reason refusal).");

    ChatStream done(StreamProtocol::Ollama);
    done.ended = true;
    done.answer = "Hi\n";
    ChatOutcome outcome = InterpretChatStream(kProviderOllama, done, ok200);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.answer, "Hi\n");
}

// The writes of the reveal for a text fed in pieces: a piece goes once its space (or the end) is there.
std::vector<std::string> RevealFed(const std::string& text, size_t step) {
    std::vector<std::string> writes;
    RevealCursor cursor;
    std::string arrived;
    for (size_t i = 0; i < text.size(); i += step) {
        arrived.append(text, i, step);
        while (cursor.Next(arrived, false)) writes.push_back(cursor.acc);
    }
    while (cursor.Next(arrived, true)) writes.push_back(cursor.acc);
    return writes;
}

TEST(RevealCursor, WritesOfTheWholeTextAndOfTheTextArrivingInPiecesAreTheSame) {
    struct Case {
        std::string text;
        std::vector<std::string> writes;
    } cases[] = {
        {"one two three", {"one", "one two", "one two three"}},
        {"one  two", {"one", "one ", "one  two"}},
        {" word", {"", "word"}},
        {"word ", {"word"}},
        {"word", {"word"}},
        {"x  ", {"x", "x "}},
        {"a\nb\tc d", {"a\nb\tc", "a\nb\tc d"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        for (size_t step : {1u, 2u, 3u, 100u}) EXPECT_EQ(RevealFed(c.text, step), c.writes) << "step " << step;
    }
}

}  // namespace
