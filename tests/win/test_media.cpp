// Images, embeddings and documents, end to end through nbExecAction against the simulator.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "editor/resource.h"
#include "net/encoding.h"
#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"
#include "tests/win/test_editor_driver.h"

using namespace simtest;

namespace {

const char kWrongProvider[] =
    "Image generation requires OpenAI or OpenRouter provider. Current provider does not support DALL-E.";
const char kNoEmbeddings[] = "Embeddings not supported for this provider. Use OpenAI, OpenRouter, or Ollama.";
const char kNoProvider[] = "No provider initialized. Call ParlyInit first.";

// Names of the files in a folder, so a test can see that no temporary file was left behind.
std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

std::wstring Wide(const std::string& utf8) { return Utf8ToWide(utf8); }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A scratch folder of its own for each test, emptied first.
std::string FreshDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string dir = ScratchDir(std::string("media-") + info->name());
    for (const std::string& name : FilesIn(dir)) DeleteFileA((dir + "\\" + name).c_str());
    return dir;
}

std::string ImageReply(const std::string& b64Field) { return "{\"created\":1,\"data\":[{\"b64_json\":\"" + b64Field + "\"}]}"; }

class Images : public SimFixture {};

TEST_F(Images, TheFileHoldsExactlyTheDecodedBytesAndTheBodyIsExact) {
    Select(rig, "OpenAI");
    std::string dir = FreshDir(), path = dir + "\\cat.png";
    rig.Exec("ParlyImageGen", {"cat", path, "512x512", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    EXPECT_EQ(ReadFileBytes(path), Sim::Png());
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"cat.png"});
    EXPECT_EQ(Sim::Body(-1), R"({"model":"gpt-image-2","prompt":"cat","n":1,"size":"1024x1024"})");
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /v1/images/generations");
    EXPECT_EQ(OwnHeaderLines(Sim::Head(-1)),
              (std::vector<std::string>{"Authorization: Bearer k1", "Content-Type: application/json"}));
}

TEST_F(Images, EverySizeAScriptOrDialogNamesGivesAPngAtTheNearestSizeTheModelMakes) {
    struct Case {
        Param size;
        const char* sent;
    } cases[] = {
        {"1024x1024", "1024x1024"}, {"1536x1024", "1536x1024"}, {"1024x1536", "1024x1536"}, {"auto", "auto"},
        {"256x256", "1024x1024"},   {"512x512", "1024x1024"},   {"1792x1024", "1536x1024"}, {"1024x1792", "1024x1536"},
        {"512X512", "1024x1024"},   {kAbsent, "1024x1024"},
    };
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size.value_or("<absent>"));
        const std::string path = dir + "\\out" + std::to_string(n++) + ".png";
        rig.Exec("ParlyImageGen", {"cat", path, c.size, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
        EXPECT_EQ(Sim::Body(-1), std::string(R"({"model":"gpt-image-2","prompt":"cat","n":1,"size":")") + c.sent + "\"}");
        EXPECT_EQ(ReadFileBytes(path), Sim::Png());
    }
    EXPECT_EQ(Sim::Count(), static_cast<int>(std::size(cases)));
}

TEST_F(Images, AnImageModelTheScriptChoseIsSentAndARetiredOneGetsTheProvidersWords) {
    Select(rig, "OpenAI");
    std::string path = FreshDir() + "\\out.png";
    rig.Exec("ParlySetModel", {"gpt-image-1"});
    rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(),
              "Image generation error (404): The model `gpt-image-1` does not exist or you do not have access to it.");
    rig.Exec("ParlySetModel", {"gpt-image-2"});
    rig.Exec("ParlyImageGen", {"cat", path, "1536x1024", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    EXPECT_EQ(Sim::Body(-1), R"({"model":"gpt-image-2","prompt":"cat","n":1,"size":"1536x1024"})");
    EXPECT_EQ(ReadFileBytes(path), Sim::Png());
}

TEST_F(Images, AModelThatRefusesResponseFormatIsAskedOnceMoreWithoutItAndRemembered) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"dall-e-next"});
    std::string path = FreshDir() + "\\out.png";
    NextReply(400, R"({"error":{"message":"Unknown parameter: 'response_format'.","type":"invalid_request_error",)"
                   R"("param":"response_format","code":"unknown_parameter"}})");
    rig.Exec("ParlyImageGen", {"cat", path, "512x512", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    ASSERT_EQ(Sim::Count(), 2);
    EXPECT_EQ(Sim::Body(0), R"({"model":"dall-e-next","prompt":"cat","n":1,"size":"512x512","response_format":"b64_json"})");
    EXPECT_EQ(Sim::Body(1), R"({"model":"dall-e-next","prompt":"cat","n":1,"size":"512x512"})");
    rig.Exec("ParlyImageGen", {"cat", path, "512x512", "[S]"});
    EXPECT_EQ(Sim::Count(), 3) << "the refusal is remembered for the model";
    EXPECT_EQ(Sim::Body(-1), Sim::Body(1));
    // A second refusal of the same member is reported, not chased.
    NextReply(400, R"({"error":{"message":"Unknown parameter: 'response_format'.","param":"response_format"}})");
    rig.Exec("ParlySetModel", {"dall-e-other"});
    NextReply(400, R"({"error":{"message":"Unknown parameter: 'response_format'.","param":"response_format"}})");
    rig.Exec("ParlyImageGen", {"cat", path, "512x512", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(Sim::Count(), 5);
}

TEST_F(Images, ARefusalAndItsResendShareTheOneTimeOut) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"dall-e-slow"});
    rig.Exec("ParlySetTimeout", {"5"});
    const std::string path = FreshDir() + "\\out.png";
    const std::string refusal = R"({"error":{"message":"Unknown parameter: 'response_format'.","param":"response_format"}})";
    // Each reply alone is within the time-out; the two together are not.
    Sim::Next(R"({"status":400,"delay_ms":3500,"body_b64":")" + Base64(refusal) + "\"}");
    Sim::Next(R"({"delay_ms":3500})");
    rig.Exec("ParlyImageGen", {"cat", path, "1024x1024", "[S]"});
    EXPECT_EQ(Sim::Count(), 2);
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Image generation error (0): Request timed out after 5 seconds");
    EXPECT_FALSE(Exists(path));
}

TEST_F(Images, EveryFailureLeavesAnExistingFileAsItWas) {
    Select(rig, "OpenAI");
    std::string dir = FreshDir(), path = dir + "\\keep.png";
    WriteFileBytes(path, "old contents");
    struct Case {
        int status;
        std::string body;
        std::string error;
    } cases[] = {
        {500, R"({"error":{"message":"nope"}})", "Image generation error (500): nope"},
        {400, "plain failure", "Image generation error (400): plain failure"},
        {200, R"({"data":[{"url":"x"}]})", "Failed to parse image data from response"},
        // A gateway that answers with a URL: the null is no image, and the next member's name is not decoded.
        {200, "{\n  \"data\": [\n    {\n      \"b64_json\": null,\n      \"url\": \"https://img.example/a.png\"\n    }\n  ]\n}",
         "Failed to parse image data from response"},
        {200, R"({"data":[{"b64_json":1234,"revised_prompt":"TWFu"}]})", "Failed to parse image data from response"},
        {200, ImageReply(""), "Failed to parse image data from response"},
        {200, ImageReply("===="), "Failed to decode image data"},
        {201, ImageReply(Base64(Sim::Png())), "Image generation error (201): " + ImageReply(Base64(Sim::Png()))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body.substr(0, 60));
        NextReply(c.status, c.body);
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "ERROR");
        EXPECT_EQ(rig.LastError(), c.error);
        EXPECT_EQ(ReadFileBytes(path), "old contents");
    }
    {
        ScopedEnv closed("PARLY_OPENAI_URL", ClosedUrl());
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "ERROR");
        EXPECT_TRUE(StartsWith(rig.LastError(), "Image generation error (0): Failed to send request. Error code: "))
            << rig.LastError();
        EXPECT_EQ(ReadFileBytes(path), "old contents");
    }
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"keep.png"});
    rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OK");
    EXPECT_EQ(ReadFileBytes(path), Sim::Png());
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"keep.png"});
}

TEST_F(Images, AMissingFolderGivesTheCreateTextAndNoFile) {
    Select(rig, "OpenAI");
    std::string path = FreshDir() + "\\no-such-folder\\out.png";
    rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Failed to create output file: " + path);
    EXPECT_FALSE(Exists(path));
    // In the background the failure arrives as every other image failure does: status and callback.
    rig.Exec("ParlyImageGenAsync", {"cat", path, kAbsent, "[S2]", "Done"});
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 10000));
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"Done\""});
    EXPECT_EQ(rig.Var("[S2]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Failed to create output file: " + path);
    EXPECT_EQ(Sim::Count(), 0) << "no image is paid for that cannot be saved";
}

// The folder check knows every spelling of a folder that exists, and only those.
TEST_F(Images, TheFolderCheckPassesEveryWayOfNamingAFolderThatExists) {
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    WriteFileBytes(dir + "\\afile.txt", "x");
    const std::string root = "C:\\parly-media-root.png";  // a drive's root, in this test's own Wine prefix
    DeleteFileA(root.c_str());
    const struct {
        std::string path;
        const char* status;
    } cases[] = {
        {"\\\\?\\" + root, "OK"},
        {"\\\\?\\" + dir + "\\long.png", "OK"},
        {dir + "/forward.png", "OK"},
        {root, "OK"},
        {dir + "\\afile.txt\\x.png", "ERROR"},  // a file where the folder should be
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const int before = Sim::Count();
        rig.Exec("ParlyImageGen", {"cat", c.path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), c.status) << rig.LastError();
        EXPECT_EQ(Sim::Count() - before, std::string(c.status) == "OK" ? 1 : 0);
    }
    EXPECT_EQ(ReadFileBytes(root), Sim::Png());
    DeleteFileA(root.c_str());
}

// The temporary file lives beside the target under a name no longer than the target's own.
TEST_F(Images, LongTargetPathsAreWrittenAndLeaveNoTemporaryFile) {
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    for (const auto& [total, name] : {std::pair<size_t, std::string>{240, "picture.png"}, {255, "p.png"}}) {
        SCOPED_TRACE(total);
        const size_t folderLength = total - dir.size() - 2 - name.size();
        ASSERT_LT(folderLength, 250u);
        const std::string folder = dir + "\\" + std::string(folderLength, total == 240 ? 'f' : 'g');
        CreateDirectoryA(folder.c_str(), nullptr);
        // Leftovers may have names too long for the plain API.
        for (const std::string& old : FilesIn(folder)) DeleteFileW(Wide("\\\\?\\" + folder + "\\" + old).c_str());
        const std::string path = folder + "\\" + name;
        ASSERT_EQ(path.size(), total);
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
        EXPECT_EQ(ReadFileBytes(path), Sim::Png());
        NextReply(500, R"({"error":{"message":"nope"}})");
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "ERROR");
        EXPECT_EQ(FilesIn(folder), std::vector<std::string>{name});
    }
}

// A one-character name leaves one character for the temporary file too; a "~" already there must not block it.
TEST_F(Images, OneCharacterTargetsAreWrittenBesideAnExistingTilde) {
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    WriteFileBytes(dir + "\\~", "someone else's");
    for (const std::string name : {"q", "~"}) {
        SCOPED_TRACE(name);
        rig.Exec("ParlyImageGen", {"cat", dir + "\\" + name, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
        EXPECT_EQ(ReadFileBytes(dir + "\\" + name), Sim::Png());
    }
    std::vector<std::string> files = FilesIn(dir);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"q", "~"})) << "no temporary file is left behind";
}

TEST_F(Images, ATargetThatCannotBeReplacedGivesTheWriteTextAndSurvives) {
    Select(rig, "OpenAI");
    std::string dir = FreshDir();
    std::string folder = dir + "\\folder.png", locked = dir + "\\locked.png", readOnly = dir + "\\read-only.png";
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteFileBytes(locked, "old contents");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);  // an earlier failed run may have left it read-only
    WriteFileBytes(readOnly, "kept");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE holder = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    for (const std::string& path : {folder, folder + "\\", readOnly, locked}) {
        SCOPED_TRACE(path);
        const int before = Sim::Count();
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "ERROR");
        EXPECT_EQ(rig.LastError(), "Failed to write output file: " + path);
        // A target that is a folder or read-only is known before the request: no image is paid for.
        EXPECT_EQ(Sim::Count() - before, path == locked ? 1 : 0);
    }
    CloseHandle(holder);
    EXPECT_EQ(ReadFileBytes(locked), "old contents");
    EXPECT_EQ(ReadFileBytes(readOnly), "kept");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"locked.png", "read-only.png"})) << "no temporary file is left behind";
}

TEST_F(Images, ProvidersWithoutImagesSendNothing) {
    std::string path = FreshDir() + "\\out.png";
    WriteFileBytes(path, "old");
    rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(), kWrongProvider) << "no provider chosen";
    for (const char* name : {"Claude", "Google", "Ollama", "Groq", "Grok"}) {
        SCOPED_TRACE(name);
        Select(rig, name);
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "ERROR");
        EXPECT_EQ(rig.LastError(), kWrongProvider);
    }
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_EQ(ReadFileBytes(path), "old");
}

TEST_F(Images, OpenRouterIsRefusedWithAPointerToOpenAI) {
    Select(rig, "OpenRouter");
    std::string path = FreshDir() + "\\out.png";
    rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    std::string error = rig.LastError();
    EXPECT_NE(error.find("OpenRouter"), std::string::npos) << error;
    EXPECT_NE(error.find("OpenAI"), std::string::npos) << error;
    EXPECT_NE(error, kWrongProvider);
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_FALSE(Exists(path));
}

TEST_F(Images, EmptyPromptOrPathIsRefusedBeforeAnyRequest) {
    Select(rig, "OpenAI");
    rig.Exec("ParlyImageGen", {"", "x.png", kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Image prompt cannot be empty");
    rig.Exec("ParlyImageGen", {"cat", kAbsent, kAbsent, "[S2]"});
    EXPECT_EQ(rig.Var("[S2]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Output file path cannot be empty");
    EXPECT_EQ(Sim::Count(), 0);
}

TEST_F(Images, Base64IsJsonUnescapedAndUrlSafeLettersAreUnderstood) {
    const std::string bytes("\xfb\xef\xbe\xff\xff\xfe\x00\x01\x3f\xf8", 10);
    const std::string standard = Base64(bytes);
    ASSERT_NE(standard.find('+'), std::string::npos);
    ASSERT_NE(standard.find('/'), std::string::npos);
    auto replaced = [&](char from, const std::string& to) {
        std::string out;
        for (char c : standard) out += c == from ? to : std::string(1, c);
        return out;
    };
    std::string urlSafe = standard;
    for (char& c : urlSafe) c = c == '+' ? '-' : c == '/' ? '_' : c;
    std::string broken;  // escaped line breaks every four letters
    for (size_t i = 0; i < standard.size(); i += 4) broken += standard.substr(i, 4) + "\\n";
    struct Case {
        const char* label;
        std::string field;
    } cases[] = {
        {"standard", standard},
        {"url-safe", urlSafe},
        {"escaped solidus", replaced('/', "\\/")},
        {"escaped plus", replaced('+', "\\u002b")},
        {"escaped line breaks", broken},
    };
    Select(rig, "OpenAI");
    std::string path = FreshDir() + "\\bytes.bin";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        NextReply(200, ImageReply(c.field));
        rig.Exec("ParlyImageGen", {"cat", path, kAbsent, "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
        EXPECT_EQ(ReadFileBytes(path), bytes);
    }
}

// ---------------------------------------------------------------------------------------------

class Embeddings : public SimFixture {
  protected:
    std::string Embed(const std::string& text) {
        rig.Exec("ParlyGetEmbedding", {text, "[E]"});
        return rig.Var("[E]");
    }
};

TEST_F(Embeddings, OpenAIUsesItsFixedModelAndReturnsTheVectorAsWritten) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"gpt-4o-mini"});
    Sim::Next(R"({"embedding":[0.125,-0.5,3e-05]})");
    EXPECT_EQ(Embed("hello"), "0.125,-0.5,3e-05");
    const std::string expected = R"({"model":"text-embedding-3-small","input":"hello"})";
    EXPECT_EQ(expected.size(), 50u);
    EXPECT_EQ(Sim::Body(-1), expected);
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /v1/embeddings");
    EXPECT_EQ(OwnHeaderLines(Sim::Head(-1)),
              (std::vector<std::string>{"Authorization: Bearer k1", "Content-Type: application/json"}));
}

TEST_F(Embeddings, OpenRouterSendsItsModelAndAFortyCharacterReferer) {
    Select(rig, "OpenRouter");
    Sim::Next(R"({"embedding":[0.125,-0.5,3e-05]})");
    EXPECT_EQ(Embed("hello"), "0.125,-0.5,3e-05");
    EXPECT_EQ(Sim::Body(-1), R"({"model":"openai/text-embedding-3-small","input":"hello"})");
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /api/v1/embeddings");
    std::string referer = Sim::Header("HTTP-Referer");
    EXPECT_EQ(referer.size(), 40u) << referer;
    EXPECT_TRUE(StartsWith(referer, "http")) << referer;
    std::vector<std::string> own = OwnHeaderLines(Sim::Head(-1));
    EXPECT_EQ(own, (std::vector<std::string>{"Authorization: Bearer k1", "Content-Type: application/json",
                                             "HTTP-Referer: " + referer}));
}

TEST_F(Embeddings, OllamaUsesTheEndpointTheModelOrLlama3AndTheKeyOnlyWhenGiven) {
    Select(rig, "Ollama", "");
    rig.Exec("ParlySetModel", {""});
    Sim::Next(R"({"embedding":[0.5,-0.25]})");
    EXPECT_EQ(Embed("hello"), "0.5,-0.25");
    EXPECT_EQ(Sim::Body(-1), R"({"model":"llama3","prompt":"hello"})");
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /api/embeddings");
    EXPECT_EQ(OwnHeaderLines(Sim::Head(-1)), std::vector<std::string>{"Content-Type: application/json"});

    rig.Exec("ParlySetModel", {"nomic \"embed\""});
    Embed("hello");
    EXPECT_EQ(Sim::Body(-1), R"({"model":"nomic \"embed\"","prompt":"hello"})") << "the model is escaped here";

    Select(rig, "Ollama", "k9");
    Embed("hello");
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer k9");
}

TEST_F(Embeddings, OllamaEndpointIsReadLikeTheChatEndpoint) {
    const std::string port = std::to_string(Sim::Port());
    Select(rig, "Ollama");
    for (const std::string& endpoint : {"127.0.0.1:" + port, "http://127.0.0.1:" + port + "/api"}) {
        SCOPED_TRACE(endpoint);
        rig.Exec("ParlySetEndpoint", {endpoint});
        Sim::Next(R"({"embedding":[0.5,-0.25]})");
        EXPECT_EQ(Embed("hello"), "0.5,-0.25");
    }
    rig.Exec("ParlySetEndpoint", {"https://127.0.0.1:" + port});
    EXPECT_EQ(Embed("hello"), "");
    EXPECT_TRUE(StartsWith(rig.LastError(), "Embedding error (0): Failed to ")) << "TLS against a plain server";

    int requests = Sim::Count();
    for (const char* endpoint : {"http://127.0.0.1:abc", "http://127.0.0.1:99999999999"}) {
        SCOPED_TRACE(endpoint);
        rig.Exec("ParlySetEndpoint", {endpoint});
        EXPECT_EQ(rig.Exec("ParlyGetEmbedding", {"hello", "[E]"}), 1);
        EXPECT_EQ(rig.Var("[E]"), "");
        std::string error = rig.LastError();
        EXPECT_NE(error, "");
        EXPECT_EQ(error.find("Exception"), std::string::npos) << error;
    }
    EXPECT_EQ(Sim::Count(), requests);
}

TEST_F(Embeddings, OtherProvidersAndMissingInputsSendNothing) {
    EXPECT_EQ(Embed("hello"), "");
    EXPECT_EQ(rig.LastError(), kNoProvider);
    for (const char* name : {"Claude", "Google", "Groq", "Grok"}) {
        SCOPED_TRACE(name);
        Select(rig, name);
        EXPECT_EQ(Embed("hello"), "");
        EXPECT_EQ(rig.LastError(), kNoEmbeddings);
    }
    Select(rig, "OpenAI");
    EXPECT_EQ(Embed(""), "");
    EXPECT_EQ(rig.LastError(), "Text to embed cannot be empty");
    EXPECT_EQ(Sim::Count(), 0);
}

TEST_F(Embeddings, RepliesAndTheirFailures) {
    struct Case {
        int status;
        std::string body;
        std::string vector;
        std::string error;  // expected lastError afterwards
    } cases[] = {
        {200, "{\"embedding\":[0.1, 0.2,\n0.3]}", "0.1,0.2,0.3", "previous"},
        // An empty vector is no success.
        {200, R"({"embedding":[]})", "", "Failed to extract embedding from response"},
        {200, "{\n  \"data\": [\n    {\n      \"embedding\": [],\n      \"index\": 0\n    }\n  ]\n}", "",
         "Failed to extract embedding from response"},
        {200, R"({"data":[]})", "", "Failed to extract embedding from response"},
        {200, R"({"embedding":[0.1,0.2)", "", "Malformed embedding response"},
        {200, R"({"embedding":[)", "", "Malformed embedding response"},
        {500, R"({"error":{"message":"quota"}})", "", "Embedding error (500): quota"},
        {404, "nope", "", "Embedding error (404): nope"},
        {201, R"({"embedding":[1]})", "", R"(Embedding error (201): {"embedding":[1]})"},
    };
    Select(rig, "OpenAI");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        rig.Exec("ParlySetTemp", {"not a number"});
        ASSERT_EQ(rig.LastError(), "Invalid temperature value");
        NextReply(c.status, c.body);
        EXPECT_EQ(Embed("hello"), c.vector);
        EXPECT_EQ(rig.LastError(), c.error == "previous" ? "Invalid temperature value" : c.error);
    }
    ScopedEnv closed("PARLY_OPENAI_URL", ClosedUrl());
    EXPECT_EQ(Embed("hello"), "");
    EXPECT_TRUE(StartsWith(rig.LastError(), "Embedding error (0): Failed to send request. Error code: "))
        << rig.LastError();
}

TEST_F(Embeddings, TextIsEscapedAndTheHistoryIsLeftAlone) {
    Select(rig, "OpenAI");
    Embed("say \"x\"\nnow");
    EXPECT_EQ(Sim::Body(-1), R"({"model":"text-embedding-3-small","input":"say \"x\"\nnow"})");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 1u);
}

// ---------------------------------------------------------------------------------------------

const char kPrefix[] = "The following is the content of a document:\n\n---\n";
const char kSeparator[] = "\n---\n\n";
const char kMarker[] = "\n\n[Document truncated - file exceeds 100KB limit]";

std::string Composed(const std::string& document, const std::string& prompt) {
    return kPrefix + document + kSeparator + prompt;
}

class Documents : public SimFixture {
  protected:
    std::string Ask(const std::string& path, Param prompt = "Summarise") {
        rig.Exec("ParlySendWithDoc", {path, prompt, "[D]"});
        return rig.Var("[D]");
    }
};

TEST_F(Documents, TheComposedPromptIsSentAndBecomesTheUserEntry) {
    Select(rig, "OpenAI");
    std::string path = FreshDir() + "\\Report.TXT";
    WriteFileBytes(path, "abc\r\n\"quoted\"\ttab");
    const std::string composed = Composed("abc\r\n\"quoted\"\ttab", "Summarise");
    EXPECT_EQ(Ask(path), "OpenAI says: " + composed);
    const std::string escaped = R"({"role":"user","content":"The following is the content of a document:\n\n---\nabc\r\n\"quoted\"\ttab\n---\n\nSummarise"})";
    EXPECT_NE(Sim::Body(-1).find(escaped), std::string::npos) << Sim::Body(-1);
    rig.Exec("ParlySend", {"more", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(escaped + ",{\"role\":\"assistant\""), std::string::npos) << Sim::Body(-1);
}

TEST_F(Documents, AnAbsentPromptSendsTheDocumentWithAnEmptyQuestion) {
    Select(rig, "OpenAI");
    std::string path = FreshDir() + "\\a.md";
    WriteFileBytes(path, "abc");
    EXPECT_EQ(Ask(path, kAbsent), "OpenAI says: " + Composed("abc", ""));
}

TEST_F(Documents, UnsupportedExtensionsAreRefusedBeforeTheFileIsOpened) {
    Select(rig, "OpenAI");
    std::string dir = FreshDir();
    CreateDirectoryA((dir + "\\v1.2").c_str(), nullptr);
    struct Case {
        std::string name;
        std::string ext;
    } cases[] = {
        {"notes.markdown", ".markdown"}, {"data.tsv", ".tsv"},  {"README", ""},
        {"v1.2\\README", ".2\\readme"},  {"missing.PDF.bak", ".bak"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A bare README stays a relative name: a dot anywhere in the scratch folder's path would be its extension.
        std::string path = c.name == "README" ? c.name : dir + "\\" + c.name;
        if (c.name != "missing.PDF.bak" && c.name != "README") WriteFileBytes(path, "text");
        EXPECT_EQ(Ask(path), "");
        EXPECT_EQ(rig.LastError(),
                  "Unsupported file format: " + c.ext + ". Use txt, csv, html, xml, json, md, log, ini, cfg, yaml, or pdf.");
    }
    EXPECT_EQ(Sim::Count(), 0);
}

TEST_F(Documents, AcceptedExtensionsInAnyCase) {
    Select(rig, "OpenAI");
    std::string dir = FreshDir();
    for (const char* name : {"a.txt", "b.CSV", "c.Html", "d.htm", "e.xml", "f.json", "g.md", "h.log", "i.ini", "j.cfg",
                             "k.yaml", "l.yml", "m.rtf", "n.css", "o.js", "p.py", "q.cpp", "r.h", "s.JAVA"}) {
        SCOPED_TRACE(name);
        WriteFileBytes(dir + "\\" + name, name);
        EXPECT_EQ(Ask(dir + "\\" + name, "Q"), "OpenAI says: " + Composed(name, "Q"));
    }
}

TEST_F(Documents, FilesAtAndOverTheSizeLimit) {
    Select(rig, "OpenAI");
    std::string dir = FreshDir();
    const std::string exact(102400, 'a');
    WriteFileBytes(dir + "\\exact.txt", exact);
    EXPECT_EQ(Ask(dir + "\\exact.txt", "Q"), "OpenAI says: " + Composed(exact, "Q"));
    WriteFileBytes(dir + "\\over.txt", exact + "b");
    EXPECT_EQ(Ask(dir + "\\over.txt", "Q"), "OpenAI says: " + Composed(exact + kMarker, "Q"));
    EXPECT_EQ(std::string(kMarker).size(), 49u);
}

// A sparse file: the head written, the rest a hole, so 4 GiB costs no disk.
void WriteSparseFile(const std::string& path, const std::string& head, unsigned long long size) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0, returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    WriteFile(file, head.data(), static_cast<DWORD>(head.size()), &written, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
}

TEST_F(Documents, FilesOfFourGibibytesAndMoreAreCutLikeAnyLongFile) {
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    const std::string head(102400, 'a');
    for (unsigned long long size : {4ull << 30, (4ull << 30) + 40}) {
        SCOPED_TRACE(size);
        const std::string path = dir + "\\huge.txt";
        WriteSparseFile(path, head, size);
        EXPECT_EQ(Ask(path, "Q"), "OpenAI says: " + Composed(head + kMarker, "Q")) << rig.LastError();
        DeleteFileA(path.c_str());
    }
}

TEST_F(Documents, RawBytesTravelUnchangedThroughTheEscaping) {
    Select(rig, "OpenAI");
    std::string path = FreshDir() + "\\utf16.txt";
    WriteFileBytes(path, std::string("\xff\xfeh\0i\0", 6));
    rig.Exec("ParlySendWithDoc", {path, "Q", "[D]"});
    EXPECT_NE(Sim::Body(-1).find("h\\u0000i\\u0000\\n---"), std::string::npos) << Sim::Body(-1);
}

TEST_F(Documents, ReadingFailuresAndRefusals) {
    std::string dir = FreshDir();
    std::string empty = dir + "\\empty.txt", missing = dir + "\\missing.txt", locked = dir + "\\locked.txt";
    WriteFileBytes(empty, "");
    WriteFileBytes(locked, "busy");

    EXPECT_EQ(Ask(empty), "");
    EXPECT_EQ(rig.LastError(), kNoProvider) << "the provider is checked before the file";
    Select(rig, "OpenAI");
    EXPECT_EQ(Ask(empty), "");
    EXPECT_EQ(rig.LastError(), "File is empty or cannot determine size: " + empty);
    EXPECT_EQ(Ask(missing), "");
    EXPECT_EQ(rig.LastError(), "Cannot open file: " + missing);
    HANDLE writer = CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ask(locked), "");
    EXPECT_EQ(rig.LastError(), "Cannot open file: " + locked);
    CloseHandle(writer);
    EXPECT_EQ(Ask(""), "");
    EXPECT_EQ(rig.LastError(), "Document file path cannot be empty");
    EXPECT_EQ(Sim::Count(), 0);
}

TEST_F(Documents, AFailedChatLeavesTheProvidersError) {
    Select(rig, "Claude");
    std::string path = FreshDir() + "\\doc.txt";
    WriteFileBytes(path, "abc");
    NextReply(529, "overloaded");
    EXPECT_EQ(Ask(path), "");
    EXPECT_EQ(rig.LastError(), "Claude API error (529): overloaded");
    EXPECT_EQ(Ask(path), "Claude says: " + Composed("abc", "Summarise"));
}

// A document in UTF-8 with a question typed in the ANSI code page (and the other way round) reaches the
// provider as the same characters; a cut inside a character drops that character's first bytes.
TEST_F(Documents, DocumentAndQuestionAreConvertedEachOnItsOwnAndACutNeverSendsHalfACharacter) {
    if (GetACP() != 1252) GTEST_SKIP() << "the ANSI spellings below are code page 1252";
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    const std::string greetUtf8 = "Gr\xC3\xBC\xC3\x9F" "e", greetAnsi = "Gr\xFC\xDF" "e";
    const std::string zoeUtf8 = "Zo\xC3\xAB?", zoeAnsi = "Zo\xEB?";
    WriteFileBytes(dir + "\\utf8.txt", greetUtf8);
    WriteFileBytes(dir + "\\ansi.txt", greetAnsi);
    for (const auto& [file, question] : {std::pair<std::string, std::string>{"utf8.txt", zoeAnsi}, {"ansi.txt", zoeUtf8},
                                         {"utf8.txt", zoeUtf8}, {"ansi.txt", zoeAnsi}}) {
        SCOPED_TRACE(file + " / " + question);
        EXPECT_EQ(Ask(dir + "\\" + file, question), "OpenAI says: " + Composed(greetUtf8, zoeUtf8));
        EXPECT_NE(Sim::Body(-1).find("---\\n" + greetUtf8 + "\\n---\\n\\n" + zoeUtf8 + "\"}"), std::string::npos)
            << Sim::Body(-1);
    }
    rig.Exec("ParlySend", {"again", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(greetUtf8 + "\\n---\\n\\n" + zoeUtf8 + "\"},{\"role\":\"assistant\""), std::string::npos)
        << "the history holds the converted prompt";

    const std::string head(102399, 'a');
    for (const std::string& character : {std::string("\xC3\xBC"), std::string("\xE2\x82\xAC"), std::string("\xF0\x9F\x98\x80")}) {
        SCOPED_TRACE(character.size());
        WriteFileBytes(dir + "\\cut.txt", head + character + "tail");
        EXPECT_EQ(Ask(dir + "\\cut.txt", "Q"), "OpenAI says: " + Composed(head + kMarker, "Q"));
        const std::string body = Sim::Body(-1);
        EXPECT_NE(body.find("aaaa\\n\\n[Document truncated - file exceeds 100KB limit]\\n---\\n\\nQ\"}"), std::string::npos)
            << body.substr(body.size() - 200);
        EXPECT_EQ(body.find("\xC3\x83"), std::string::npos) << "nothing was read as ANSI";
    }
    // Whole characters up to the limit stay whole.
    WriteFileBytes(dir + "\\whole.txt", std::string(102398, 'a') + "\xC3\xBC" + "tail");
    EXPECT_EQ(Ask(dir + "\\whole.txt", "Q"), "OpenAI says: " + Composed(std::string(102398, 'a') + "\xC3\xBC" + kMarker, "Q"));
}

// A path with a non-ASCII folder opens whether an edit dialog wrote it (UTF-8) or a script passed it in the ANSI code page.
class Paths : public SimFixture {};

bool ExistsUtf8(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST_F(Paths, ANonAsciiFolderWorksFromTheEditDialogsAndInTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "the ANSI spelling below is code page 1252";
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    const std::string folderUtf8 = dir + "\\Zo\xC3\xAB", folderAnsi = dir + "\\Zo\xEB";
    CreateDirectoryW(Wide(folderUtf8).c_str(), nullptr);
    for (const char* old : {"\\doc.txt", "\\pic.png", "\\pic2.png"}) DeleteFileW(Wide(folderUtf8 + old).c_str());
    HANDLE doc = CreateFileW(Wide(folderUtf8 + "\\doc.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(doc, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(doc, "abc", 3, &written, nullptr);
    CloseHandle(doc);

    // The edit dialogs hand back what the author typed, in UTF-8.
    driver::Slots docSlots({Param(""), Param("Q"), Param("[D]")});
    driver::WithDialog(
        [&](HWND d) {
            driver::SetItemText(d, IDC_DOCUMENT, folderUtf8 + "\\doc.txt");
            driver::Click(d, IDOK);
        },
        [&] { rig.Edit(24, docSlots.data()); });
    ASSERT_EQ(docSlots[0], folderUtf8 + "\\doc.txt");
    rig.ExecId(24, {docSlots[0], docSlots[1], docSlots[2]});
    EXPECT_EQ(rig.Var("[D]"), "OpenAI says: " + Composed("abc", "Q")) << rig.LastError();

    driver::Slots imageSlots({Param("cat"), Param(""), Param("1024x1024"), Param("[S]")});
    driver::WithDialog(
        [&](HWND d) {
            driver::SetItemText(d, IDC_IMAGE_FILE, folderUtf8 + "\\pic.png");
            driver::Click(d, IDOK);
        },
        [&] { rig.Edit(13, imageSlots.data()); });
    ASSERT_EQ(imageSlots[1], folderUtf8 + "\\pic.png");
    rig.ExecId(13, {imageSlots[0], imageSlots[1], imageSlots[2], imageSlots[3]});
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    EXPECT_TRUE(ExistsUtf8(folderUtf8 + "\\pic.png"));
    EXPECT_FALSE(ExistsUtf8(dir + "\\Zo\xC3\x83\xC2\xAB")) << "the UTF-8 bytes were not read as ANSI";

    // The same folder spelled in the ANSI code page, straight from a script.
    rig.Exec("ParlySendWithDoc", {folderAnsi + "\\doc.txt", "Q", "[D2]"});
    EXPECT_EQ(rig.Var("[D2]"), "OpenAI says: " + Composed("abc", "Q")) << rig.LastError();
    rig.Exec("ParlyImageGen", {"cat", folderAnsi + "\\pic2.png", kAbsent, "[S2]"});
    EXPECT_EQ(rig.Var("[S2]"), "OK") << rig.LastError();
    EXPECT_TRUE(ExistsUtf8(folderUtf8 + "\\pic2.png"));
}

// ANSI bytes that also read as UTF-8 name the folder that exists, in whichever reading it exists.
TEST_F(Paths, AnAnsiPathThatIsAlsoValidUtf8OpensTheFolderThatExists) {
    if (GetACP() != 1252) GTEST_SKIP() << "the ANSI spelling below is code page 1252";
    Select(rig, "OpenAI");
    const std::string dir = FreshDir();
    // "Zo" + A-tilde + left guillemet: in code page 1252 the bytes C3 AB, which are also UTF-8 for e-diaeresis.
    const std::string folderAnsi = dir + "\\Zo\xC3\xAB", folderUtf8 = dir + "\\Zo\xC3\x83\xC2\xAB";
    CreateDirectoryW(Wide(folderUtf8).c_str(), nullptr);
    for (const char* old : {"\\doc.txt", "\\pic.png"}) DeleteFileW(Wide(folderUtf8 + old).c_str());
    HANDLE doc = CreateFileW(Wide(folderUtf8 + "\\doc.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(doc, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(doc, "abc", 3, &written, nullptr);
    CloseHandle(doc);

    rig.Exec("ParlySendWithDoc", {folderAnsi + "\\doc.txt", "Q", "[D]"});
    EXPECT_EQ(rig.Var("[D]"), "OpenAI says: " + Composed("abc", "Q")) << rig.LastError();
    rig.Exec("ParlyImageGen", {"cat", folderAnsi + "\\pic.png", kAbsent, "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    EXPECT_TRUE(ExistsUtf8(folderUtf8 + "\\pic.png"));
}

}  // namespace
