// The plug-in as the host sees it: exports, registration, init texts, message codes, the test host.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/catalogue.h"
#include "plugin/lifecycle.h"
#include "session/dispatcher.h"
#include "session/settings.h"
#include "tests/win/rig.h"

namespace {

struct Golden {
    int id;
    const char* name;
    std::vector<unsigned char> kinds;
    int count;
    const char* hintStart;
};

const Golden kGolden[] = {
    {0, "Parly Plugin", {0}, 0, ""},
    {1, "ParlyInit", {1, 1, 6}, 3, "Initialize Parly provider. Provider: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok. ApiKey not needed for Ollama."},
    {2, "ParlySetEndpoint", {1}, 1, "Set custom API endpoint (for Ollama). Example: http://localhost:11434"},
    {3, "ParlySetModel", {1}, 1, "Set the model to use. Examples: gpt-5.6-sol, claude-sonnet-5-5, gemini-flash-latest, llama3, openrouter/free (OpenRouter)"},
    {4, "ParlySetSystem", {2}, 1, "Set the system prompt that defines AI behavior"},
    {5, "ParlySetTemp", {3}, 1, "Set temperature (0.0-2.0). Lower = more focused, Higher = more creative. Default: 0.7"},
    {6, "ParlySetMaxTokens", {3}, 1, "Set maximum tokens in response. Default: 2048"},
    {7, "ParlySetMultiline", {1}, 1, "Set multiline mode. True = keep line breaks, False = single line. Default: True"},
    {8, "ParlySend", {2, 6}, 2, "Send a prompt to the AI and receive response in variable"},
    {9, "ParlyReset", {0}, 0, "Clear conversation history"},
    {10, "ParlyGetError", {6}, 1, "Get the last error message"},
    {11, "ParlyGetModels", {6}, 1, "Get available models (comma-separated list)"},
    {12, "ParlySetTimeout", {3}, 1, "Set request timeout in seconds. Default: 60"},
    {13, "ParlyImageGen", {2, 5, 1, 6}, 4, "Generate an AI image with OpenAI (gpt-image-2). Saves PNG to specified file."},
    {0, "Parly Plugin - Async (Non-Blocking)", {0}, 0, ""},
    {14, "ParlySendAsync", {2, 6, 1}, 3, "Send prompt without freezing app. Calls subroutine when complete."},
    {15, "ParlyImageGenAsync", {2, 5, 1, 6, 1}, 5, "Generate AI image without freezing app. Calls subroutine when complete."},
    {16, "ParlyCancel", {0}, 0, "Cancel any pending async request."},
    {17, "ParlyIsBusy", {6}, 1, "Check if async request is in progress. Returns True or False."},
    {0, "Parly Plugin - Settings", {0}, 0, ""},
    {18, "ParlySetProgress", {1}, 1, "Show/hide 'Thinking...' dialog during async requests. Default: True"},
    {19, "ParlySetStreaming", {1, 6}, 2, "Enable streaming mode - updates variable word-by-word as AI responds."},
    {20, "ParlySendStream", {2, 6}, 2, "Send prompt with streaming - response appears word-by-word."},
    {21, "ParlyStopStream", {0}, 0, "Stop the current streaming response."},
    {0, "Parly Plugin - Advanced", {0}, 0, ""},
    {22, "ParlyClearHistory", {0}, 0, "Clear conversation history without reinitializing provider."},
    {23, "ParlyGetEmbedding", {2, 6}, 2, "Get vector embedding for text. Returns comma-separated floats. Useful for semantic search."},
    {24, "ParlySendWithDoc", {5, 2, 6}, 3, "Send a prompt with document content. Supports: txt, csv, html, xml, json, md, log, ini, cfg, yaml."},
    {25, "ParlySendWithImage", {5, 2, 6}, 3, "Ask about a picture (PNG, JPEG, GIF or WebP, up to 20 MB) and receive response in variable."},
    {26, "ParlyGetUsage", {6, 6, 6}, 3, "Get the token counts and stop reason of the last answer."},
    {27, "ParlySaveHistory", {5, 6}, 2, "Save the system prompt and the conversation to a file. Returns OK or ERROR."},
    {28, "ParlyLoadHistory", {5, 6}, 2, "Continue a saved conversation: loads its system prompt and history. Returns OK or ERROR."},
};

TEST(Registration, HostReceivesExactlyTheThirtyTwoEntriesInOrder) {
    PluginRig rig;
    ASSERT_EQ(rig.registrations.size(), std::size(kGolden));
    for (size_t i = 0; i < std::size(kGolden); ++i) {
        const Registration& r = rig.registrations[i];
        SCOPED_TRACE(kGolden[i].name);
        EXPECT_EQ(r.id, kGolden[i].id);
        EXPECT_EQ(r.name, kGolden[i].name);
        EXPECT_EQ(r.hint, kGolden[i].hintStart);
        EXPECT_FALSE(r.hintWasNull);
        EXPECT_EQ(r.kinds, kGolden[i].kinds);
        EXPECT_EQ(r.count, kGolden[i].count);
        EXPECT_EQ(r.count2, kGolden[i].count);
    }
}

TEST(Registration, CatalogueAndDispatcherCoverTheSameIds) {
    size_t handlers = 0;
    const DispatchEntry* table = DispatchTable(&handlers);
    std::vector<int> catalogueIds, handlerIds;
    for (size_t i = 0; i < kCatalogueSize; ++i)
        if (kCatalogue[i].id != 0) catalogueIds.push_back(kCatalogue[i].id);
    for (size_t i = 0; i < handlers; ++i) handlerIds.push_back(table[i].id);
    std::sort(catalogueIds.begin(), catalogueIds.end());
    std::sort(handlerIds.begin(), handlerIds.end());
    std::vector<int> all;
    for (int id = 1; id <= 28; ++id) all.push_back(id);
    EXPECT_EQ(catalogueIds, all);
    EXPECT_EQ(handlerIds, all);
}

TEST(Exports, EightEntryPointsByNameAndOrdinal) {
    PluginRig rig(false);
    const char* names[] = {"_nbAbout", "_nbEditAction", "_nbExecAction", "_nbInitPlugIn",
                           "_nbMessage", "_nbRegisterInterfaceAccess", "_nbRegisterPlugIn",
                           "_nbRegisterScriptProcessor"};
    for (int i = 0; i < 8; ++i) {
        FARPROC byName = rig.Proc(names[i]);
        FARPROC byOrdinal = GetProcAddress(rig.module(), MAKEINTRESOURCEA(i + 1));
        EXPECT_NE(byName, nullptr) << names[i];
        EXPECT_EQ(byName, byOrdinal) << names[i];
    }
    EXPECT_EQ(rig.Proc("nbAbout"), nullptr);
}

TEST(InitTexts, SlotsReceiveTheTextsInExactlySizedHeapBlocks) {
    PluginRig rig(false);
    HANDLE heap = GetProcessHeap();
    char* reused = static_cast<char*>(HeapAlloc(heap, 0, 4000));
    std::memset(reused, 'x', 4000);
    static char notHeap[] = "static text";
    char* name = reused;
    char* maker = notHeap;
    char* description = nullptr;
    rig.Init(&name, &maker, &description);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Parly Plugin");
    EXPECT_EQ(HeapSize(heap, 0, name), std::strlen("Parly Plugin") + 1);
    ASSERT_NE(maker, nullptr);
    EXPECT_NE(maker, notHeap);  // a block the heap does not own is never resized
    EXPECT_STREQ(notHeap, "static text");
    EXPECT_GT(std::strlen(maker), 0u);
    EXPECT_EQ(HeapSize(heap, 0, maker), std::strlen(maker) + 1);
    ASSERT_NE(description, nullptr);
    EXPECT_STREQ(description,
                 "Multi-provider Parly integration: OpenAI, Claude, Google Gemini, Ollama, OpenRouter, Groq, and Grok "
                 "(xAI). Send prompts, receive AI responses, and generate AI images.");
    for (char* p : {name, maker, description}) HeapFree(heap, 0, p);
}

TEST(Entry, IdsOutsideTheCatalogueReturnTrueAndChangeNothing) {
    PluginRig rig;
    rig.Exec("ParlySetTemp", {"abc"});
    size_t writes = rig.writes.size();
    for (int id : {0, 29, -1, 1000}) {
        std::vector<Param> params = {"[A]", "[B]", "[C]", "[D]", "[E]"};
        EXPECT_EQ(rig.ExecId(id, params), 1) << id;
        char* slots[6] = {};
        EXPECT_EQ(rig.Edit(id, slots), 1) << id;
    }
    EXPECT_EQ(rig.writes.size(), writes);
    EXPECT_EQ(rig.LastError(), "Invalid temperature value");
}

TEST(Entry, ExecActionReturnsOneForEveryActionEvenWhenParametersAreAbsent) {
    PluginRig rig;
    for (int id = 1; id <= 28; ++id) {
        if (id == 14 || id == 15 || id == 20) continue;  // requests that would go out; covered elsewhere
        EXPECT_EQ(rig.ExecId(id, {}), 1) << id;
    }
}

TEST(Lifecycle, LoadDefaultsLeaveNoErrorAndNoProvider) {
    PluginRig rig;
    EXPECT_EQ(rig.LastError(), "");
    rig.Exec("ParlySend", {"Hello", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(rig.LastError(), "No provider initialized. Call ParlyInit first.");
}

TEST(Lifecycle, MessageTwoClearsHistoryAndProviderOnly) {
    {
        std::lock_guard<std::mutex> hold(SessionLock());
        g_session.settings.provider = kProviderOpenAI;
        g_session.settings.apiKey = "k";
        g_session.settings.model = "m";
        g_session.lastError = "old";
        g_session.conversation.history = {{"user", "a"}, {"assistant", "b"}};
    }
    HandleHostMessage(1);
    HandleHostMessage(3);
    EXPECT_EQ(g_session.settings.provider, kProviderOpenAI);
    EXPECT_EQ(g_session.conversation.history.size(), 2u);
    HandleHostMessage(2);
    EXPECT_EQ(g_session.settings.provider, kProviderNone);
    EXPECT_TRUE(g_session.conversation.history.empty());
    EXPECT_EQ(g_session.settings.apiKey, "k");
    EXPECT_EQ(g_session.settings.model, "m");
    EXPECT_EQ(g_session.lastError, "old");
}

TEST(Lifecycle, MessageTwoThroughTheExportLeavesNoProvider) {
    PluginRig rig;
    rig.Exec("ParlyInit", {"Ollama", "", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OK");
    rig.Message(1);
    rig.Message(3);
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_NE(rig.LastError(), "No provider initialized");
    rig.Message(2);
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "No provider initialized");
}

class HostTool : public ::testing::Test {
  protected:
    std::string Script(const std::string& name, const std::string& text) {
        std::string path = ScratchDir("host") + "\\" + name;
        WriteFileBytes(path, text);
        return path;
    }
};

TEST_F(HostTool, RunsAScriptWithVariablesSubroutinesAndSubstitution) {
    int code = 0;
    std::string out = RunHost(Script("basic.parly",
                                     "SetVar \"[Who]\" \"world\"\n"
                                     "ParlySetTemp \"x[Who]\"\n"
                                     "ParlyGetError \"[Err]\"\n"
                                     "GoSub \"Show\"\n"
                                     "Exit\n"
                                     ":Show\n"
                                     "Print \"hello [Who]: [Err][#9]end\"\n"
                                     "Return\n"),
                              {}, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("hello world: Invalid temperature value\tend"), std::string::npos) << out;
}

TEST_F(HostTool, TraceShowsEveryCallback) {
    int code = 0;
    std::string out = RunHost(Script("trace.parly", "ParlyGetError \"[E]\"\n"), {"--trace"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("[trace] registerAction 24 \"ParlySendWithDoc\" kinds=5,2,6 count=3/3"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[trace] registerAction 28 \"ParlyLoadHistory\" kinds=5,6 count=2/2"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[trace] setVariable \"[E]\" = \"\""), std::string::npos) << out;
}

TEST_F(HostTool, BadInputGivesAClearMessageAndNonZeroExit) {
    int code = 0;
    std::string out = RunHost(Script("unknown.parly", "ParlyFly \"x\"\n"), {}, &code);
    EXPECT_EQ(code, 3);
    EXPECT_NE(out.find("unknown.parly:1: unknown action or command 'ParlyFly'"), std::string::npos) << out;

    out = RunHost(Script("quote.parly", "ParlySend \"unterminated\n"), {}, &code);
    EXPECT_EQ(code, 3);
    EXPECT_NE(out.find("unterminated quoted text"), std::string::npos) << out;

    out = RunHost(Script("ok.parly", "Print \"x\"\n"), {"--plugin", "C:\\nowhere\\missing.nbp"}, &code);
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("cannot load plug-in"), std::string::npos) << out;
}

TEST_F(HostTool, WindowsPathsReachThePluginUnchangedAndCharacterCodesWriteLineBreaks) {
    int code = 0;
    std::string out = RunHost(Script("paths.parly",
                                     "ParlySetModel \"C:\\temp\\new.png\"\n"
                                     "ParlySetSystem \"C:\\Images\\lighthouse.png\"   ; a trailing comment\n"
                                     "ParlySetEndpoint \"one[#13][#10]two[#9][#34]three[#34]\"\n"
                                     "Print \"[#91]x] C:\\nowhere\\t\"\n"),
                              {"--trace"}, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("nbExecAction 3 ParlySetModel \"C:\\temp\\new.png\""), std::string::npos) << out;
    EXPECT_NE(out.find("nbExecAction 4 ParlySetSystem \"C:\\Images\\lighthouse.png\"\r\n"), std::string::npos) << out;
    // The trace writes control characters and quotes back the way a script writes them.
    EXPECT_NE(out.find("ParlySetEndpoint \"one[#13][#10]two[#9][#34]three[#34]\""), std::string::npos) << out;
    EXPECT_NE(out.find("\n[x] C:\\nowhere\\t\r\n"), std::string::npos) << out;
}

TEST_F(HostTool, TheWholeScriptIsCheckedBeforeAnythingRuns) {
    Sim::Reset();
    Sim::RedirectAll();
    int code = 0;
    std::string path = Script("faults.parly",
                              "ParlyInit \"OpenAI\" \"k\" \"[S]\"\n"
                              "ParlySend \"this must not be sent\" \"[A]\"\n"
                              "ParlyFly \"x\"\n"
                              "GoSub \"Nowhere\"\n"
                              "ParlySendAsync \"x\" \"[A]\" \"OnDonne\"\n"
                              "ParlySend \"a\" \"[A]\" \"extra\"\n"
                              "Print \"He said \\\"hi\\\"\"\n"
                              "IfEmpty \"[A]\" Gosub \"OnDone\"\n"
                              "IfEqual \"[A]\" \"\" GoSub \"Nowhere\"\n"
                              "Exit\n"
                              ":OnDone\n"
                              "Return\n");
    std::string out = RunHost(path, {}, &code);
    Sim::ClearRedirects();
    EXPECT_EQ(code, 3) << out;
    EXPECT_EQ(Sim::Count(), 0) << "a faulty script sends nothing";
    for (const char* fault : {":3: unknown action or command 'ParlyFly'", ":4: no subroutine 'Nowhere'",
                                     ":5: no subroutine 'OnDonne' (the callback of ParlySendAsync)",
                                     ":6: ParlySend takes 2 parameters, not 3", ":7: text right after a closing quote",
                                     ":8: IfEmpty ends with GoSub \"Name\", not 'Gosub'", ":9: no subroutine 'Nowhere'",
                                     "nothing was run"})
        EXPECT_NE(out.find(fault), std::string::npos) << fault << "\n" << out;
}

TEST_F(HostTool, IfEmptyAndIfEqualTakeTheirGoSubOnlyWhenTheTextMatches) {
    struct Row {
        const char* condition;
        bool taken;
    };
    const Row rows[] = {
        {"IfEmpty \"[Empty]\"", true},          {"IfEmpty \"[Status]\"", false},
        {"IfEmpty \"\"", true},                 {"IfEmpty \" \"", false},
        {"IfEqual \"[Status]\" \"OK\"", true},  {"IfEqual \"[Status]\" \"ok\"", false},
        {"IfEqual \"[Status][Empty]\" \"OK\"", true}, {"IfEqual \"[Empty]\" \"\"", true},
        {"IfEqual \"a[#9]b\" \"a[#9]b\"", true},
    };
    std::string text = "SetVar \"[Empty]\" \"\"\nSetVar \"[Status]\" \"OK\"\n";
    for (size_t i = 0; i < std::size(rows); ++i)
        text += "SetVar \"[Row]\" \"" + std::to_string(i) + "\"\n" + rows[i].condition + " GoSub \"Taken\"\n";
    text += "Exit\n:Taken\nPrint \"taken [Row]\"\nReturn\n";
    int code = 0;
    std::string out = RunHost(Script("if.parly", text), {}, &code);
    EXPECT_EQ(code, 0) << out;
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(out.find("taken " + std::to_string(i) + "\r\n") != std::string::npos, rows[i].taken)
            << rows[i].condition << "\n" << out;
}

// --event runs its subroutine from whatever loop pumps: a Wait, or a typing effect, which a Stop button ends half-way.
TEST_F(HostTool, EventsRunTheirSubroutineWhileTheScriptIsBusy) {
    int code = 0;
    std::string out = RunHost(Script("tick.parly", "Wait 20000\nPrint \"not reached\"\nExit\n:Tick\nPrint \"tick\"\nExit 5\n"),
                              {"--event", "200:Tick"}, &code);
    EXPECT_EQ(code, 5) << out;
    EXPECT_NE(out.find("tick"), std::string::npos) << out;
    EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
    for (auto [event, expected] : {std::pair{"200:Nowhere", 3}, {"x:Tick", 2}, {"200", 2}, {"-5:Tick", 2}}) {
        out = RunHost(Script("tick.parly", "Exit\n:Tick\nReturn\n"), {"--event", event}, &code);
        EXPECT_EQ(code, expected) << event << "\n" << out;
    }

    Sim::Reset();
    Sim::RedirectAll();
    const char* root = std::getenv("PARLY_SOURCE_DIR");
    std::string example = std::string("Z:") + (root ? root : "") + "\\examples\\stop.parly";
    for (char& c : example)
        if (c == '/') c = '\\';
    out = RunHost(example, {"--event", "1000:PressStop"}, &code);
    Sim::ClearRedirects();
    EXPECT_EQ(code, 0) << out;
    const size_t stop = out.find("Stop pressed"), typed = out.find("Typed: OpenAI says: Count with me: word1 ");
    ASSERT_NE(typed, std::string::npos) << out;
    EXPECT_LT(stop, typed) << out;
    // Stopped half-way: some words typed, the last ones never.
    EXPECT_EQ(out.find("word80", typed), std::string::npos) << out;
}

TEST_F(HostTool, ACallbackNamingNoSubroutineFailsAtTheLineThatStartedIt) {
    Sim::Reset();
    Sim::RedirectAll();
    int code = 0;
    std::string out = RunHost(Script("callback.parly",
                                     "SetVar \"[Cb]\" \"OnDonne\"\n"
                                     "ParlySetProgress \"False\"\n"
                                     "ParlyInit \"OpenAI\" \"k\" \"[S]\"\n"
                                     "ParlySendAsync \"x\" \"[A]\" \"[Cb]\"\n"
                                     "Wait 10000\n"
                                     "Print \"not reached\"\n"
                                     "Exit\n"
                                     ":OnDone\n"
                                     "Return\n"),
                              {}, &code);
    Sim::ClearRedirects();
    EXPECT_EQ(code, 3) << out;
    EXPECT_NE(out.find("callback.parly:4: no subroutine 'OnDonne'"), std::string::npos) << out;
    EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
}

TEST_F(HostTool, AUtf8MarkLineEndsOfEveryKindAndUtf16AreReadRight) {
    int code = -1;
    // Marked UTF-8 with one stray ANSI byte: the mark still goes, and each line runs.
    std::string out = RunHost(Script("marked.parly", "\xEF\xBB\xBFPrint \"caf\xC3\xA9\"\nPrint \"x\xFF\"\n"), {}, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("caf\xC3\xA9\r\nx"), std::string::npos) << out;
    EXPECT_NE(out.find("starts with a UTF-8 mark but is not valid UTF-8"), std::string::npos) << out;
    // Line ends of every kind keep lines apart and numbered.
    out = RunHost(Script("ends.parly", "Print \"lf\"\nPrint \"crlf\"\r\nPrint \"cr\"\rExit 4\rParlyFly\r\n"), {}, &code);
    EXPECT_EQ(code, 3) << out;
    EXPECT_NE(out.find("ends.parly:5: unknown action or command 'ParlyFly'"), std::string::npos) << out;
    out = RunHost(Script("ends2.parly", "Print \"lf\"\nPrint \"crlf\"\r\nPrint \"cr\"\rExit 4\r"), {}, &code);
    EXPECT_EQ(code, 4) << out;
    EXPECT_NE(out.find("lf\r\ncrlf\r\ncr\r\n"), std::string::npos) << out;
    out = RunHost(Script("wide.parly", std::string("\xFF\xFEP\0r\0i\0n\0t\0", 12)), {}, &code);
    EXPECT_EQ(code, 3) << out;
    EXPECT_NE(out.find("wide.parly:1: the script is saved as UTF-16"), std::string::npos) << out;
}

TEST_F(HostTool, HelpExitsWithZero) {
    int code = -1;
    std::string out = RunHost("--help", {}, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("usage: parly-host"), std::string::npos) << out;
}

TEST_F(HostTool, VarAndPrintKeepWhatTheAnsiCodePageHoldsAndNameTheRest) {
    Sim::Reset();
    Sim::RedirectAll();
    // Characters this machine's ANSI code page holds, and one it cannot hold unless it is UTF-8.
    const bool utf8 = GetACP() == CP_UTF8;
    int code = 0;
    std::string out = RunHost(Script("ansi.parly",
                                     "; Gr\xC3\xBC\xC3\x9F" "e an \xE4\xB8\x96\n"
                                     "ParlySetProgress \"False\"   ; \xE4\xB8\x96\n"
                                     "ParlyInit \"OpenAI\" \"k\" \"[S]\"\n"
                                     "ParlySend \"[Q] Zo\xC3\xAB\" \"[A]\"\n"
                                     "Print \"[Q] Zo\xC3\xAB|[A]\"\n"
                                     "Print \"\xE4\xB8\x96\"\n"),
                              {"--var", "\"[Q]=Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\x96\""}, &code);
    Sim::ClearRedirects();
    EXPECT_EQ(code, 0) << out;
    // A comment never reaches the plug-in, so what it holds is not warned about; a parameter is.
    EXPECT_EQ(out.find("ansi.parly:1:"), std::string::npos) << out;
    EXPECT_EQ(out.find("ansi.parly:2:"), std::string::npos) << out;
    if (!utf8) EXPECT_NE(out.find("ansi.parly:6: the ANSI code page"), std::string::npos) << out;
    // The plug-in received one text in one encoding and sent it on as UTF-8: what Print shows is what was sent.
    const std::string shown = utf8 ? "Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\x96 Zo\xC3\xAB" : "Gr\xC3\xBC\xC3\x9F" "e ? Zo\xC3\xAB";
    EXPECT_NE(Sim::Body(-1).find("\"content\":\"" + shown + "\""), std::string::npos) << Sim::Body(-1);
    EXPECT_NE(out.find(shown + "|OpenAI says: " + shown + "\r\n"), std::string::npos) << out;
    if (!utf8) {
        EXPECT_NE(out.find("warning: --var \"[Q]\": the ANSI code page " + std::to_string(GetACP()) +
                           " cannot hold '\xE4\xB8\x96' (U+4E16); the plug-in receives '?' for each"),
                  std::string::npos)
            << out;
    }
}

}  // namespace
