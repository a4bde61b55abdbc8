#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "features/media_protocol.h"
#include "providers/chat_protocol.h"

namespace {

SessionSettings Settings(int provider) {
    SessionSettings s;
    s.provider = provider;
    s.apiKey = "k";
    s.model = "m";
    return s;
}

AttachmentRef File(const char* type, const char* base64, const char* name = "a.png") {
    return std::make_shared<const Attachment>(Attachment{type, name, base64});
}

// The messages part of a body: from the first message to the end of the last one.
std::string Messages(const std::string& body) {
    const size_t from = body.find("[{\"role\"");
    const size_t to = body.rfind("}]");
    return from == std::string::npos || to == std::string::npos ? body : body.substr(from, to + 2 - from);
}

TEST(AttachmentBody, EachProviderSendsThePictureInItsOwnShape) {
    const std::string openAI =
        R"([{"role":"user","content":[{"type":"text","text":"What?"},)"
        R"({"type":"image_url","image_url":{"url":"data:image/png;base64,iVBO"}}]}])";
    const struct {
        int provider;
        std::string messages;
    } cases[] = {
        {kProviderOpenAI, openAI},
        {kProviderOpenRouter, openAI},
        {kProviderGroq, openAI},
        {kProviderGrok, openAI},
        {kProviderClaude, R"([{"role":"user","content":[{"type":"image","source":{"type":"base64",)"
                          R"("media_type":"image/png","data":"iVBO"}},{"type":"text","text":"What?"}]}])"},
        {kProviderGemini, R"([{"role":"user","parts":[{"inline_data":{"mime_type":"image/png","data":"iVBO"}},)"
                          R"({"text":"What?"}]}])"},
        {kProviderOllama, R"([{"role":"user","content":"What?","images":["iVBO"]}])"},
    };
    for (const auto& c : cases) {
        const ChatRequest r = BuildChatRequest(Settings(c.provider), {}, "What?", false, File("image/png", "iVBO"));
        ASSERT_TRUE(r.ok) << c.provider << r.error;
        EXPECT_EQ(Messages(r.body), c.messages) << c.provider;
    }
}

TEST(AttachmentBody, PdfGoesAsADocumentToTheFourThatReadPdfsAndIsRefusedByTheOthers) {
    const std::string openAI =
        R"([{"role":"user","content":[{"type":"text","text":"Sum up"},{"type":"file","file":{"filename":"r\"1.pdf",)"
        R"("file_data":"data:application/pdf;base64,JVBE"}}]}])";
    const std::string refusal = " does not read PDF documents. PDFs can be sent with OpenAI, Claude, Google or OpenRouter.";
    const struct {
        int provider;
        std::string messages;  // empty: refused with the label's text
        const char* label;
    } cases[] = {
        {kProviderOpenAI, openAI, ""},
        {kProviderOpenRouter, openAI, ""},
        {kProviderClaude, R"([{"role":"user","content":[{"type":"document","source":{"type":"base64",)"
                          R"("media_type":"application/pdf","data":"JVBE"}},{"type":"text","text":"Sum up"}]}])", ""},
        {kProviderGemini, R"([{"role":"user","parts":[{"inline_data":{"mime_type":"application/pdf","data":"JVBE"}},)"
                          R"({"text":"Sum up"}]}])", ""},
        {kProviderGroq, "", "Groq"},
        {kProviderGrok, "", "Grok"},
        {kProviderOllama, "", "Ollama"},
    };
    const AttachmentRef pdf = File("application/pdf", "JVBE", "r\"1.pdf");
    for (const auto& c : cases) {
        const ChatRequest r = BuildChatRequest(Settings(c.provider), {}, "Sum up", false, pdf);
        if (c.messages.empty()) {
            EXPECT_FALSE(r.ok) << c.provider;
            EXPECT_EQ(r.error, c.label + refusal);
            EXPECT_EQ(PdfRefusal(c.provider), c.label + refusal);
            // A PDF already in the conversation is refused the same way.
            const ChatRequest later = BuildChatRequest(Settings(c.provider), {{"user", "Sum up", pdf}, {"assistant", "ok"}}, "More");
            EXPECT_EQ(later.error, c.label + refusal);
        } else {
            ASSERT_TRUE(r.ok) << c.provider << r.error;
            EXPECT_EQ(Messages(r.body), c.messages) << c.provider;
            EXPECT_EQ(PdfRefusal(c.provider), "");
        }
    }
}

TEST(AttachmentBody, ThePictureStaysWithItsTurnForAFollowUpAndAnEmptyTextIsLeftOut) {
    const ConversationHistory history = {{"user", "What?", File("image/gif", "R0lG")}, {"assistant", "A cat"}};
    const struct {
        int provider;
        std::string messages;
    } cases[] = {
        {kProviderOpenAI, R"([{"role":"user","content":[{"type":"text","text":"What?"},{"type":"image_url",)"
                          R"("image_url":{"url":"data:image/gif;base64,R0lG"}}]},{"role":"assistant","content":"A cat"},)"
                          R"({"role":"user","content":"Colour?"}])"},
        {kProviderClaude, R"([{"role":"user","content":[{"type":"image","source":{"type":"base64","media_type":"image/gif",)"
                          R"("data":"R0lG"}},{"type":"text","text":"What?"}]},{"role":"assistant","content":"A cat"},)"
                          R"({"role":"user","content":"Colour?"}])"},
        {kProviderGemini, R"([{"role":"user","parts":[{"inline_data":{"mime_type":"image/gif","data":"R0lG"}},)"
                          R"({"text":"What?"}]},{"role":"model","parts":[{"text":"A cat"}]},)"
                          R"({"role":"user","parts":[{"text":"Colour?"}]}])"},
        {kProviderOllama, R"([{"role":"user","content":"What?","images":["R0lG"]},{"role":"assistant","content":"A cat"},)"
                          R"({"role":"user","content":"Colour?"}])"},
    };
    for (const auto& c : cases) {
        const ChatRequest r = BuildChatRequest(Settings(c.provider), history, "Colour?");
        ASSERT_TRUE(r.ok) << c.provider << r.error;
        EXPECT_EQ(Messages(r.body), c.messages) << c.provider;
    }
    // A PDF sent without a question carries no blank text part, which the providers refuse.
    const AttachmentRef pdf = File("application/pdf", "JVBE", "x.pdf");
    EXPECT_EQ(Messages(BuildChatRequest(Settings(kProviderClaude), {}, "", false, pdf).body),
              R"([{"role":"user","content":[{"type":"document","source":{"type":"base64",)"
              R"("media_type":"application/pdf","data":"JVBE"}}]}])");
    EXPECT_EQ(Messages(BuildChatRequest(Settings(kProviderGemini), {}, "", false, pdf).body),
              R"([{"role":"user","parts":[{"inline_data":{"mime_type":"application/pdf","data":"JVBE"}}]}])");
}

TEST(AttachmentBody, ABodyWithAPictureIsReservedOnceAndNeverRegrown) {
    const AttachmentRef picture = File("image/png", std::string(3u << 20, 'A').c_str());
    for (int provider : {kProviderOpenAI, kProviderClaude, kProviderGemini, kProviderOllama}) {
        BuildChatRequest(Settings(provider), {}, "x");  // takes whatever spare buffer an earlier body left
        const ConversationHistory history = {{"user", "Q", picture}, {"assistant", "A"}};
        const ChatRequest r = BuildChatRequest(Settings(provider), history, "Again?", false, picture);
        ASSERT_TRUE(r.ok);
        EXPECT_LE(r.body.capacity(), r.body.size() + 4096) << provider;
    }
}

TEST(MediaSniff, PicturesAndPdfsAreKnownByTheirFirstBytesOnly) {
    const struct {
        std::string head;
        const char* type;  // nullptr: not a picture
    } cases[] = {
        {std::string("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12), "image/png"},
        {"\xff\xd8\xff\xe0\x00\x10JFIF", "image/jpeg"},
        {"GIF89a\x01\x00\x01\x00", "image/gif"},
        {"GIF87a\x01\x00\x01\x00", "image/gif"},
        {std::string("RIFF\x24\0\0\0WEBPVP8 ", 16), "image/webp"},
        {std::string("RIFF\x24\0\0\0WAVEfmt ", 16), nullptr},
        {"\x89PNG\r\n", nullptr},  // cut short
        {"%PDF-1.7\n", nullptr},
        {"BM6\x00\x00\x00\x00\x00", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        const char* type = SniffImageType(reinterpret_cast<const unsigned char*>(c.head.data()), c.head.size());
        EXPECT_STREQ(type, c.type) << c.head;
    }
    EXPECT_TRUE(StartsAsPdf(reinterpret_cast<const unsigned char*>("%PDF-1.4"), 8));
    EXPECT_FALSE(StartsAsPdf(reinterpret_cast<const unsigned char*>("%PDF"), 4));
    EXPECT_FALSE(StartsAsPdf(reinterpret_cast<const unsigned char*>(" %PDF-1.4"), 9));
    EXPECT_TRUE(IsPdfPath("C:\\Docs\\Report.PDF"));
    EXPECT_FALSE(IsPdfPath("report.pdf.txt"));
}

TEST(MediaBase64, EncodesInSlicesAsInOneRunAndDecodesBack) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 37);
    for (size_t size : {0u, 1u, 2u, 3u, 4u, 5u, 999u, 1000u}) {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        std::string whole, sliced;
        AppendBase64(whole, data, size);
        for (size_t at = 0; at < size; at += 99) AppendBase64(sliced, data + at, size - at < 99 ? size - at : 99);
        EXPECT_EQ(whole.size(), Base64Length(size));
        EXPECT_EQ(sliced, whole) << size;
        const std::vector<unsigned char> back = Base64Decode(whole);
        EXPECT_EQ(std::string(back.begin(), back.end()), bytes.substr(0, size)) << size;
    }
    std::string text;
    AppendBase64(text, reinterpret_cast<const unsigned char*>("Man"), 3);
    AppendBase64(text, reinterpret_cast<const unsigned char*>("Ma"), 2);
    EXPECT_EQ(text, "TWFuTWE=");
    EXPECT_EQ(FileNameOf("C:\\a\\b/c.pdf"), "c.pdf");
    EXPECT_EQ(FileNameOf("c.pdf"), "c.pdf");
}

}  // namespace

namespace {

TEST(AttachmentHistory, EveryCopyOfTheConversationSharesThePictureAndClearingLetsItGo) {
    ClearHistory();
    const unsigned conversation = [] {
        std::lock_guard<std::mutex> hold(SessionLock());
        return ConversationLocked();
    }();
    auto picture = std::make_shared<const Attachment>(Attachment{"image/png", "a.png", std::string(1000, 'A')});
    const std::weak_ptr<const Attachment> watch = picture;
    ASSERT_TRUE(AppendExchange(conversation, "What?", "A cat", picture));
    picture.reset();
    ConversationHistory copy;
    CopySettings(&copy);
    ASSERT_EQ(copy.size(), 2u);
    EXPECT_EQ(copy[0].attachment.get(), watch.lock().get());  // the same text, not a second one
    EXPECT_EQ(copy[1].attachment, nullptr);
    copy.clear();
    ClearHistory();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
