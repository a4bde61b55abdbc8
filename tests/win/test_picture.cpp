// Pictures with ParlySendWithImage and PDFs with ParlySendWithDoc, end to end against the simulator.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

const std::string kPng = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string(84, 'p');
const std::string kPdf = "%PDF-1.7\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n";
const char kNoPdf[] = " does not read PDF documents. PDFs can be sent with OpenAI, Claude, Google or OpenRouter.";

class Pictures : public SimFixture {
  protected:
    // A file of its own in the test's scratch folder.
    std::string Put(const std::string& name, const std::string& bytes) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string path = ScratchDir(std::string("picture-") + info->name()) + "\\" + name;
        WriteFileBytes(path, bytes);
        return path;
    }
    std::string Ask(const std::string& path, Param prompt = "What is it?") {
        rig.Exec("ParlySendWithImage", {path, prompt, "[R]"});
        return rig.Var("[R]");
    }
};

TEST_F(Pictures, EveryProviderGetsThePictureInItsShapeAndTheAnswerSaysWhatCame) {
    const std::string path = Put("photo.bin", kPng);
    for (const Provider& p : AllProviders()) {
        SCOPED_TRACE(p.initName);
        Select(rig, p.initName);
        Sim::Next(R"({"pretty":true})");  // the reply pretty-printed, as the providers' own consoles show them
        EXPECT_EQ(Ask(path), std::string(p.says) + " says: What is it? [received image/png, 100 bytes]")
            << rig.LastError();
        EXPECT_EQ(CountOf(Sim::Body(-1), Base64(kPng)), 1u);
    }
}

TEST_F(Pictures, EachFormatIsKnownByItsFirstBytesNotItsName) {
    Select(rig, "Claude");
    const struct {
        const char* name;
        std::string bytes;
        const char* type;
    } cases[] = {
        {"a.jpg.png", "\xff\xd8\xff\xe0" + std::string(60, 'j'), "image/jpeg"},
        {"b.png", "GIF89a" + std::string(20, 'g'), "image/gif"},
        {"c", std::string("RIFF\x10\0\0\0WEBPVP8 ", 16) + std::string(8, 'w'), "image/webp"},
        {"d.jpeg", kPng, "image/png"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Ask(Put(c.name, c.bytes), "Q"), "Claude says: Q [received " + std::string(c.type) + ", " +
                                                      std::to_string(c.bytes.size()) + " bytes]")
            << c.name << rig.LastError();
    }
}

TEST_F(Pictures, EveryRefusalComesBeforeAnythingIsSentAndEmptiesTheVariable) {
    const std::string picture = Put("ok.png", kPng);
    const std::string text = Put("fake.png", "just text, named as a picture");
    const std::string bmp = Put("old.bmp", "BM" + std::string(60, 'b'));
    const std::string empty = Put("empty.png", "");
    const std::string large = Put("large.png", kPng + std::string((20u << 20) + 1 - kPng.size(), 'x'));
    const std::string missing = Put("x", "") + "-missing.png";
    const struct {
        std::string path;
        Param prompt;
        bool provider;
        std::string error;
    } cases[] = {
        {picture, "Q", false, "No provider initialized. Call ParlyInit first."},
        {"", "Q", true, "Image file path cannot be empty"},
        {picture, "", true, "Prompt cannot be empty"},
        {picture, kAbsent, true, "Prompt cannot be empty"},
        {missing, "Q", true, "Cannot open file: " + missing},
        {empty, "Q", true, "File is empty or cannot determine size: " + empty},
        {text, "Q", true, "Unsupported image format (PNG, JPEG, GIF or WebP expected): " + text},
        {bmp, "Q", true, "Unsupported image format (PNG, JPEG, GIF or WebP expected): " + bmp},
        {large, "Q", true, "Image file is larger than 20 MB: " + large},
    };
    // The case without a provider comes first, before the one selection the rest share.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        if (c.provider && rig.LastError().find("No provider") != std::string::npos) Select(rig, "OpenAI");
        rig.vars.erase(std::remove_if(rig.vars.begin(), rig.vars.end(), [](auto& v) { return v.first == "[R]"; }),
                       rig.vars.end());
        rig.vars.push_back({"[R]", "old answer"});
        rig.Exec("ParlySendWithImage", {c.path, c.prompt, "[R]"});
        EXPECT_EQ(rig.Var("[R]"), "");
        EXPECT_EQ(rig.LastError(), c.error);
    }
    EXPECT_EQ(Sim::Count(), 0);
    // Exactly 20 MB is accepted.
    Select(rig, "Ollama");
    const std::string limit = Put("limit.png", kPng + std::string((20u << 20) - kPng.size(), 'x'));
    EXPECT_EQ(Ask(limit, "Big?"), "Ollama says: Big? [received image/png, 20971520 bytes]") << rig.LastError();
}

TEST_F(Pictures, ThePictureStaysWithItsTurnUntilTheConversationIsCleared) {
    const std::string path = Put("cat.gif", "GIF89a" + std::string(30, 'c'));
    const std::string encoded = Base64("GIF89a" + std::string(30, 'c'));
    for (const char* clear : {"ParlyClearHistory", "ParlyInit", "ParlyReset"}) {
        SCOPED_TRACE(clear);
        Select(rig, "Google");
        Ask(path);
        rig.Exec("ParlySend", {"And what colour is it?", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "Gemini says: And what colour is it?");
        // The follow-up carries the picture once, in the first user turn.
        const std::string follow = Sim::Body(-1);
        EXPECT_EQ(CountOf(follow, encoded), 1u) << follow;
        EXPECT_LT(follow.find(encoded), follow.find("And what colour")) << follow;
        if (std::string(clear) == "ParlyInit") Select(rig, "Google");
        else rig.Exec(clear);
        rig.Exec("ParlySend", {"Hello", "[A]"});
        EXPECT_EQ(CountOf(Sim::Body(-1), encoded), 0u);
    }
}

TEST_F(Pictures, ATextOnlyModelRefusesInItsOwnWordsAndTheHistoryIsUntouched) {
    const std::string path = Put("p.png", kPng);
    const struct {
        const char* provider;
        std::string error;
    } cases[] = {
        {"OpenAI", "OpenAI API error (400): The model plain-text-only does not support image input."},
        {"Claude", "Claude API error (400): The model plain-text-only does not support image input."},
        {"Google", "Google API error (400): The model plain-text-only does not support image input."},
        {"Ollama", "Ollama error (400): The model plain-text-only does not support image input."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.provider);
        Select(rig, c.provider);
        rig.Exec("ParlySetModel", {"plain-text-only"});
        EXPECT_EQ(Ask(path), "");
        EXPECT_EQ(rig.LastError(), c.error);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(CountOf(Sim::Body(-1), Base64(kPng)), 0u);
        EXPECT_EQ(CountOf(Sim::Body(-1), "What is it?"), 0u);
    }
}

TEST_F(Pictures, WithStreamingOnThePictureAnswerIsRevealedIntoTheTarget) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetStreaming", {"True", "[Live]"});
    EXPECT_EQ(Ask(Put("s.png", kPng), "Name it"), "OpenAI says: Name it [received image/png, 100 bytes]")
        << rig.LastError();
    EXPECT_EQ(rig.Var("[Live]"), "OpenAI says: Name it [received image/png, 100 bytes]");
    EXPECT_NE(Sim::Body(-1).find("\"stream\":true"), std::string::npos);
    rig.Exec("ParlySend", {"Again", "[A]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), Base64(kPng)), 1u);
}

TEST_F(Pictures, PdfsGoAsPdfsToTheFourThatReadThemAndAreRefusedByTheOthersBeforeSending) {
    const std::string pdf = Put("Report.PDF", kPdf);
    const std::string size = std::to_string(kPdf.size());
    for (const Provider& p : AllProviders()) {
        SCOPED_TRACE(p.initName);
        Select(rig, p.initName);
        const int before = Sim::Count();
        rig.Exec("ParlySendWithDoc", {pdf, "Summarise", "[D]"});
        const std::string name = p.initName;
        if (name == "Groq" || name == "Grok" || name == "Ollama") {
            EXPECT_EQ(rig.Var("[D]"), "");
            EXPECT_EQ(rig.LastError(), name + kNoPdf);
            EXPECT_EQ(Sim::Count(), before);
        } else {
            EXPECT_EQ(rig.Var("[D]"), std::string(p.says) + " says: Summarise [received application/pdf, " + size + " bytes]")
                << rig.LastError();
        }
    }
    Select(rig, "Claude");
    const std::string fake = Put("fake.pdf", "not a pdf");
    rig.Exec("ParlySendWithDoc", {fake, "Summarise", "[D]"});
    EXPECT_EQ(rig.LastError(), "Not a PDF file (it does not begin with %PDF-): " + fake);
    const std::string large = Put("large.pdf", kPdf + std::string((32u << 20) + 1 - kPdf.size(), ' '));
    rig.Exec("ParlySendWithDoc", {large, "Summarise", "[D]"});
    EXPECT_EQ(rig.LastError(), "PDF file is larger than 32 MB: " + large);
    EXPECT_EQ(rig.Var("[D]"), "");
}

TEST_F(Pictures, ASavedConversationKeepsItsFilesAndSendsThemAgainOnceLoaded) {
    const struct {
        const char *name, *from, *to;
        std::string bytes, sentAgain;  // what the body of the next question after the load must hold
        const char* refusedBy;         // a provider that must refuse the loaded conversation before sending
    } rows[] = {
        {"photo.png", "OpenAI", "Claude", kPng,
         R"({"type":"image","source":{"type":"base64","media_type":"image/png","data":")" + Base64(kPng) + "\"}}", nullptr},
        {"minutes.pdf", "Claude", "OpenRouter", kPdf,
         R"({"type":"file","file":{"filename":"minutes.pdf","file_data":"data:application/pdf;base64,)" + Base64(kPdf) + "\"}}",
         "Groq"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = Put(r.name, r.bytes), saved = Put(std::string(r.name) + ".json", "");
        Select(rig, r.from);
        if (r.bytes == kPdf)
            rig.Exec("ParlySendWithDoc", {path, "Summarise it.", "[R]"});
        else
            Ask(path);
        rig.Exec("ParlySaveHistory", {saved, "[St]"});
        ASSERT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
        EXPECT_NE(ReadFileBytes(saved).find("\"file_name\": \"" + std::string(r.name) + "\""), std::string::npos);
        if (r.refusedBy) {
            Select(rig, r.refusedBy);
            rig.Exec("ParlyLoadHistory", {saved, "[St]"});
            const int before = Sim::Count();
            rig.Exec("ParlySend", {"And then?", "[R]"});
            EXPECT_EQ(Sim::Count(), before);
            EXPECT_EQ(rig.LastError(), std::string(r.refusedBy) + kNoPdf);
        }
        Select(rig, r.to);  // a new conversation with another provider
        rig.Exec("ParlyLoadHistory", {saved, "[St]"});
        ASSERT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
        rig.Exec("ParlySend", {"And then?", "[R]"});
        EXPECT_FALSE(rig.Var("[R]").empty()) << rig.LastError();
        EXPECT_NE(Sim::Body(-1).find(r.sentAgain), std::string::npos) << Sim::Body(-1).substr(0, 600);
    }
}

}  // namespace

// A year on, a picture or PDF sent with a key from the environment heals the retired default: the listing carries
// that key, the file goes out once more with the successor, and usage is the successor's answer's.
TEST_F(Pictures, AFileSendHealsARetiredDefaultAndGoesOutOnceMore) {
    ScopedEnv claude("ANTHROPIC_API_KEY", "sk-ant-env");
    const std::string png = Put("p.png", kPng), pdf = Put("d.pdf", kPdf);
    struct Case {
        const char* action;
        const std::string& path;
        const std::string& bytes;
        bool stream;
    } cases[] = {{"ParlySendWithImage", png, kPng, false}, {"ParlySendWithDoc", pdf, kPdf, false},
                 {"ParlySendWithImage", png, kPng, true}, {"ParlySendWithDoc", pdf, kPdf, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + (c.stream ? " streamed" : ""));
        rig.Message(2);  // unloaded: the default healed by the row before is forgotten
        Sim::Reset();
        int status = 0;
        Sim::LoopbackCall(Sim::Port(), L"POST", "/__sim/year/next", &status);
        rig.Exec("ParlyInit", {"Anthropic", "", "[S]"});
        ASSERT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
        rig.Exec("ParlySetStreaming", {c.stream ? "True" : "False", "[Live]"});
        rig.Exec(c.action, {c.path, "Q", "[R]"});
        EXPECT_NE(rig.Var("[R]").find("received"), std::string::npos) << rig.LastError();
        ASSERT_EQ(Sim::Count(), 3) << "the refusal, one listing page, the resend";
        EXPECT_EQ(Sim::Header("x-api-key", 1), "sk-ant-env");
        EXPECT_EQ(CountOf(Sim::Body(2), Base64(c.bytes)), 1u);
        EXPECT_NE(Sim::Body(2).find("claude-sonnet-9"), std::string::npos);
        rig.Exec("ParlyGetUsage", {"[In]", "[Out]", "[Stop]"});
        EXPECT_NE(rig.Var("[In]"), "");
        EXPECT_EQ(rig.Var("[Stop]"), "end_turn");
        rig.Exec("ParlyClearHistory");
    }
}

// A conversation saved with a PDF and loaded a year on goes out with the PDF once in the refused request and once in
// the resend to the healed default.
TEST_F(Pictures, ALoadedConversationsPdfGoesOutOnceAgainAfterTheDefaultHeals) {
    const std::string pdf = Put("d.pdf", kPdf);
    const std::string file = ScratchDir("picture-healed-history") + "\\talk.json";
    rig.Message(2);
    Sim::Reset();
    Select(rig, "OpenAI");
    rig.Exec("ParlySendWithDoc", {pdf, "Summarise", "[D]"});
    ASSERT_NE(rig.Var("[D]"), "") << rig.LastError();
    rig.Exec("ParlySaveHistory", {file, "[S]"});
    ASSERT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    rig.Message(2);
    int status = 0;
    Sim::LoopbackCall(Sim::Port(), L"POST", "/__sim/year/next", &status);
    rig.Exec("ParlyInit", {"OpenAI", "k1", "[S]"});
    rig.Exec("ParlyLoadHistory", {file, "[S]"});
    ASSERT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    const int before = Sim::Count();
    rig.Exec("ParlySend", {"Again", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Again") << rig.LastError();
    ASSERT_EQ(Sim::Count(), before + 3);
    EXPECT_EQ(CountOf(Sim::Body(before), Base64(kPdf)), 1u);
    EXPECT_EQ(CountOf(Sim::Body(-1), Base64(kPdf)), 1u);
    EXPECT_NE(Sim::Body(-1).find("\"model\":\"gpt-9-sol\""), std::string::npos);
}
