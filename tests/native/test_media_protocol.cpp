#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "features/media_protocol.h"
#include "net/json.h"

using namespace std::string_literals;

namespace {

using Bytes = std::vector<unsigned char>;
using Headers = std::vector<std::pair<std::string, std::string>>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

SessionSettings Settings(int provider, const std::string& key = "k") {
    SessionSettings s;
    s.provider = provider;
    s.apiKey = key;
    return s;
}

// Starts every test with no host redirection set and leaves none behind.
class MediaTest : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        unsetenv("PARLY_OPENAI_URL");
        unsetenv("PARLY_OPENROUTER_URL");
    }
};

using ImageRequestTest = MediaTest;
using EmbeddingRequestTest = MediaTest;

TEST(Base64Decode, DecodesBothAlphabetsAndSkipsForeignBytes) {
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"", ""},
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TWE", "Ma"},
        {"TQ==", "M"},
        {"T", ""},
        {"====", ""},
        {"TQ==TWFu", "M"},
        {"TW\r\nFu\n", "Man"},
        {"T W\tF\\u", "Man"},
        {"+/+/", "\xFB\xFF\xBF"},
        {"-_-_", "\xFB\xFF\xBF"},
        {"AAEC/w", "\0\1\2\xFF"s},
        {"SGVsbG8sIHdvcmxkIQ==", "Hello, world!"},
        {"SGVsbG8s\0IHdvcmxkIQ"s, "Hello, world!"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64Decode(c.text), B(c.bytes)) << c.text;
        // Decoded over its own text, as an image reply is, each byte lands only where the text was read already.
        std::string text = c.text;
        text.resize(Base64DecodeInto(text, reinterpret_cast<unsigned char*>(&text[0])));
        EXPECT_EQ(text, c.bytes) << c.text;
    }
}

TEST_F(ImageRequestTest, WorkedExampleGoesToOpenAIWithTheDefaultImageModel) {
    const ImageRequest r = BuildImageRequest(Settings(kProviderOpenAI), "cat", "512x512");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, R"({"model":"gpt-image-2","prompt":"cat","n":1,"size":"1024x1024"})");
    EXPECT_EQ(r.target.host, "api.openai.com");
    EXPECT_EQ(r.target.port, 0);
    EXPECT_TRUE(r.target.secure);
    EXPECT_EQ(r.target.path, "/v1/images/generations");
    EXPECT_EQ(Headers(r.headers.begin(), r.headers.end()),
              (Headers{{"Authorization", "Bearer k"}, {"Content-Type", "application/json"}}));
}

TEST_F(ImageRequestTest, ModelIsTheScriptsImageModelElseGptImage2WithItsOwnSizes) {
    const struct {
        std::string model;
        std::string size;
        std::string body;
    } cases[] = {
        {"", "256x256", R"({"model":"gpt-image-2","prompt":"p","n":1,"size":"1024x1024"})"},
        {"gpt-5.6-sol", "1024X1792", R"({"model":"gpt-image-2","prompt":"p","n":1,"size":"1024x1536"})"},
        {"", " 512x512", R"({"model":"gpt-image-2","prompt":"p","n":1,"size":" 512x512"})"},
        // A size from a variable is text like any other: it can neither end the string nor add members.
        {"", "a\"b", R"({"model":"gpt-image-2","prompt":"p","n":1,"size":"a\"b"})"},
        {"", "1024x1024\",\"n\":10,\"quality\":\"high",
         R"({"model":"gpt-image-2","prompt":"p","n":1,"size":"1024x1024\",\"n\":10,\"quality\":\"high"})"},
        {"", "512x512\\", R"({"model":"gpt-image-2","prompt":"p","n":1,"size":"512x512\\"})"},
        {"gpt-image-2.6-flare", "1792x1024", R"({"model":"gpt-image-2.6-flare","prompt":"p","n":1,"size":"1536x1024"})"},
        {"gpt-image-\"x", "1024x1024", R"({"model":"gpt-image-\"x","prompt":"p","n":1,"size":"1024x1024"})"},
        {"GPT-IMAGE-2", "auto", R"({"model":"GPT-IMAGE-2","prompt":"p","n":1,"size":"auto"})"},
        // A DALL-E model named by the script gets the request those models took.
        {"dall-e-3", "1792x1024", R"({"model":"dall-e-3","prompt":"p","n":1,"size":"1792x1024","response_format":"b64_json"})"},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(kProviderOpenAI);
        s.model = c.model;
        EXPECT_EQ(BuildImageRequest(s, "p", c.size).body, c.body);
    }
}

TEST_F(ImageRequestTest, PromptIsEscapedAndHostTextConverted) {
    SessionSettings s = Settings(kProviderOpenAI, "k\xE9");
    const ImageRequest r = BuildImageRequest(s, "a \"cat\"\n\xE9", "512x512");
    EXPECT_NE(r.body.find(R"("prompt":"a \"cat\"\n)" "\xC3\xA9\""), std::string::npos) << r.body;
    EXPECT_EQ(r.headers.at("Authorization"), "Bearer k\xC3\xA9");
}

TEST_F(ImageRequestTest, OnlyOpenAIWithAKeyMaySend) {
    const std::string dalle =
        "Image generation requires OpenAI or OpenRouter provider. Current provider does not support DALL-E.";
    const struct {
        int provider;
        std::string key;
        std::string error;
    } cases[] = {
        {kProviderOpenRouter, "k",
         "Image generation with OpenRouter is not supported. Select OpenAI with ParlyInit to generate images."},
        {kProviderNone, "k", dalle},    {kProviderClaude, "k", dalle}, {kProviderGemini, "k", dalle},
        {kProviderOllama, "k", dalle},  {kProviderGroq, "k", dalle},   {kProviderGrok, "k", dalle},
        {kProviderOpenAI, "", "API key required for image generation."},
    };
    for (const auto& c : cases) {
        const ImageRequest r = BuildImageRequest(Settings(c.provider, c.key), "cat", "512x512");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_TRUE(r.body.empty());
    }
}

TEST_F(ImageRequestTest, MalformedRedirectionStopsTheRequest) {
    setenv("PARLY_OPENAI_URL", "nope", 1);
    const ImageRequest r = BuildImageRequest(Settings(kProviderOpenAI), "cat", "512x512");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Invalid PARLY_OPENAI_URL: nope");
}

TEST(ImageReply, DataIsUnescapedThenDecoded) {
    const struct {
        HttpResult reply;
        bool ok;
        std::string bytes;
        std::string error;
    } cases[] = {
        {{200, R"({"data":[{"b64_json":"TWFu"}]})", ""}, true, "Man", ""},
        {{200, R"({"data":[{"b64_json" : "SGVs\/bG8="}]})", ""}, true, "Hel\xFD\xB1\xBC", ""},
        {{200, R"({"b64_json":"TW\nFu"})", ""}, true, "Man", ""},
        {{200, R"({"b64_json":"TW\u0046u"})", ""}, true, "Man", ""},
        {{200, R"({"b64_json":""})", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"b64_json":"TWFu)", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"b64_json":null})", ""}, false, "", "Failed to parse image data from response"},
        // Only a string is image data: a gateway's null before a URL, or any other type, is no image.
        {{200, "{\n  \"data\": [\n    {\n      \"b64_json\": null,\n      \"url\": \"https://img.example/a.png\"\n    }\n  ]\n}", ""},
         false, "", "Failed to parse image data from response"},
        {{200, R"({"data":[{"b64_json":42,"revised_prompt":"TWFu"}]})", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"data":[{"b64_json":{"x":"TWFu"}}]})", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"data":[{"b64_json":["TWFu"]}]})", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"output_format":"b64_json","data":[{"b64_json":"TWFu"}]})", ""}, true, "Man", ""},
        {{200, R"({"url":"http://x"})", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"b64_json":"\uzzzz"})", ""}, false, "", "Failed to parse image data from response"},
        {{200, R"({"b64_json":"===="})", ""}, false, "", "Failed to decode image data"},
        {{400, R"({"error":{"message":"Bad size"}})", ""}, false, "", "Image generation error (400): Bad size"},
        {{500, "oops", ""}, false, "", "Image generation error (500): oops"},
        {{0, "", "Failed to send request"}, false, "", "Image generation error (0): Failed to send request"},
    };
    for (const auto& c : cases) {
        const ImageOutcome o = InterpretImageReply(c.reply);
        EXPECT_EQ(o.ok, c.ok) << c.reply.body;
        EXPECT_EQ(o.bytes, c.bytes) << c.reply.body;
        EXPECT_EQ(o.error, c.error) << c.reply.body;
    }
}

TEST_F(EmbeddingRequestTest, EachProviderHasItsHostPathModelAndHeaders) {
    const std::string json = "application/json";
    const struct {
        int provider;
        std::string key;
        std::string model;
        std::string host;
        int port;
        std::string path;
        std::string body;
        Headers headers;
    } cases[] = {
        {kProviderOpenAI, "k", "gpt-4o", "api.openai.com", 0, "/v1/embeddings",
         R"({"model":"text-embedding-3-small","input":"hello"})",
         {{"Authorization", "Bearer k"}, {"Content-Type", json}}},
        {kProviderOpenAI, "", "", "api.openai.com", 0, "/v1/embeddings",
         R"({"model":"text-embedding-3-small","input":"hello"})", {{"Content-Type", json}}},
        {kProviderOpenRouter, "k", "x", "openrouter.ai", 0, "/api/v1/embeddings",
         R"({"model":"openai/text-embedding-3-small","input":"hello"})",
         {{"Authorization", "Bearer k"},
          {"Content-Type", json},
          {"HTTP-Referer", "https://github.com/parlyplugin/parly-nbp"}}},
        {kProviderOllama, "", "", "localhost", 11434, "/api/embeddings", R"({"model":"llama3","prompt":"hello"})",
         {{"Content-Type", json}}},
        {kProviderOllama, "k", "nomic\"embed", "localhost", 11434, "/api/embeddings",
         R"({"model":"nomic\"embed","prompt":"hello"})", {{"Authorization", "Bearer k"}, {"Content-Type", json}}},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(c.provider, c.key);
        s.model = c.model;
        const EmbeddingRequest r = BuildEmbeddingRequest(s, "hello");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.target.host, c.host);
        EXPECT_EQ(r.target.port, c.port);
        EXPECT_EQ(r.target.path, c.path);
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(Headers(r.headers.begin(), r.headers.end()), c.headers);
    }
    EXPECT_EQ(BuildEmbeddingRequest(Settings(kProviderOpenAI), "hello").body.size(), 50u);
}

TEST_F(EmbeddingRequestTest, OllamaEndpointIsParsedLikeChat) {
    const struct {
        std::string endpoint;
        bool ok;
        std::string host;
        int port;
        bool secure;
        std::string error;
    } cases[] = {
        {"", true, "localhost", 11434, false, ""},
        {"http://gpu-box:11500/api", true, "gpu-box", 11500, false, ""},
        {"https://gpu-box", true, "gpu-box", 443, true, ""},
        {"gpu-box:11434", true, "gpu-box", 11434, false, ""},
        {"http://gpu-box:abc", false, "", 0, false, "Invalid endpoint port: abc"},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(kProviderOllama);
        s.endpoint = c.endpoint;
        const EmbeddingRequest r = BuildEmbeddingRequest(s, "t");
        EXPECT_EQ(r.ok, c.ok) << c.endpoint;
        EXPECT_EQ(r.error, c.error) << c.endpoint;
        if (!c.ok) continue;
        EXPECT_EQ(r.target.host, c.host);
        EXPECT_EQ(r.target.port, c.port);
        EXPECT_EQ(r.target.secure, c.secure);
    }
}

TEST_F(EmbeddingRequestTest, TextIsEscapedAndUnsupportedProvidersSendNothing) {
    EXPECT_EQ(BuildEmbeddingRequest(Settings(kProviderOpenAI), "say \"hi\"\n").body,
              R"({"model":"text-embedding-3-small","input":"say \"hi\"\n"})");
    EXPECT_EQ(BuildEmbeddingRequest(Settings(kProviderNone), "t").error, "No provider initialized");
    for (int provider : {kProviderClaude, kProviderGemini, kProviderGroq, kProviderGrok}) {
        const EmbeddingRequest r = BuildEmbeddingRequest(Settings(provider), "t");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "Embeddings not supported for this provider. Use OpenAI, OpenRouter, or Ollama.");
    }
}

TEST(EmbeddingReply, VectorIsTheTextBetweenTheBrackets) {
    const struct {
        HttpResult reply;
        bool ok;
        std::string vector;
        std::string error;
    } cases[] = {
        {{200, R"({"embedding":[0.5,-0.25]})", ""}, true, "0.5,-0.25", ""},
        {{200, "{\"data\":[{\"embedding\":[\n 0.12,\n 3e-05\n]}]}", ""}, true, "0.12,3e-05", ""},
        {{200, "{\"embedding\": [\r\n\t-0.0069 ,\t\t-0.0053,\n        1E-7\n      ]}", ""}, true, "-0.0069,-0.0053,1E-7", ""},
        // An empty vector is no embedding.
        {{200, R"({"embedding":[]})", ""}, false, "", "Failed to extract embedding from response"},
        {{200, "{\"data\": [{\"embedding\": [ \n ], \"index\": 0}]}", ""}, false, "", "Failed to extract embedding from response"},
        {{200, R"({"embedding": [0.5]})", ""}, true, "0.5", ""},
        {{200, "{\"object\": \"embedding\", \"embedding\" :\n [0.25]}", ""}, true, "0.25", ""},
        {{200, R"({"object":"embedding","embedding":{"x":1}})", ""}, false, "", "Failed to extract embedding from response"},
        {{200, R"("embedding":)", ""}, false, "", "Failed to extract embedding from response"},
        {{200, R"({"embedding":[0.5,)", ""}, false, "", "Malformed embedding response"},
        {{200, R"("embedding":[)", ""}, false, "", "Malformed embedding response"},
        {{401, R"({"error":{"message":"No key"}})", ""}, false, "", "Embedding error (401): No key"},
        {{0, "", "Failed to receive response"}, false, "", "Embedding error (0): Failed to receive response"},
    };
    for (const auto& c : cases) {
        const EmbeddingOutcome o = InterpretEmbeddingReply(c.reply);
        EXPECT_EQ(o.ok, c.ok) << c.reply.body;
        EXPECT_EQ(o.vector, c.vector) << c.reply.body;
        EXPECT_EQ(o.error, c.error) << c.reply.body;
    }
}

TEST(CompactVector, RemovesOnlyWhiteSpaceAndKeepsNumbersAsWritten) {
    EXPECT_EQ(CompactVector("0.125,-0.5,3e-05"), "0.125,-0.5,3e-05");
    EXPECT_EQ(CompactVector("\n        -0.006929283495992422,\n        0.0045\n      "), "-0.006929283495992422,0.0045");
    EXPECT_EQ(CompactVector(" 1 , 2 ,\t3\r\n"), "1,2,3");
    EXPECT_EQ(CompactVector(" \n\t "), "");
    EXPECT_EQ(CompactVector("1.0e+2,NaN,x"), "1.0e+2,NaN,x");
}

TEST(DocumentExtension, AcceptsNineteenTextFormatsAndPdfCaseInsensitively) {
    for (const char* path : {"a.txt", "a.csv", "a.html", "a.htm", "a.xml", "a.json", "a.md", "a.log", "a.ini", "a.cfg",
                             "a.yaml", "a.yml", "a.rtf", "a.css", "a.js", "a.py", "a.cpp", "a.h", "a.java",
                             "C:\\Docs\\Report.TXT", "x.tar.Md", "scan.PDF"})
        EXPECT_EQ(CheckDocumentExtension(path), "") << path;
    const std::string tail = ". Use txt, csv, html, xml, json, md, log, ini, cfg, yaml, or pdf.";
    const struct {
        const char* path;
        const char* ext;
    } rejected[] = {{"notes.markdown", ".markdown"}, {"data.tsv", ".tsv"}, {"README", ""},
                    {"C:\\v1.2\\README", ".2\\readme"}, {"scan.pdf.bak", ".bak"}, {"a.txt ", ".txt "}};
    for (const auto& c : rejected)
        EXPECT_EQ(CheckDocumentExtension(c.path), "Unsupported file format: " + std::string(c.ext) + tail) << c.path;
}

TEST(DocumentCut, AHalfCharacterAtTheEndOfUtf8IsDroppedAndOtherTextKeepsItsLength) {
    const struct {
        std::string text;
        size_t whole;
    } cases[] = {
        {"abc", 3},
        {"", 0},
        {"ab\xC3\xBC", 4},              // ends on a whole two-byte character
        {"ab\xC3", 2},                  // first byte of two
        {"ab\xE2\x82", 2},              // two bytes of three
        {"ab\xE2\x82\xAC", 5},          // a whole euro sign
        {"ab\xF0\x9F\x98", 2},          // three bytes of four
        {"\xF0\x9F\x98\x80" "x\xF0", 5},  // whole emoji, then one byte of the next
        {"Gr\xFC\xDF" "e\xC3", 6},        // Latin-1 text: not UTF-8, so nothing is dropped
        {"\xC3", 0},
        {"a\x80", 2},                   // a stray continuation byte is not a cut character
    };
    for (const auto& c : cases) EXPECT_EQ(WholeUtf8Length(c.text), c.whole) << ::testing::PrintToString(c.text);
}

TEST(DocumentPrompt, WrapsTheDocumentBeforeThePrompt) {
    EXPECT_EQ(ComposeDocumentPrompt("abc", "Summarise"),
              "The following is the content of a document:\n\n---\nabc\n---\n\nSummarise");
    EXPECT_EQ(std::strlen(kTruncationMarker), 49u);
    EXPECT_STREQ(kTruncationMarker, "\n\n[Document truncated - file exceeds 100KB limit]");
    EXPECT_EQ(kDocumentLimit, 102400u);
}

}  // namespace
