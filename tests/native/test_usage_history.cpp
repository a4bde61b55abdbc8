#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "features/media_protocol.h"
#include "net/json_walk.h"
#include "providers/chat_protocol.h"
#include "providers/chat_stream.h"
#include "providers/model_rules.h"
#include "providers/usage.h"
#include "session/history_json.h"

// Read back as {input,output,stop} in failure messages.
std::ostream& operator<<(std::ostream& o, const ChatUsage& u) {
    return o << "{" << u.inputTokens << "," << u.outputTokens << "," << u.stopReason << "}";
}

namespace {

struct UsageRow {
    const char* name;
    StreamProtocol protocol;
    std::string body;
    ChatUsage expected;
};

TEST(ReplyUsage, EachProtocolsPublishedShape) {
    const UsageRow rows[] = {
        {"openai pretty, details beside the counts", StreamProtocol::ChatCompletions,
         "{\n  \"id\": \"c\",\n  \"choices\": [\n    {\"index\": 0, \"message\": {\"role\": \"assistant\", \"content\": "
         "\"\\\"usage\\\": {\\\"prompt_tokens\\\": 99}\"}, \"finish_reason\": \"length\"}\n  ],\n  \"usage\": {\n"
         "    \"prompt_tokens\": 19,\n    \"completion_tokens\": 10,\n    \"total_tokens\": 29,\n"
         "    \"prompt_tokens_details\": {\"cached_tokens\": 0},\n    \"completion_tokens_details\": "
         "{\"reasoning_tokens\": 7}\n  }\n}",
         {"19", "10", "length"}},
        {"no usage member", StreamProtocol::ChatCompletions,
         R"({"choices":[{"message":{"content":"x"},"finish_reason":"stop"}]})", {"", "", "stop"}},
        {"groq's own member", StreamProtocol::ChatCompletions,
         R"({"choices":[{"delta":{},"finish_reason":"stop"}],"x_groq":{"id":"r","usage":{"prompt_tokens":23,"completion_tokens":19}}})",
         {"23", "19", "stop"}},
        {"a count that is no whole number", StreamProtocol::ChatCompletions,
         R"({"usage":{"prompt_tokens":1.5,"completion_tokens":-2},"choices":[{"finish_reason":null}]})", {"", "", ""}},
        {"claude", StreamProtocol::Claude,
         R"({"id":"m","type":"message","content":[{"type":"text","text":"hi"}],"stop_reason":"end_turn",)"
         R"("stop_sequence":null,"usage":{"input_tokens":12,"cache_read_input_tokens":0,"output_tokens":6}})",
         {"12", "6", "end_turn"}},
        {"gemini with thoughts billed as output", StreamProtocol::Gemini,
         "{\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"x\"}]}, \"finishReason\": \"MAX_TOKENS\"}],\n"
         " \"usageMetadata\": {\"promptTokenCount\": 8, \"candidatesTokenCount\": 5, \"thoughtsTokenCount\": 40,"
         " \"totalTokenCount\": 53, \"promptTokensDetails\": [{\"modality\": \"TEXT\", \"tokenCount\": 8}]}}",
         {"8", "45", "MAX_TOKENS"}},
        {"gemini thoughts only", StreamProtocol::Gemini,
         R"({"candidates":[{"finishReason":"MAX_TOKENS"}],"usageMetadata":{"promptTokenCount":3,"thoughtsTokenCount":9}})",
         {"3", "9", "MAX_TOKENS"}},
        {"ollama", StreamProtocol::Ollama,
         R"({"model":"llama3","message":{"role":"assistant","content":"x"},"done_reason":"stop","done":true,)"
         R"("total_duration":5,"prompt_eval_count":26,"eval_count":290})",
         {"26", "290", "stop"}},
        {"not JSON at all", StreamProtocol::Ollama, "usage eval_count", {"", "", ""}},
    };
    for (const UsageRow& r : rows) EXPECT_EQ(ReadReplyUsage(r.protocol, r.body), r.expected) << r.name;
}

TEST(StreamUsage, ReadFromTheEventsThatCarryIt) {
    const UsageRow rows[] = {
        {"openai: usage chunk after the finish chunk, nulls before", StreamProtocol::ChatCompletions,
         "data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"},\"finish_reason\":null}],\"usage\":null}\n\n"
         "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"stop\"}],\"usage\":null}\n\n"
         "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":9,\"completion_tokens\":1,\"total_tokens\":10}}\n\n"
         "data: [DONE]\n\n",
         {"9", "1", "stop"}},
        {"xai: usage before a last empty chunk", StreamProtocol::ChatCompletions,
         "data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"},\"finish_reason\":\"stop\"}],"
         "\"usage\":{\"prompt_tokens\":4,\"completion_tokens\":2}}\n\n"
         "data: {\"choices\":[]}\n\ndata: [DONE]\n\n",
         {"4", "2", "stop"}},
        {"claude: start, then delta", StreamProtocol::Claude,
         "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"stop_reason\":null,"
         "\"usage\":{\"input_tokens\":25,\"output_tokens\":1}}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,"
         "\"delta\":{\"type\":\"text_delta\",\"text\":\"Hi\"}}\n\n"
         "event: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"max_tokens\","
         "\"stop_sequence\":null},\"usage\":{\"output_tokens\":15}}\n\n"
         "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n",
         {"25", "15", "max_tokens"}},
        {"gemini: the last event's metadata", StreamProtocol::Gemini,
         "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"H\"}]}}],"
         "\"usageMetadata\":{\"promptTokenCount\":7,\"thoughtsTokenCount\":3}}\n\n"
         "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"i\"}]},\"finishReason\":\"STOP\"}],"
         "\"usageMetadata\":{\"promptTokenCount\":7,\"candidatesTokenCount\":2,\"thoughtsTokenCount\":3}}\n\n",
         {"7", "5", "STOP"}},
        {"ollama: the final line", StreamProtocol::Ollama,
         "{\"message\":{\"content\":\"Hi\"},\"done\":false}\n"
         "{\"message\":{\"content\":\"\"},\"done_reason\":\"length\",\"done\":true,\"prompt_eval_count\":11,"
         "\"eval_count\":4}\n",
         {"11", "4", "length"}},
        {"a stream that reports nothing", StreamProtocol::ChatCompletions,
         "data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"}}]}\n\ndata: [DONE]\n\n", {"", "", ""}},
    };
    for (const UsageRow& r : rows) {
        // Fed in pieces of every size up to 7 bytes, the events give the same usage.
        for (size_t step = 1; step <= 7; step += 3) {
            ChatStream s(r.protocol);
            for (size_t at = 0; at < r.body.size(); at += step) FeedChatStream(&s, std::string_view(r.body).substr(at, step));
            EXPECT_TRUE(s.ended) << r.name;
            EXPECT_EQ(s.usage, r.expected) << r.name << " step " << step;
        }
    }
}

TEST(StreamUsage, TheUsageOptionIsRefusableAndThenLeftOut) {
    const ParamRefusal r = ReadParamRefusal(
        400, R"({"error":{"message":"property 'stream_options' is unsupported, did you mean 'stream'?","type":"invalid_request_error"}})");
    EXPECT_EQ(r.param, kParamStreamOptions);
    SessionSettings s;
    s.provider = kProviderGroq;
    s.apiKey = "k";
    s.model = "refuses-stream-options";
    ChatRequest first = BuildChatRequest(s, {}, "Hi", true);
    EXPECT_TRUE(RefusalApplies(first.shape, r));
    RememberParamRefusal(s.provider, s.model, r);
    ChatRequest again = BuildChatRequest(s, {}, "Hi", true);
    EXPECT_EQ(again.body.find("stream_options"), std::string::npos) << again.body;
    EXPECT_FALSE(RefusalApplies(again.shape, r));
    // Claude never carries the member, so a refusal naming it sends nothing again.
    s.provider = kProviderClaude;
    EXPECT_FALSE(RefusalApplies(BuildChatRequest(s, {}, "Hi", true).shape, r));
    ForgetParamRefusals();
}

// A shared encoded file of the given type, as ParlySendWithImage and ParlySendWithDoc keep one.
AttachmentRef File(const char* mediaType, const char* fileName, const char* base64) {
    return std::make_shared<const Attachment>(Attachment{mediaType, fileName, base64});
}

TEST(ConversationFile, RoundTripKeepsEveryTextAndAttachment) {
    ConversationHistory history = {
        {"user", "Quote \" back\\slash \n tab\t \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80",
         File("image/png", "ph\xC3\xB6to.png", "iVBORw0KGgo=")},
        {"assistant", "caf\xE9 (ANSI)"},
        {"user", "", File("application/pdf", "minutes \"final\".pdf", "JVBERi0=")},
        {"assistant", "\x01 control"},
        {"user", "webp", File("image/webp", "", "UklGRgAAAABXRUJQ")},
        {"assistant", "ok"},
    };
    const std::string text = WriteConversationJson("Be brief \xE2\x80\x94 please", history);
    EXPECT_EQ(text.rfind("{\"format\": \"parly-conversation\", \"version\": 1,", 0), 0u) << text;
    SavedConversation read;
    std::string error;
    ASSERT_TRUE(ReadConversationJson(text, &read, &error)) << error << "\n" << text;
    EXPECT_EQ(read.systemPrompt, "Be brief \xE2\x80\x94 please");
    ASSERT_EQ(read.history.size(), history.size());
    history[1].content = "caf\xC3\xA9 (ANSI)";  // host text in the ANSI code page is saved as UTF-8
    for (size_t i = 0; i < history.size(); ++i) {
        EXPECT_EQ(read.history[i].role, history[i].role);
        EXPECT_EQ(read.history[i].content, history[i].content);
        ASSERT_EQ(!read.history[i].attachment, !history[i].attachment) << i;
        if (!history[i].attachment) continue;
        EXPECT_EQ(read.history[i].attachment->mediaType, history[i].attachment->mediaType);
        EXPECT_EQ(read.history[i].attachment->fileName, history[i].attachment->fileName);
        EXPECT_EQ(read.history[i].attachment->base64, history[i].attachment->base64);
    }
    // A loaded picture goes out again with its turn, in the provider's shape.
    SessionSettings s;
    s.provider = kProviderClaude;
    s.model = "m";
    const ChatRequest again = BuildChatRequest(s, read.history, "and now?");
    EXPECT_NE(again.body.find(R"({"type":"image","source":{"type":"base64","media_type":"image/png","data":"iVBORw0KGgo="}})"),
              std::string::npos)
        << again.body;
    EXPECT_NE(again.body.find(R"("media_type":"application/pdf","data":"JVBERi0=")"), std::string::npos) << again.body;
    // An empty conversation is a file too; a byte order mark, extra members and null attachments are accepted.
    ASSERT_TRUE(ReadConversationJson(WriteConversationJson("", {}), &read, &error)) << error;
    EXPECT_TRUE(read.history.empty());
    ASSERT_TRUE(ReadConversationJson("\xEF\xBB\xBF{\"version\":1,\"saved_by\":{\"x\":[1,2]},\"format\":\"parly-conversation\","
                                     "\"messages\":[{\"role\":\"user\",\"content\":\"a\",\"attachments\":null},"
                                     "{\"content\":\"b\",\"role\":\"assistant\",\"note\":true}]}",
                                     &read, &error))
        << error;
    EXPECT_EQ(read.systemPrompt, "");
    EXPECT_EQ(read.history.size(), 2u);
}

TEST(ConversationFile, BrokenForeignAndNewerFilesAreRefusedWithTheirReason) {
    const std::string ok = R"({"format":"parly-conversation","version":1,"system":"s","messages":[)"
                           R"({"role":"user","content":"a"},{"role":"assistant","content":"b"}]})";
    const struct {
        std::string text;
        const char* reason;
    } rows[] = {
        {"", "not well-formed JSON"},
        {"   ", "not well-formed JSON"},
        {ok.substr(0, ok.size() - 1), "not well-formed JSON"},
        {ok.substr(0, ok.size() / 2), "not well-formed JSON"},
        {ok + "x", "not well-formed JSON"},
        {ok + ok, "not well-formed JSON"},
        {"{\"format\":\"parly-conversation\",\"version\":1,\"messages\":[],}", "not well-formed JSON"},
        {"{\"format\":\"parly-conversation\",\"version\":01,\"messages\":[]}", "not well-formed JSON"},
        {"{\"format\":\"parly-conversation\",\"version\":1,\"messages\":[\"\\x\"]}", "not well-formed JSON"},
        {"{\"format\":\"parly-conversation\",\"version\":1,\"system\":\"a\nb\",\"messages\":[]}", "not well-formed JSON"},
        {std::string(200, '[') + std::string(200, ']'), "not well-formed JSON"},
        {"{\"format\":\"parly-conversation\",\"version\":1,\"system\":\"\xC3\",\"messages\":[]}", "not UTF-8"},
        {std::string("\xFF\xFE{\0\"\0f\0", 8), "not UTF-8"},  // saved as UTF-16 by an editor
        {"[1,2]", "not a Parly conversation"},
        {R"({"model":"gpt","messages":[]})", "not a Parly conversation"},
        {R"({"format":"other","version":1,"messages":[]})", "not a Parly conversation"},
        {R"({"format":"parly-conversation","messages":[]})", "version is missing"},
        {R"({"format":"parly-conversation","version":"1","messages":[]})", "version is missing"},
        {R"({"format":"parly-conversation","version":1.5,"messages":[]})", "version is missing"},
        {R"({"format":"parly-conversation","version":2,"messages":[]})", "newer Parly Plugin (format version 2)"},
        {R"({"format":"parly-conversation","version":99999999999,"messages":[]})", "newer Parly Plugin"},
        {R"({"format":"parly-conversation","version":1})", "no \"messages\""},
        {R"({"format":"parly-conversation","version":1,"messages":{}})", "\"messages\" is not a list"},
        {R"({"format":"parly-conversation","version":1,"system":7,"messages":[]})", "\"system\" is not a text"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"user"}]})", "lacks its role or content"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":5}]})", "lacks its role or content"},
        {R"({"format":"parly-conversation","version":1,"messages":["hi"]})", "lacks its role or content"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"assistant","content":"b"}]})",
         "message 1 should be from the user"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a"},{"role":"system","content":"b"}]})",
         "message 2 should be from the assistant"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a"}]})", "no answer"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":{}},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a list"},
        {R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"image"}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "lacks its type, media_type or data"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"image","media_type":"image/png","data":"iVBORw0KGgo="},{"type":"image","media_type":"image/png","data":"iVBORw0KGgo="}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "more than one attachment"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"image","media_type":"text/html","data":"PGh0bWw+"}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a PNG, JPEG, GIF, WebP picture or a PDF"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"image","media_type":"image/png\",\"x\":\"","data":"iVBORw0KGgo="}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a PNG, JPEG, GIF, WebP picture or a PDF"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"document","media_type":"image/png","data":"iVBORw0KGgo="}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a PNG, JPEG, GIF, WebP picture or a PDF"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"image","media_type":"image/png","data":"iVBORw0KGgo=\"}"}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a PNG, JPEG, GIF, WebP picture or a PDF"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"image","media_type":"image/jpeg","data":"iVBORw0KGgo="}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a PNG, JPEG, GIF, WebP picture or a PDF"},
{R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":"document","media_type":"application/pdf","data":"QUJD"}]},)"
         R"({"role":"assistant","content":"b"}]})",
         "not a PNG, JPEG, GIF, WebP picture or a PDF"},
    };
    for (const auto& r : rows) {
        SavedConversation read;
        read.systemPrompt = "untouched";
        std::string error;
        EXPECT_FALSE(ReadConversationJson(r.text, &read, &error)) << r.text;
        EXPECT_NE(error.find(r.reason), std::string::npos) << r.text << " -> " << error;
    }
    // Every cut of a good file is refused, none crashes.
    const std::string good = WriteConversationJson("s", {{"user", "a", File("image/png", "a.png", "iVBORw0KGgo=")}, {"assistant", "b"}});
    for (size_t n = 0; n + 1 < good.size(); ++n) {  // all but the closing line feed
        SavedConversation read;
        std::string error;
        EXPECT_FALSE(ReadConversationJson(std::string_view(good).substr(0, n), &read, &error)) << n;
    }
    // Every byte replaced by a structural one reads or fails with a reason, never anything in between.
    for (size_t n = 0; n < good.size(); ++n)
        for (const char c : {'"', '{', ']', '\\', ',', '\0', '\xFF', '1'}) {
            std::string bent = good;
            bent[n] = c;
            SavedConversation read;
            std::string error;
            const bool ok = ReadConversationJson(bent, &read, &error);
            EXPECT_EQ(ok, error.empty()) << n << " " << c;
            if (ok) EXPECT_EQ(read.history.size(), 2u);
        }
}

TEST(JsonWalk, PathsSkipNestedValuesAndStringsThatLookLikeKeys) {
    const std::string json = R"({ "a" : {"x":"{\"b\":1}", "b" : [ 10 , {"c":"d"} ] }, "b": 2 })";
    EXPECT_EQ(JsonCountAt(json, JsonPath(json, "b")), "2");
    EXPECT_EQ(JsonCountAt(json, JsonPath(json, "a.b.0")), "10");
    std::string text;
    EXPECT_TRUE(JsonStringAt(json, JsonPath(json, "a.b.1.c"), &text));
    EXPECT_EQ(text, "d");
    EXPECT_EQ(JsonPath(json, "a.b.2"), kNotFound);
    EXPECT_EQ(JsonPath(json, "a.z"), kNotFound);
    EXPECT_EQ(JsonPath("{\"a\":", "a"), kNotFound);
}

}  // namespace

namespace {

// A conversation file of one exchange whose question carries the given attachment.
std::string LoadedAttachmentFile(const char* type, const char* mediaType, const std::string& base64) {
    return std::string(R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a","attachments":[{"type":")") +
           type + R"(","media_type":")" + mediaType + R"(","data":")" + base64 +
           R"("}]},{"role":"assistant","content":"b"}]})";
}

// The Base64 of a file of `bytes` bytes that begins with `magic` and goes on in 'x's ("xxx" is "eHh4").
std::string EncodedFile(std::string magic, size_t bytes) {
    magic.resize(12, 'x');
    const std::string rest((bytes - 12) % 3, 'x');
    std::string out;
    AppendBase64(out, reinterpret_cast<const unsigned char*>(magic.data()), magic.size());
    for (size_t n = (bytes - 12) / 3; n; --n) out.append("eHh4", 4);
    AppendBase64(out, reinterpret_cast<const unsigned char*>(rest.data()), rest.size());
    return out;
}

}  // namespace

// A loaded attachment goes out as it is, so it must be one the actions themselves would have sent: a question's.
TEST(ConversationFile, AnAttachmentIsHeldToTheSendingLimitsAndToWholeBase64) {
    const std::string png = "\x89PNG\r\n\x1a\n", pdf = "%PDF-1.7";
    const struct {
        const char* name;
        std::string text;
        bool loads;
    } rows[] = {
        {"picture of exactly 20 MB", LoadedAttachmentFile("image", "image/png", EncodedFile(png, kImageFileLimit)), true},
        {"picture of 20 MB and a byte", LoadedAttachmentFile("image", "image/png", EncodedFile(png, kImageFileLimit + 1)), false},
        {"PDF of 32 MB and a byte", LoadedAttachmentFile("document", "application/pdf", EncodedFile(pdf, kPdfFileLimit + 1)), false},
        {"padding inside the data", LoadedAttachmentFile("image", "image/png", "iVBORw0KGgo=AAAA"), false},
        {"data cut inside a quantum", LoadedAttachmentFile("image", "image/png", "iVBORw0KGgoAAA"), false},
        {"three padding signs", LoadedAttachmentFile("image", "image/png", "iVBORw0KGgoA==="), false},
        {"two padding signs", LoadedAttachmentFile("image", "image/png", "iVBORw0KGgoAAA=="), true},
        {"a picture on the answer", R"({"format":"parly-conversation","version":1,"messages":[{"role":"user","content":"a"},)"
         R"({"role":"assistant","content":"b","attachments":[{"type":"image","media_type":"image/png","data":"iVBORw0KGgo="}]}]})",
         false},
    };
    for (const auto& r : rows) {
        SavedConversation read;
        std::string error;
        EXPECT_EQ(ReadConversationJson(r.text, &read, &error), r.loads) << r.name << " -> " << error;
        if (!r.loads) EXPECT_NE(error.find("attachment"), std::string::npos) << r.name << " -> " << error;
    }
}

// The file format lets "file_name" out, but OpenAI-style file parts need a name: a loaded PDF still gets one.
TEST(ConversationFile, APdfLoadedWithoutItsNameGoesWithOne) {
    SavedConversation read;
    std::string error;
    ASSERT_TRUE(ReadConversationJson(LoadedAttachmentFile("document", "application/pdf", "JVBERi0x"), &read, &error))
        << error;
    for (const int provider : {kProviderOpenAI, kProviderOpenRouter}) {
        SessionSettings s;
        s.provider = provider;
        s.model = "m";
        const ChatRequest r = BuildChatRequest(s, read.history, "more?");
        EXPECT_NE(r.body.find(R"({"type":"file","file":{"filename":"document.pdf","file_data":"data:application/pdf;base64,JVBERi0x"}})"),
                  std::string::npos)
            << r.body;
    }
}
