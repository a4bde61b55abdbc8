// The editor's services: help panel, variable picker, connection test, about box, and the shared look.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "editor/look.h"
#include "editor/resource.h"
#include "editor/services.h"
#include "session/settings.h"
#include "tests/win/sim_helpers.h"
#include "tests/win/test_editor_driver.h"

using namespace driver;

namespace {

using Services = InProcessEditor;

// ---- help panel ----

TEST(HelpTable, EveryEditDialogHasItsActionTitleAndOthersAreGeneric) {
    const std::pair<int, const char*> titles[] = {
        {101, "ParlyInit"},        {102, "ParlySetEndpoint"},   {103, "ParlySetModel"},  {104, "ParlySetSystem"},
        {105, "ParlySetTemperature"}, {106, "ParlySetMaxTokens"}, {107, "ParlySetMultiline"}, {108, "ParlySend"},
        {109, "ParlyGetError"},    {110, "ParlyGetModels"},     {111, "ParlySetTimeout"}, {112, "ParlyImageGen"},
        {114, "ParlySendAsync"},   {115, "ParlyImageGenAsync"}, {116, "ParlyIsBusy"},     {118, "ParlySetProgress"},
        {119, "ParlySetStreaming"}, {120, "ParlyGetEmbedding"}, {121, "ParlySendWithDoc"},
        {122, "ParlySendWithImage"}, {123, "ParlyGetUsage"}, {124, "ParlySaveHistory"}, {125, "ParlyLoadHistory"}};
    for (auto [id, title] : titles) {
        EXPECT_STREQ(HelpFor(id).title, title) << id;
        EXPECT_GT(strlen(HelpFor(id).text), 0u) << id;
    }
    for (int id : {113, 117, 0, 100, 126, -1}) {
        EXPECT_STREQ(HelpFor(id).title, "Parly Action") << id;
        EXPECT_STREQ(HelpFor(id).text, "") << id;
    }
    EXPECT_STREQ(HelpFor(105).text, "0.0 = deterministic, 0.7 = balanced, 2.0 = very creative.");
    std::string endpoint = HelpFor(102).text;
    EXPECT_EQ(endpoint.rfind("Custom API endpoint URL. Mainly used for Ollama\nrunning locally or on a network server.\n"
                             "Default Ollama: http://localhost:11434\nFor remote: http://",
                             0),
              0u);
    EXPECT_EQ(endpoint.substr(endpoint.size() - 6), ":11434");
}

// The two panels name exactly the providers the product serves; every other panel keeps its wording.
TEST(HelpTable, ImageAndEmbeddingPanelsNameOnlyProvidersThatWorkAndTheRestAreUnchanged) {
    const std::string image = HelpFor(112).text;
    EXPECT_EQ(image.find("OpenRouter"), std::string::npos) << image;
    EXPECT_EQ(image,
              "Generate an AI image with OpenAI gpt-image-2.\nRequires the OpenAI provider.\n"
              "Sizes: 1024x1024, 1536x1024, 1024x1536, auto. Older sizes: 256 and 512\n"
              "give 1024x1024, 1792x1024 gives 1536x1024, 1024x1792 gives 1024x1536.\n"
              "Status returns 'OK' on success or 'ERROR' on failure.");
    const std::string embedding = HelpFor(120).text;
    EXPECT_EQ(embedding.find("Google"), std::string::npos) << embedding;
    EXPECT_EQ(embedding,
              "Generates a vector embedding for the given text.\n"
              "Supported: OpenAI (text-embedding-3-small), OpenRouter, Ollama.\n"
              "Returns comma-separated floating point values.\nUse for semantic search, similarity, and classification.");
    const std::pair<int, const char*> unchanged[] = {
        {101, "Select your AI provider and enter your API key.\nFor Ollama (local), leave API Key empty.\n"
              "For OpenRouter, use format: provider/model:free\nTip: Use [VarName] to load key from a variable at runtime."},
        {103, "OpenAI: gpt-5.6-sol, gpt-5.6-terra, gpt-5.4\n"
              "Claude: claude-sonnet-5-5, claude-opus-4-7, claude-haiku-4-5\nGoogle: gemini-flash-latest, gemini-pro-latest\n"
              "Ollama: llama3, mistral, codellama, phi\nOpenRouter: openrouter/free, openrouter/auto\n"
              "Groq: openai/gpt-oss-120b | Grok: grok-4.7\nTip: Use ParlyGetModels to list available models."},
        {104, "Defines how the AI behaves for all messages.\n"
              "Example: 'You are a helpful coding assistant that writes Python.'"},
        {106, "Maximum response length in tokens (~1 token = ~4 chars).\n"
              "Default: 2048. OpenRouter free models have limited budgets.\n"
              "Leave at default unless you need to control response length."},
        {107, "True = keep line breaks in AI response.\nFalse = convert to single line (spaces replace newlines)."},
        {108, "Enter your prompt or use [VarName] to load from a variable.\n"
              "The AI response will be stored in the Result Variable."},
        {109, "Returns the last error message from any Parly action.\nEmpty string means no error occurred."},
        {110, "Returns a comma-separated list of available models\nfor the current provider. Store in a variable for use."},
        {111, "How long to wait for an AI response before timing out.\nRange: 5-300 seconds. Default: 60 seconds."},
        {114, "Sends the prompt without freezing your application.\nWhen complete, the callback subroutine is called and\n"
              "the result variable contains the full AI response.\n"
              "Use ParlyIsBusy to check if a request is still in progress."},
        {115, "Generates an AI image without freezing your application.\nWhen complete, the callback subroutine runs.\n"
              "Status = 'OK' on success or 'ERROR' on failure.\nThe image is saved as a PNG file to the specified path."},
        {116, "Returns 'True' if an async request is in progress,\notherwise returns 'False'."},
        {118, "Show or hide the 'Thinking...' progress dialog\nduring async API requests. Default: True (shown)."},
        {119, "When enabled, ParlySend will stream the response\nword-by-word into the target variable for a typing effect.\n"
              "Use ParlyStopStream to cancel streaming mid-response."},
        {121, "Reads a document file and includes its content with your prompt.\n"
              "Supported formats: .txt, .csv, .html, .xml, .json, .md, .log, .ini, .cfg, .pdf\n"
              "The document content is prepended to your prompt automatically.\n"
              "Large files are truncated to fit within token limits.\n"
              "PDFs (up to 32 MB) go as PDFs to OpenAI, Claude, Google, OpenRouter."},
    };
    for (auto [id, text] : unchanged) EXPECT_STREQ(HelpFor(id).text, text) << id;
}

// A 32-bit top-down picture that PaintHelpPanel draws into.
struct Canvas {
    int w, h;
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    DWORD* bits = nullptr;
    Canvas(int width, int height) : w(width), h(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = -h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
        old = SelectObject(dc, bitmap);
        PatBlt(dc, 0, 0, w, h, WHITENESS);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    COLORREF At(int x, int y) const {
        GdiFlush();
        DWORD p = bits[y * w + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    void Paint(const RECT& r, int dialogId) {
        DRAWITEMSTRUCT item = {};
        item.CtlType = ODT_STATIC;
        item.CtlID = IDC_HELP_PANEL;
        item.hDC = dc;
        item.rcItem = r;
        PaintHelpPanel(&item, dialogId);
    }
};

const COLORREF kPanel = RGB(255, 253, 217);

bool IsInk(COLORREF c) { return GetRValue(c) < 200 && GetGValue(c) < 200; }

TEST_F(Services, HelpPanelDrawsBoxBorderAndBadgeAtTheirPlaces) {
    Canvas canvas(420, 100);
    const RECT r = {10, 5, 410, 85};
    canvas.Paint(r, 108);
    const int mid = (r.top + r.bottom) / 2;
    EXPECT_EQ(canvas.At(r.left, r.top), RGB(220, 218, 180));
    EXPECT_EQ(canvas.At(r.right - 1, r.bottom - 1), RGB(220, 218, 180));
    EXPECT_EQ(canvas.At(r.left + 2, r.top + 2), kPanel);
    EXPECT_EQ(canvas.At(r.left - 1, r.top), RGB(255, 255, 255)) << "painted outside the control";
    EXPECT_EQ(canvas.At(r.left + 10, mid), RGB(30, 120, 200));
    EXPECT_EQ(canvas.At(r.left + 18, mid + 8), RGB(30, 120, 200));
    EXPECT_EQ(canvas.At(r.left + 4, mid), kPanel);
    bool whiteMark = false;
    for (int y = mid - 7; y < mid + 7; ++y)
        for (int x = r.left + 13; x < r.left + 24; ++x) whiteMark |= canvas.At(x, y) == RGB(255, 255, 255);
    EXPECT_TRUE(whiteMark) << "no white question mark on the badge";
}

TEST_F(Services, HelpPanelTitleIsTheDialogsEntryInBoldAtItsPlace) {
    Canvas panel(420, 60), reference(420, 60);
    const RECT r = {0, 0, 420, 60};
    panel.Paint(r, 105);
    const SharedDrawingObjects& look = EnsureSharedDrawingObjects();
    HBRUSH brush = CreateSolidBrush(kPanel);
    FillRect(reference.dc, &r, brush);
    DeleteObject(brush);
    SelectObject(reference.dc, look.boldFont);
    SetBkMode(reference.dc, TRANSPARENT);
    TextOutW(reference.dc, 38, 6, L"ParlySetTemperature", 19);
    int differing = 0;
    for (int y = 1; y < 21; ++y)
        for (int x = 36; x < 419; ++x) differing += panel.At(x, y) != reference.At(x, y);
    EXPECT_EQ(differing, 0);
}

// Ink rows of the text column, grouped into lines.
std::vector<std::pair<int, int>> InkLines(const Canvas& c, const RECT& r) {
    std::vector<std::pair<int, int>> lines;
    for (int y = r.top + 1; y < r.bottom - 1; ++y) {
        bool ink = false;
        for (int x = r.left + 38; x < r.right - 8 && !ink; ++x) ink = IsInk(c.At(x, y));
        if (!ink) continue;
        if (!lines.empty() && lines.back().second == y - 1) lines.back().second = y;
        else lines.push_back({y, y});
    }
    return lines;
}

TEST_F(Services, HelpPanelOfAnUnknownDialogHasNoText) {
    Canvas canvas(400, 60);
    const RECT r = {0, 0, 400, 60};
    canvas.Paint(r, 113);
    EXPECT_EQ(InkLines(canvas, r).size(), 1u) << "only the title line";
    for (int y = 24; y < 56; ++y)
        for (int x = 40; x < 390; ++x) ASSERT_EQ(canvas.At(x, y), kPanel) << x << "," << y;
}

TEST_F(Services, EveryHelpTextFitsWholeInItsDialogsPanel) {
    const std::pair<int, int> actions[] = {{1, 101},  {2, 102},  {3, 103},  {4, 104},  {5, 105},  {6, 106},
                                           {7, 107},  {8, 108},  {10, 109}, {11, 110}, {12, 111}, {13, 112},
                                           {14, 114}, {15, 115}, {17, 116}, {18, 118}, {19, 119}, {23, 120},
                                           {24, 121}, {25, 122}, {26, 123}, {27, 124}, {28, 125}};
    for (auto [action, dialogId] : actions) {
        RECT panel = {};
        Slots slots(std::vector<Param>(5, kAbsent));
        Edit(action, slots, [&](HWND d) {
            GetClientRect(GetDlgItem(d, IDC_HELP_PANEL), &panel);
            Click(d, IDCANCEL);
        });
        // The same text in a panel with room to spare gives the number of lines it must show.
        Canvas roomy(panel.right, panel.bottom + 200), real(panel.right, panel.bottom);
        RECT tall = panel;
        tall.bottom += 200;
        roomy.Paint(tall, dialogId);
        real.Paint(panel, dialogId);
        auto need = InkLines(roomy, tall), got = InkLines(real, panel);
        EXPECT_EQ(got.size(), need.size()) << "dialog " << dialogId;
        if (!got.empty()) {
            EXPECT_LT(got.back().second, panel.bottom - 2) << "dialog " << dialogId << " text cut at the bottom";
        }
    }
}

// ---- variable picker ----

struct FakeHost {
    enum Mode { Answer, Refuse, AnswerEmpty, SwapBlock, Unterminated } mode = Answer;
    std::string answer = "Chosen";
    std::string offered;
    SIZE_T offeredSize = 0;
    bool zeroFilled = false;
    int calls = 0;
    int lastCode = 0;
};
FakeHost g_fake;

unsigned char __stdcall FakeInterfaceAccess(int code, char** slot) {
    ++g_fake.calls;
    g_fake.lastCode = code;
    g_fake.offeredSize = GlobalSize(*slot);
    g_fake.offered = *slot;
    g_fake.zeroFilled = true;
    for (SIZE_T i = g_fake.offered.size(); i < g_fake.offeredSize; ++i) g_fake.zeroFilled &= (*slot)[i] == 0;
    switch (g_fake.mode) {
        case FakeHost::Refuse:
            return 0;
        case FakeHost::AnswerEmpty:
            (*slot)[0] = 0;
            return 1;
        case FakeHost::SwapBlock: {
            auto* mine = static_cast<char*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 64));
            strcpy(mine, g_fake.answer.c_str());
            GlobalFree(*slot);
            *slot = mine;
            return 1;
        }
        case FakeHost::Unterminated:
            memset(*slot, 'v', GlobalSize(*slot));
            return 1;
        case FakeHost::Answer:
            strcpy(*slot, g_fake.answer.c_str());
            return 1;
    }
    return 0;
}

// Presses the "..." button of action `action` with its variable edit holding `start`; returns what the edit then shows.
std::string Pick(int action, int edit, const std::string& start, Slots* keep = nullptr, int button = IDC_PICK_VARIABLE) {
    Slots local(std::vector<Param>(5, kAbsent));
    Slots& slots = keep ? *keep : local;
    std::string shown;
    WithDialog(
        [&](HWND d) {
            SetItemText(d, edit, start);
            Click(d, button);
            shown = ItemText(d, edit);
            Click(d, keep ? IDOK : IDCANCEL);
        },
        [&] { EditAction(action, slots.data()); });
    return shown;
}

TEST_F(Services, PickerOffersTheBareNameAndPutsTheChoiceInBrackets) {
    g_fake = FakeHost();
    HostInterfaceAccess = FakeInterfaceAccess;
    Slots slots({"Hi", "[Answer]"});
    EXPECT_EQ(Pick(8, 1013, "[Answer]", &slots), "[Chosen]");
    EXPECT_EQ(g_fake.calls, 1);
    EXPECT_EQ(g_fake.lastCode, 14);
    EXPECT_EQ(g_fake.offered, "Answer");
    EXPECT_EQ(g_fake.offeredSize, 256u);
    EXPECT_TRUE(g_fake.zeroFilled);
    EXPECT_EQ(slots[1], "[Chosen]");
}

TEST_F(Services, PickerStripsALoneBracketOnEitherSide) {
    g_fake = FakeHost();
    HostInterfaceAccess = FakeInterfaceAccess;
    const std::pair<const char*, const char*> cases[] = {
        {"[Lead", "Lead"}, {"Trail]", "Trail"}, {"Plain", "Plain"}, {"", ""}, {"[[Twice]]", "[Twice]"}};
    for (auto [start, offered] : cases) {
        Pick(10, 1014, start);
        EXPECT_EQ(g_fake.offered, offered) << start;
    }
}

TEST_F(Services, PickerLeavesTheEditWhenTheHostCancelsOrAnswersNothing) {
    HostInterfaceAccess = FakeInterfaceAccess;
    g_fake = FakeHost();
    g_fake.mode = FakeHost::Refuse;
    EXPECT_EQ(Pick(11, 1015, "[Models]"), "[Models]");
    g_fake.mode = FakeHost::AnswerEmpty;
    EXPECT_EQ(Pick(11, 1015, "[Models]"), "[Models]");
    EXPECT_EQ(g_fake.calls, 2);
}

TEST_F(Services, PickerTakesTheNameFromABlockTheHostSwappedIn) {
    g_fake = FakeHost();
    g_fake.mode = FakeHost::SwapBlock;
    g_fake.answer = "FromNewBlock";
    HostInterfaceAccess = FakeInterfaceAccess;
    EXPECT_EQ(Pick(17, 1030, "[Busy]"), "[FromNewBlock]");
}

TEST_F(Services, PickerNeverReadsPastTheHostsBlock) {
    g_fake = FakeHost();
    g_fake.mode = FakeHost::Unterminated;
    HostInterfaceAccess = FakeInterfaceAccess;
    EXPECT_EQ(Pick(10, 1014, "x"), "[" + std::string(256, 'v') + "]");
}

TEST_F(Services, PickerOffersAtMostTwoHundredFiftyFiveCharacters) {
    g_fake = FakeHost();
    HostInterfaceAccess = FakeInterfaceAccess;
    Pick(10, 1014, std::string(300, 'n'));
    EXPECT_EQ(g_fake.offered, std::string(255, 'n'));
}

TEST_F(Services, EachVariableButtonFillsItsOwnDialogsVariableEdit) {
    g_fake = FakeHost();
    g_fake.answer = "Picked";
    HostInterfaceAccess = FakeInterfaceAccess;
    const std::pair<int, int> buttons[] = {{1, 1004},  {8, 1013},  {10, 1014}, {11, 1015}, {13, 1021}, {14, 1013},
                                           {15, 1021}, {17, 1030}, {19, 1035}, {20, 1013}, {23, 1048}, {24, 1013},
                                           {25, 1013}, {26, 1051}, {27, 1058}, {28, 1058}};
    for (auto [action, edit] : buttons) EXPECT_EQ(Pick(action, edit, "[Old]"), "[Picked]") << action;
    // ParlyGetUsage has a button beside each of its three variables.
    EXPECT_EQ(Pick(26, 1052, "[Old]", nullptr, 1054), "[Picked]");
    EXPECT_EQ(Pick(26, 1053, "[Old]", nullptr, 1055), "[Picked]");
}

TEST_F(Services, PickerWithoutHostSupportWarnsAndLeavesTheEdit) {
    HostInterfaceAccess = nullptr;
    Slots slots({"Hi", "[Answer]"});
    DWORD thread = GetCurrentThreadId();
    Box box;
    std::string after;
    EXPECT_TRUE(Edit(8, slots, [&](HWND d) {
        PostClick(d, IDC_PICK_VARIABLE);
        box = AnswerBox(thread, d, IDOK);
        after = ItemText(d, 1013);
        Click(d, IDOK);
    }));
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.caption, "Parly Plugin");
    EXPECT_EQ(box.text, "Variable picker not available in this context.");
    EXPECT_EQ(after, "[Answer]");
    EXPECT_EQ(slots[1], "[Answer]");
}

// ---- connection test ----

struct SessionState {
    int provider;
    std::string apiKey, model, endpoint, lastError;
    std::vector<std::pair<std::string, std::string>> history;
    bool operator==(const SessionState&) const = default;
};

SessionState ReadSession() {
    std::lock_guard<std::mutex> hold(SessionLock());
    SessionState s{g_session.settings.provider, g_session.settings.apiKey, g_session.settings.model, g_session.settings.endpoint, g_session.lastError, {}};
    for (const ChatMessage& m : g_session.conversation.history) s.history.emplace_back(m.role, m.content);
    return s;
}

class ConnectionTest : public Services {
  protected:
    void SetUp() override {
        Sim::Reset();
        Sim::RedirectAll();
        std::lock_guard<std::mutex> hold(SessionLock());
        g_session.settings.provider = kProviderClaude;
        g_session.settings.apiKey = "sk-before";
        g_session.settings.model = "before-model";
        g_session.settings.endpoint = Sim::BaseUrl();
        g_session.lastError = "earlier failure";
        g_session.conversation.history = {{"user", "remember the lighthouse"}, {"assistant", "I will."}};
    }
    void TearDown() override {
        Sim::ClearRedirects();
        Services::TearDown();
    }

    // Opens the Init dialog on the given provider and key, presses Test Connection and answers the box.
    Box Run(const Param& provider, const std::string& key, Slots* keep = nullptr) {
        Slots local({provider, key, "[Status]"});
        Slots& slots = keep ? *keep : local;
        DWORD thread = GetCurrentThreadId();
        Box box;
        Edit(1, slots, [&](HWND d) {
            PostClick(d, IDC_TEST_CONNECTION);
            box = AnswerBox(thread, d, IDOK);
            Click(d, IDCANCEL);
        });
        return box;
    }
};

TEST_F(ConnectionTest, SuccessReportsProviderModelAndReplyAndRestoresTheSession) {
    SessionState before = ReadSession();
    Slots slots({"ollama", "", "[Status]"});
    Box box = Run(kAbsent, "", &slots);
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.caption, "Test Connection");
    EXPECT_EQ(box.text, "Connection OK!\n\nProvider: Ollama\nModel: llama3\n\nAI replied: Ollama says: "
                        "Say hello in exactly 5 words.");
    ASSERT_EQ(Sim::Count(), 1);
    std::string body = Sim::Body(0);
    EXPECT_NE(body.find("Say hello in exactly 5 words."), std::string::npos);
    EXPECT_EQ(body.find("lighthouse"), std::string::npos) << "the test must not send the session's history";
    EXPECT_EQ(ReadSession(), before);
    EXPECT_EQ(slots[0], "ollama");
}

TEST_F(ConnectionTest, FailureReportsTheErrorAndRestoresTheSession) {
    SessionState before = ReadSession();
    Sim::Next(R"({"status": 500, "body": "{\"error\":{\"message\":\"model overloaded\"}}"})");
    Box box = Run("OpenAI", "sk-test");
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.caption, "Test Connection");
    EXPECT_EQ(box.text.rfind("Connection FAILED!\n\nOpenAI", 0), 0u) << box.text;
    EXPECT_NE(box.text.find("(500): model overloaded"), std::string::npos) << box.text;
    EXPECT_EQ(Sim::Header("Authorization", 0), "Bearer sk-test");
    EXPECT_EQ(ReadSession(), before);
}

TEST_F(ConnectionTest, InitFailureIsReportedAndNothingIsSent) {
    simtest::ScopedEnv none("OPENAI_API_KEY", "");
    SessionState before = ReadSession();
    Box box = Run("OpenAI", "");
    EXPECT_EQ(box.caption, "Test Connection");
    EXPECT_EQ(box.text, "Init failed: API key is required for OpenAI (pass it to ParlyInit, or set OPENAI_API_KEY)");
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_EQ(ReadSession(), before);
}

TEST_F(ConnectionTest, AnEmptyKeyIsTakenFromTheProvidersVariableAsParlyInitDoes) {
    simtest::ScopedEnv key("OPENAI_API_KEY", "sk-from-env");
    simtest::ScopedEnv other("GROQ_API_KEY", "gsk-not-for-openai");
    SessionState before = ReadSession();
    Box box = Run("OpenAI", "");
    EXPECT_EQ(box.text.rfind("Connection OK!", 0), 0u) << box.text;
    EXPECT_EQ(Sim::Header("Authorization", 0), "Bearer sk-from-env");
    EXPECT_EQ(ReadSession(), before);
}

TEST_F(ConnectionTest, NoSelectedProviderAsksForOneAndChangesNothing) {
    SessionState before = ReadSession();
    Box box = Run("[ProviderVariable]", "sk-test");
    EXPECT_EQ(box.caption, "Test Connection");
    EXPECT_EQ(box.text, "Please select a provider first.");
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_EQ(ReadSession(), before);
}

TEST_F(ConnectionTest, UsesTheKeyAsTypedInTheDialog) {
    Slots slots({"OpenAI", "sk-from-slot", "[Status]"});
    DWORD thread = GetCurrentThreadId();
    Box box;
    Edit(1, slots, [&](HWND d) {
        SetItemText(d, 1002, "sk-typed-now");
        Select(d, 1001, 5);
        PostClick(d, IDC_TEST_CONNECTION);
        box = AnswerBox(thread, d, IDOK);
        Click(d, IDCANCEL);
    });
    EXPECT_EQ(box.text.rfind("Connection OK!\n\nProvider: Groq\nModel: openai/gpt-oss-120b", 0), 0u) << box.text;
    EXPECT_EQ(Sim::Header("Authorization", 0), "Bearer sk-typed-now");
    EXPECT_EQ(slots[1], "sk-from-slot");
}

// ---- about box ----

struct FontSeen {
    int height = 0, weight = 0;
    std::string face;
    BYTE quality = 0;
};

FontSeen FontOf(HWND control) {
    FontSeen f;
    LOGFONTW lf = {};
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (font && GetObjectW(font, sizeof lf, &lf)) {
        f.height = lf.lfHeight;
        f.weight = lf.lfWeight;
        f.face = WideToUtf8(lf.lfFaceName);
        f.quality = lf.lfQuality;
    }
    return f;
}

struct Colours {
    COLORREF text = 0, brush = 0;
    int mode = 0;
};

Colours ColoursOf(HWND dialog, HWND control, UINT message = WM_CTLCOLORSTATIC) {
    Colours c;
    HDC dc = CreateCompatibleDC(nullptr);
    auto brush = reinterpret_cast<HBRUSH>(SendMessageW(dialog, message, reinterpret_cast<WPARAM>(dc),
                                                       reinterpret_cast<LPARAM>(control)));
    c.text = GetTextColor(dc);
    c.mode = GetBkMode(dc);
    LOGBRUSH lb = {};
    if (brush && GetObjectW(brush, sizeof lb, &lb)) c.brush = lb.lbColor;
    else c.brush = 0xFFFFFFFF;
    DeleteDC(dc);
    return c;
}

HWND StaticWithText(HWND dialog, const char* text) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (Text(child) == text) return child;
    return nullptr;
}

TEST_F(Services, AboutBoxShowsTheProductWithItsFontsAndDarkColours) {
    std::string caption, title, providers1, providers2;
    FontSeen titleFont, subtitleFont, sectionFont, featureFont, bodyFont;
    Colours titleColour, sectionColour, authorColour, bodyColour, dialogColour;
    bool picture = false, bigIcon = false, smallIcon = false;
    RECT client = {}, size = {}, box = {}, owner = {}, pictureRect = {}, place = {};
    bool shown = WithDialog(
        [&](HWND d) {
            caption = Text(d);
            title = ItemText(d, IDC_ABOUT_TITLE);
            providers1 = ItemText(d, IDC_ABOUT_PROVIDERS1);
            providers2 = ItemText(d, IDC_ABOUT_PROVIDERS2);
            GetClientRect(d, &client);
            size = {0, 0, 240, 310};
            MapDialogRect(d, &size);
            titleFont = FontOf(GetDlgItem(d, IDC_ABOUT_TITLE));
            subtitleFont = FontOf(GetDlgItem(d, IDC_ABOUT_SUBTITLE));
            sectionFont = FontOf(StaticWithText(d, "Supported Providers"));
            featureFont = FontOf(StaticWithText(d, "Features"));
            bodyFont = FontOf(GetDlgItem(d, IDC_ABOUT_CREDIT));
            titleColour = ColoursOf(d, GetDlgItem(d, IDC_ABOUT_TITLE));
            sectionColour = ColoursOf(d, StaticWithText(d, "Features"));
            authorColour = ColoursOf(d, GetDlgItem(d, IDC_ABOUT_AUTHOR));
            bodyColour = ColoursOf(d, GetDlgItem(d, IDC_ABOUT_PROVIDERS1));
            dialogColour = ColoursOf(d, d, WM_CTLCOLORDLG);
            HWND pic = GetDlgItem(d, IDC_ABOUT_PICTURE);
            picture = SendMessageW(pic, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
            GetWindowRect(pic, &pictureRect);
            MapWindowPoints(nullptr, d, reinterpret_cast<POINT*>(&pictureRect), 2);
            place = {70, 10, 170, 114};
            MapDialogRect(d, &place);
            bigIcon = SendMessageW(d, WM_GETICON, ICON_BIG, 0) != 0;
            smallIcon = SendMessageW(d, WM_GETICON, ICON_SMALL, 0) != 0;
            GetWindowRect(d, &box);
            GetWindowRect(hostWindow, &owner);
            Click(d, IDOK);
        },
        [] { ShowAboutBox(); });
    ASSERT_TRUE(shown);
    EXPECT_EQ(caption, "About Parly Plugin");
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    EXPECT_EQ(title, "Parly Plugin v2.0");
    EXPECT_EQ(providers1, "OpenAI | Claude | Google Gemini | Ollama");
    EXPECT_EQ(providers2, "OpenRouter | Groq | Grok (xAI)");

    EXPECT_EQ(titleFont.height, -16);
    EXPECT_EQ(titleFont.weight, 700);
    EXPECT_EQ(titleFont.face, "Segoe UI");
    EXPECT_EQ(titleFont.quality, CLEARTYPE_QUALITY);
    EXPECT_EQ(subtitleFont.height, -11);
    EXPECT_EQ(subtitleFont.weight, 400);
    EXPECT_EQ(sectionFont.height, -11);
    EXPECT_EQ(sectionFont.weight, 700);
    EXPECT_EQ(featureFont.weight, 700);
    EXPECT_EQ(bodyFont.height, -11);
    EXPECT_EQ(bodyFont.weight, 400);

    EXPECT_EQ(titleColour.text, RGB(255, 255, 255));
    EXPECT_EQ(sectionColour.text, RGB(100, 180, 255));
    EXPECT_EQ(authorColour.text, RGB(255, 255, 255));
    EXPECT_EQ(bodyColour.text, RGB(210, 210, 210));
    EXPECT_EQ(bodyColour.mode, TRANSPARENT);
    EXPECT_EQ(bodyColour.brush, RGB(7, 7, 9));
    EXPECT_EQ(dialogColour.brush, RGB(7, 7, 9));

    EXPECT_TRUE(picture);
    EXPECT_EQ((pictureRect.left + pictureRect.right) / 2, (place.left + place.right) / 2);
    EXPECT_EQ((pictureRect.top + pictureRect.bottom) / 2, (place.top + place.bottom) / 2);
    EXPECT_TRUE(bigIcon);
    EXPECT_TRUE(smallIcon);
    EXPECT_NEAR((box.left + box.right) / 2, (owner.left + owner.right) / 2, 1);
    EXPECT_NEAR((box.top + box.bottom) / 2, (owner.top + owner.bottom) / 2, 1);
}

TEST_F(Services, AboutBoxKeepsItsFontsAcrossOpeningsAndClosesOnEscape) {
    HFONT first = nullptr, second = nullptr;
    WithDialog(
        [&](HWND d) {
            first = reinterpret_cast<HFONT>(SendDlgItemMessageW(d, IDC_ABOUT_TITLE, WM_GETFONT, 0, 0));
            Click(d, IDCANCEL);
        },
        [] { ShowAboutBox(); });
    bool closed = WithDialog(
        [&](HWND d) {
            second = reinterpret_cast<HFONT>(SendDlgItemMessageW(d, IDC_ABOUT_TITLE, WM_GETFONT, 0, 0));
            Click(d, IDCANCEL);
        },
        [] { ShowAboutBox(); });
    EXPECT_TRUE(closed);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, second);
}

TEST_F(Services, HostAboutCallThroughTheExportShowsTheAboutBox) {
    std::string caption;
    bool shown = WithDialog(
        [&](HWND d) {
            caption = Text(d);
            Click(d, IDOK);
        },
        [] { reinterpret_cast<void(__stdcall*)()>(rig_->Proc("_nbAbout"))(); });
    EXPECT_TRUE(shown);
    EXPECT_EQ(caption, "About Parly Plugin");
}

// ---- the shared look on a window of the test's own ----

LRESULT CALLBACK PlainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

struct LookWindow {
    HWND parent = nullptr;
    LookWindow() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = PlainProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ParlyLookProbe";
        RegisterClassW(&wc);
        parent = CreateWindowW(L"ParlyLookProbe", L"probe", WS_POPUP, 0, 0, 600, 300, nullptr, nullptr,
                               wc.hInstance, nullptr);
    }
    ~LookWindow() { DestroyWindow(parent); }
    HWND Add(const wchar_t* cls, const std::string& text, int id, int x, int y, int w, int h) {
        return CreateWindowW(cls, Utf8ToWide(text).c_str(), WS_CHILD | WS_VISIBLE, x, y, w, h, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    }
};

TEST_F(Services, LookMakesOnlyShortStaticLabelsBold) {
    LookWindow w;
    HWND model = w.Add(L"Static", "Model:", -1, 0, 0, 200, 16);
    HWND exactly39 = w.Add(L"Static", std::string(39, 'a'), -1, 0, 20, 590, 16);
    HWND exactly40 = w.Add(L"Static", std::string(40, 'a'), -1, 0, 40, 590, 16);
    HWND product = w.Add(L"Static", "Parly Plugin v2.0", -1, 0, 60, 200, 16);
    HWND maker = w.Add(L"Static", "by Marrowby", -1, 0, 80, 200, 16);
    HWND label1031 = w.Add(L"Static", "Short", IDC_PRODUCT_LABEL, 0, 100, 200, 16);
    HWND label1036 = w.Add(L"Static", "Careful", IDC_WARNING, 0, 120, 200, 16);
    HWND empty = w.Add(L"Static", "", -1, 0, 140, 200, 16);
    HWND edit = w.Add(L"Edit", "Name:", 1, 0, 160, 200, 20);
    HWND button = w.Add(L"Button", "Go", 2, 0, 190, 200, 20);
    EXPECT_EQ(PreHandleDialogMessage(w.parent, WM_INITDIALOG, 0, 0), 0);
    EXPECT_EQ(FontOf(model).weight, FW_BOLD);
    EXPECT_EQ(FontOf(exactly39).weight, FW_BOLD);
    for (HWND normal : {exactly40, product, maker, label1031, label1036, empty, edit, button})
        EXPECT_LT(FontOf(normal).weight, FW_BOLD) << Text(normal);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(edit, WM_GETFONT, 0, 0)), EnsureSharedDrawingObjects().messageFont);
}

TEST_F(Services, BoldLabelTooNarrowGrowsIntoFreeSpaceOrStaysRegular) {
    LookWindow w;
    HWND roomy = w.Add(L"Static", "Callback Subroutine:", -1, 10, 10, 20, 16);
    HWND boxedIn = w.Add(L"Static", "Callback Subroutine:", -1, 10, 40, 20, 16);
    w.Add(L"Edit", "", 1, 32, 40, 100, 20);
    PreHandleDialogMessage(w.parent, WM_INITDIALOG, 0, 0);
    RECT grown, kept;
    GetClientRect(roomy, &grown);
    GetClientRect(boxedIn, &kept);
    EXPECT_EQ(FontOf(roomy).weight, FW_BOLD);
    EXPECT_GT(grown.right, 20);
    EXPECT_LT(FontOf(boxedIn).weight, FW_BOLD);
    EXPECT_EQ(kept.right, 20);
}

TEST_F(Services, LookColoursWarningRedProductGreyAndLeavesPanelAndIconAlone) {
    LookWindow w;
    HWND warning = w.Add(L"Static", "Careful", IDC_WARNING, 0, 0, 100, 16);
    HWND product = w.Add(L"Static", "Parly Plugin v2.0", IDC_PRODUCT_LABEL, 0, 20, 100, 16);
    HWND label = w.Add(L"Static", "Model:", -1, 0, 40, 100, 16);
    HWND panel = w.Add(L"Static", "", IDC_HELP_PANEL, 0, 60, 100, 16);
    HWND icon = w.Add(L"Static", "", IDC_PLUGIN_ICON, 0, 80, 16, 16);
    auto colours = [&](HWND control, INT_PTR* result) {
        HDC dc = CreateCompatibleDC(nullptr);
        SetTextColor(dc, RGB(1, 2, 3));
        SetBkMode(dc, OPAQUE);
        *result = PreHandleDialogMessage(w.parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                         reinterpret_cast<LPARAM>(control));
        Colours c{GetTextColor(dc), 0, GetBkMode(dc)};
        DeleteDC(dc);
        return c;
    };
    INT_PTR r = 0;
    Colours c = colours(warning, &r);
    EXPECT_EQ(c.text, RGB(180, 0, 0));
    EXPECT_EQ(c.mode, TRANSPARENT);
    EXPECT_EQ(r, reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE)));
    EXPECT_EQ(colours(product, &r).text, RGB(100, 100, 100));
    c = colours(label, &r);
    EXPECT_EQ(c.text, RGB(1, 2, 3));
    EXPECT_EQ(c.mode, TRANSPARENT);
    EXPECT_EQ(r, reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE)));
    colours(panel, &r);
    EXPECT_EQ(r, 0);
    colours(icon, &r);
    EXPECT_EQ(r, 0);
}

}  // namespace
