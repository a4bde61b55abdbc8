// ParlyGetUsage after whole and streamed replies of every protocol, and ParlySaveHistory/ParlyLoadHistory.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "providers/provider_table.h"
#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

class History : public SimFixture {
  protected:
    // [In], [Out], [Stop] as ParlyGetUsage writes them, joined by "|".
    std::string Usage() {
        rig.Exec("ParlyGetUsage", {"[In]", "[Out]", "[Stop]"});
        return rig.Var("[In]") + "|" + rig.Var("[Out]") + "|" + rig.Var("[Stop]");
    }
};

TEST_F(History, UsageOfWholeAndStreamedRepliesInEveryProtocolAndAFailureKeepsIt) {
    // The simulator counts words: "Hi there friend" is 3, "<name> says: Hi there friend" is 5.
    const struct {
        const char* provider;
        const char* stop;
    } rows[] = {{"OpenAI", "stop"}, {"Claude", "end_turn"}, {"Google", "STOP"}, {"Ollama", "stop"},
                {"OpenRouter", "stop"}, {"Groq", "stop"}, {"Grok", "stop"}};
    EXPECT_EQ(Usage(), "||") << "nothing before the first exchange";
    for (const auto& r : rows) {
        SCOPED_TRACE(r.provider);
        Select(rig, r.provider);
        rig.Exec("ParlySend", {"Hi there friend", "[A]"});
        EXPECT_EQ(Usage(), std::string("3|5|") + r.stop) << rig.LastError();
        rig.Exec("ParlySendStream", {"Hi there", "[S]"});
        EXPECT_EQ(Usage(), std::string("2|4|") + r.stop) << rig.LastError();
        NextReply(500, "{\"error\":{\"message\":\"down\"}}");
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(Usage(), std::string("2|4|") + r.stop) << "a failed exchange keeps the last values";
    }
    // A published, pretty-printed reply without counts gives empty texts, and the stop reason as written.
    Select(rig, "OpenAI");
    NextReply(200, "{\n  \"id\": \"x\",\n  \"choices\": [\n    {\n      \"index\": 0,\n      \"message\": {\"role\": "
                   "\"assistant\", \"content\": \"Hi\"},\n      \"finish_reason\": \"length\"\n    }\n  ]\n}\n");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Usage(), "||length");
    // A server that refuses the usage option gets the stream once more without it, and reports no counts.
    Select(rig, "Groq");
    NextReply(400, "{\"error\":{\"message\":\"property 'stream_options' is unsupported, did you mean 'stream'?\","
                   "\"type\":\"invalid_request_error\"}}");
    const int before = Sim::Count();
    rig.Exec("ParlySendStream", {"Hi there", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "Groq says: Hi there") << rig.LastError();
    EXPECT_EQ(Sim::Count(), before + 2);
    EXPECT_EQ(Sim::Body().find("stream_options"), std::string::npos) << Sim::Body();
    EXPECT_EQ(Usage(), "||stop");
    // Absent variables are skipped.
    rig.writes.clear();
    rig.Exec("ParlyGetUsage", {kAbsent, "[Out2]", kAbsent});
    ASSERT_EQ(rig.writes.size(), 1u);
    EXPECT_EQ(rig.writes[0].name, "[Out2]");
}

TEST_F(History, ABackgroundAnswerSetsTheUsageOnlyWhileItsJobIsCurrent) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySendAsync", {"Hi there friend", "[R]", ""});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R]"); }, 5000));
    EXPECT_EQ(Usage(), "3|5|stop");
    // A slow job replaced by a newer one: its later answer changes nothing.
    const int before = Sim::Count();
    Sim::Next(R"({"delay_ms":600})");
    rig.Exec("ParlySendAsync", {"one two three four five six", "[R1]", ""});
    ASSERT_TRUE(rig.PumpUntil([&] { return Sim::Count() == before + 1; }, 5000));
    rig.Exec("ParlySendAsync", {"a b", "[R2]", ""});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R2]"); }, 5000));
    rig.PumpUntil([] { return false; }, 900);
    EXPECT_EQ(Usage(), "2|4|stop");
    EXPECT_FALSE(rig.HasVar("[R1]")) << "the replaced job delivers nothing";
}

TEST_F(History, ASavedConversationContinuesWithAnotherProvider) {
    const std::string dir = ScratchDir("history");
    const std::string path = dir + "\\caf\xC3\xA9 chat.json", plain = dir + "\\plain.json";  // a UTF-8 name, as dialogs write
    Select(rig, "OpenAI");
    rig.Exec("ParlySetSystem", {"Be brief, gr\xC3\xBC\xC3\x9F" "e"});
    rig.Exec("ParlySend", {"first \"question\"", "[A]"});
    rig.Exec("ParlySaveHistory", {path, "[St]"});
    ASSERT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
    // Saving over an older file replaces it whole.
    WriteFileBytes(plain, std::string(5000, 'x'));
    rig.Exec("ParlySaveHistory", {plain, "[St]"});
    const std::string file = ReadFileBytes(plain);
    EXPECT_EQ(file.rfind("{\"format\": \"parly-conversation\", \"version\": 1,", 0), 0u) << file;
    EXPECT_EQ(file.back(), '\n');

    rig.Exec("ParlySetSystem", {"other"});
    Select(rig, "Claude");  // a new conversation, and another provider
    rig.Exec("ParlyLoadHistory", {path, "[St]"});
    ASSERT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
    rig.Exec("ParlySend", {"and then?", "[A]"});
    const std::string body = Sim::Body();
    EXPECT_NE(body.find("\"system\":\"Be brief, gr\xC3\xBC\xC3\x9F" "e\""), std::string::npos) << body;
    EXPECT_NE(body.find("{\"role\":\"user\",\"content\":\"first \\\"question\\\"\"},{\"role\":\"assistant\",\"content\":"
                        "\"OpenAI says: first \\\"question\\\"\"},{\"role\":\"user\",\"content\":\"and then?\"}"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("\"model\":\"" PARLY_CLAUDE_DEFAULT_MODEL "\""), std::string::npos) << "the model stays";
}

TEST_F(History, ABrokenForeignNewerOrMissingFileChangesNothing) {
    const std::string dir = ScratchDir("history_broken");
    const std::string good = dir + "\\good.json";
    Select(rig, "OpenAI");
    rig.Exec("ParlySetSystem", {"Keep me"});
    rig.Exec("ParlySend", {"kept question", "[A]"});
    rig.Exec("ParlySaveHistory", {good, "[St]"});
    ASSERT_EQ(rig.Var("[St]"), "OK");
    const std::string text = ReadFileBytes(good);
    const struct {
        std::string name, bytes, error;
    } rows[] = {
        {"cut.json", text.substr(0, text.size() / 2), "Cannot load history file (it is not well-formed JSON): "},
        {"foreign.json", "{\"messages\":[]}", "Cannot load history file (it is not a Parly conversation): "},
        {"newer.json", "{\"format\":\"parly-conversation\",\"version\":2,\"messages\":[]}",
         "Cannot load history file (it was saved by a newer Parly Plugin (format version 2)): "},
        {"missing.json", "", "History file not found: "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = dir + "\\" + r.name;
        if (r.name != "missing.json") WriteFileBytes(path, r.bytes);
        rig.Exec("ParlyLoadHistory", {path, "[St]"});
        EXPECT_EQ(rig.Var("[St]"), "ERROR");
        EXPECT_EQ(rig.LastError(), r.error + path);
    }
    rig.Exec("ParlyLoadHistory", {"", "[St]"});
    EXPECT_EQ(rig.LastError(), "History file path cannot be empty");
    // A save into a folder that does not exist fails, and the good file is untouched by any of it.
    rig.Exec("ParlySaveHistory", {dir + "\\no such folder\\x.json", "[St]"});
    EXPECT_EQ(rig.Var("[St]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Failed to create output file: " + dir + "\\no such folder\\x.json");
    EXPECT_EQ(ReadFileBytes(good), text);
    rig.Exec("ParlySend", {"next", "[A]"});
    const std::string body = Sim::Body();
    EXPECT_NE(body.find("\"content\":\"Keep me\"},{\"role\":\"user\",\"content\":\"kept question\"}"), std::string::npos)
        << body;
}

// The names in a folder, to see that a failed save leaves no temporary file behind.
std::vector<std::string> FolderNames(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::string(found.cFileName) != "." && std::string(found.cFileName) != "..") names.push_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(History, UnwritableTargetsAndDevicesFailKeepingWhatWasThereAndAnAnsiNameWorks) {
    const std::string dir = ScratchDir("history_targets");
    const std::string locked = dir + "\\read only.json", folder = dir + "\\a folder", ansi = dir + "\\caf\xE9 ansi.json";
    DeleteFileA(ansi.c_str());
    SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);  // an earlier run that failed may have left it read-only
    WriteFileBytes(locked, "old");
    ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    CreateDirectoryA(folder.c_str(), nullptr);  // left from an earlier run, or made now
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"q", "[A]"});
    for (const std::string& target : {locked, folder, dir + "\\NUL", dir + "\\CON"}) {
        SCOPED_TRACE(target);
        rig.Exec("ParlySaveHistory", {target, "[St]"});
        EXPECT_EQ(rig.Var("[St]"), "ERROR");
        EXPECT_EQ(rig.LastError(), "Failed to write output file: " + target);
    }
    // A file another program holds open without sharing is kept too.
    const std::string held = dir + "\\held.json";
    WriteFileBytes(held, "held");
    HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    rig.Exec("ParlySaveHistory", {held, "[St]"});
    EXPECT_EQ(rig.Var("[St]"), "ERROR");
    CloseHandle(holder);
    EXPECT_EQ(ReadFileBytes(held), "held");
    EXPECT_EQ(ReadFileBytes(locked), "old");
    EXPECT_EQ(FolderNames(dir), (std::vector<std::string>{"a folder", "held.json", "read only.json"}));
    // Loading a folder or a device fails at once and keeps the conversation.
    for (const std::string& source : {folder, std::string("NUL"), std::string("CON")}) {
        SCOPED_TRACE(source);
        rig.Exec("ParlyLoadHistory", {source, "[St]"});
        EXPECT_EQ(rig.Var("[St]"), "ERROR");
    }
    // A name in the ANSI code page, as a script passes it, is saved and loaded under that name.
    rig.Exec("ParlySaveHistory", {ansi, "[St]"});
    EXPECT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, MAX_PATH);
    EXPECT_NE(GetFileAttributesW(wide), INVALID_FILE_ATTRIBUTES);
    rig.Exec("ParlyLoadHistory", {ansi, "[St]"});
    EXPECT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
    rig.Exec("ParlySend", {"next", "[A]"});
    EXPECT_NE(Sim::Body().find("\"content\":\"q\""), std::string::npos) << Sim::Body();
    SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

namespace {

// Writes a compact conversation file of three PDF exchanges (each PDF `encoded` Base64 letters) whose system
// prompt pads it to exactly `total` bytes.
void WriteBigConversation(const std::string& path, size_t encoded, size_t total) {
    const std::string head = R"({"format":"parly-conversation","version":1,"system":")", mid = R"(","messages":[)";
    const std::string open = R"({"role":"user","content":"q","attachments":[{"type":"document","media_type":"application/pdf","data":")";
    const std::string close = R"("}]},{"role":"assistant","content":"a"})", tail = "]}";
    const size_t fixed = head.size() + mid.size() + 3 * (open.size() + encoded + close.size()) + 2 + tail.size();
    ASSERT_LT(fixed, total);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << head << std::string(total - fixed, 's') << mid;
    std::string quanta;
    for (int i = 0; i < (1 << 18); ++i) quanta += "eHh4";  // "xxx"
    for (int n = 0; n < 3; ++n) {
        f << (n ? "," : "") << open << "JVBERi0x";  // "%PDF-1"
        for (size_t left = encoded - 8; left; left -= std::min(left, quanta.size()))
            f.write(quanta.data(), static_cast<std::streamsize>(std::min(left, quanta.size())));
        f << close;
    }
    f << tail;
}

}  // namespace

TEST_F(History, AConversationTooLargeToLoadAgainIsNotSaved) {
    const std::string dir = ScratchDir("history_big");
    const std::string big = dir + "\\big.json", again = dir + "\\again.json";
    WriteBigConversation(big, 44739000, (128u << 20) - 40);  // just under the limit, written without spaces
    WriteFileBytes(again, "earlier");
    Select(rig, "OpenAI");
    rig.Exec("ParlyLoadHistory", {big, "[St]"});
    ASSERT_EQ(rig.Var("[St]"), "OK") << rig.LastError();
    // The saved shape has spaces and names the files, so it would no longer fit.
    rig.Exec("ParlySaveHistory", {again, "[St]"});
    EXPECT_EQ(rig.Var("[St]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "History file would be larger than 128 MB: " + again);
    EXPECT_EQ(ReadFileBytes(again), "earlier");
    DeleteFileA(big.c_str());
}
