// The help panel of every edit dialog: a cream box, a blue "?" badge, the action's name and its guidance.
#include <windows.h>

#include <string>

#include "editor/look.h"
#include "editor/resource.h"
#include "editor/services.h"
#include "net/encoding.h"
#include "providers/provider_table.h"

namespace {

struct HelpRow {
    int dialogId;
    HelpEntry entry;
};

const HelpRow kHelp[] = {
    {IDD_INIT,
     {"ParlyInit",
      "Select your AI provider and enter your API key.\nFor Ollama (local), leave API Key empty.\n"
      "For OpenRouter, use format: provider/model:free\nTip: Use [VarName] to load key from a variable at runtime."}},
    {IDD_SET_ENDPOINT,
     {"ParlySetEndpoint",
      "Custom API endpoint URL. Mainly used for Ollama\nrunning locally or on a network server.\n"
      "Default Ollama: " PARLY_OLLAMA_DEFAULT_URL "\nFor remote: http://192.168.1.50:11434"}},
    {IDD_SET_MODEL,
     {"ParlySetModel",
      "OpenAI: " PARLY_OPENAI_DEFAULT_MODEL ", gpt-5.6-terra, gpt-5.4\n"
      "Claude: " PARLY_CLAUDE_DEFAULT_MODEL ", claude-opus-4-7, claude-haiku-4-5\n"
      "Google: " PARLY_GEMINI_DEFAULT_MODEL ", gemini-pro-latest\nOllama: llama3, mistral, codellama, phi\n"
      "OpenRouter: " PARLY_OPENROUTER_DEFAULT_MODEL ", openrouter/auto\n"
      "Groq: " PARLY_GROQ_DEFAULT_MODEL " | Grok: " PARLY_GROK_DEFAULT_MODEL "\n"
      "Tip: Use ParlyGetModels to list available models."}},
    {IDD_SET_SYSTEM,
     {"ParlySetSystem",
      "Defines how the AI behaves for all messages.\n"
      "Example: 'You are a helpful coding assistant that writes Python.'"}},
    {IDD_SET_TEMPERATURE, {"ParlySetTemperature", "0.0 = deterministic, 0.7 = balanced, 2.0 = very creative."}},
    {IDD_SET_MAX_TOKENS,
     {"ParlySetMaxTokens",
      "Maximum response length in tokens (~1 token = ~4 chars).\n"
      "Default: 2048. OpenRouter free models have limited budgets.\n"
      "Leave at default unless you need to control response length."}},
    {IDD_SET_MULTILINE,
     {"ParlySetMultiline",
      "True = keep line breaks in AI response.\nFalse = convert to single line (spaces replace newlines)."}},
    {IDD_SEND,
     {"ParlySend",
      "Enter your prompt or use [VarName] to load from a variable.\n"
      "The AI response will be stored in the Result Variable."}},
    {IDD_GET_ERROR,
     {"ParlyGetError", "Returns the last error message from any Parly action.\nEmpty string means no error occurred."}},
    {IDD_GET_MODELS,
     {"ParlyGetModels",
      "Returns a comma-separated list of available models\nfor the current provider. Store in a variable for use."}},
    {IDD_SET_TIMEOUT,
     {"ParlySetTimeout",
      "How long to wait for an AI response before timing out.\nRange: 5-300 seconds. Default: 60 seconds."}},
    {IDD_IMAGE_GEN,
     {"ParlyImageGen",
      "Generate an AI image with OpenAI " PARLY_IMAGE_DEFAULT_MODEL ".\nRequires the OpenAI provider.\n"
      "Sizes: 1024x1024, 1536x1024, 1024x1536, auto. Older sizes: 256 and 512\n"
      "give 1024x1024, 1792x1024 gives 1536x1024, 1024x1792 gives 1024x1536.\n"
      "Status returns 'OK' on success or 'ERROR' on failure."}},
    {IDD_SEND_ASYNC,
     {"ParlySendAsync",
      "Sends the prompt without freezing your application.\nWhen complete, the callback subroutine is called and\n"
      "the result variable contains the full AI response.\n"
      "Use ParlyIsBusy to check if a request is still in progress."}},
    {IDD_IMAGE_GEN_ASYNC,
     {"ParlyImageGenAsync",
      "Generates an AI image without freezing your application.\nWhen complete, the callback subroutine runs.\n"
      "Status = 'OK' on success or 'ERROR' on failure.\nThe image is saved as a PNG file to the specified path."}},
    {IDD_IS_BUSY,
     {"ParlyIsBusy", "Returns 'True' if an async request is in progress,\notherwise returns 'False'."}},
    {IDD_SET_PROGRESS,
     {"ParlySetProgress",
      "Show or hide the 'Thinking...' progress dialog\nduring async API requests. Default: True (shown)."}},
    {IDD_SET_STREAMING,
     {"ParlySetStreaming",
      "When enabled, ParlySend will stream the response\nword-by-word into the target variable for a typing effect.\n"
      "Use ParlyStopStream to cancel streaming mid-response."}},
    {IDD_GET_EMBEDDING,
     {"ParlyGetEmbedding",
      "Generates a vector embedding for the given text.\nSupported: OpenAI (text-embedding-3-small), OpenRouter, Ollama.\n"
      "Returns comma-separated floating point values.\nUse for semantic search, similarity, and classification."}},
    {IDD_SEND_WITH_DOC,
     {"ParlySendWithDoc",
      "Reads a document file and includes its content with your prompt.\n"
      "Supported formats: .txt, .csv, .html, .xml, .json, .md, .log, .ini, .cfg, .pdf\n"
      "The document content is prepended to your prompt automatically.\n"
      "Large files are truncated to fit within token limits.\n"
      "PDFs (up to 32 MB) go as PDFs to OpenAI, Claude, Google, OpenRouter."}},
    {IDD_SEND_WITH_IMAGE,
     {"ParlySendWithImage",
      "Asks about a picture: PNG, JPEG, GIF or WebP, up to 20 MB.\n"
      "The picture stays in the conversation for follow-up questions\n"
      "until ParlyClearHistory or ParlyInit. Streams like ParlySend."}},
    {IDD_GET_USAGE,
     {"ParlyGetUsage",
      "Token counts and stop reason of the last successful exchange,\n"
      "as the provider reported them (empty when it gave none)."}},
    {IDD_SAVE_HISTORY,
     {"ParlySaveHistory",
      "Saves the system prompt and the conversation (pictures and\n"
      "PDFs included) to a JSON file. Status: 'OK' or 'ERROR'."}},
    {IDD_LOAD_HISTORY,
     {"ParlyLoadHistory",
      "Replaces the system prompt and the conversation with a saved\n"
      "file's. Provider, model and settings stay. Status: 'OK' or 'ERROR'."}},
};

const COLORREF kBorder = RGB(220, 218, 180);
const COLORREF kBadge = RGB(30, 120, 200);
const COLORREF kHelpText = RGB(60, 60, 60);

int TextHeight(HDC dc, HFONT font, const std::wstring& text, RECT box) {
    HGDIOBJ old = SelectObject(dc, font);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, DT_WORDBREAK | DT_CALCRECT);
    SelectObject(dc, old);
    return box.bottom - box.top;
}

// The message font scaled down to `pixels` character height; made once per size and kept.
HFONT SmallerMessageFont(HFONT messageFont, int pixels) {
    static SizedObjectCache<HFONT, 8> fonts;
    return fonts.Get(pixels, [messageFont](int height) {
        LOGFONTW lf = {};
        GetObjectW(messageFont, sizeof lf, &lf);
        lf.lfHeight = -height;
        lf.lfWidth = 0;
        return CreateFontIndirectW(&lf);
    });
}

struct TextLayout {
    int titleTop;
    RECT textBox;
    HFONT font;
};

// The panel's usual layout; a text too long for it moves up under the title and, if it must, shrinks a little.
TextLayout LayOutHelpText(HDC dc, const RECT& r, const std::wstring& text, const SharedDrawingObjects& look) {
    TextLayout layout = {r.top + 6, {r.left + 38, r.top + 22, r.right - 8, r.bottom - 4}, look.messageFont};
    if (text.empty() || TextHeight(dc, look.messageFont, text, layout.textBox) <= layout.textBox.bottom - layout.textBox.top)
        return layout;
    TEXTMETRICW title = {};
    HGDIOBJ old = SelectObject(dc, look.boldFont);
    GetTextMetricsW(dc, &title);
    SelectObject(dc, old);
    layout.titleTop = r.top + 3;
    layout.textBox = {r.left + 38, r.top + 3 + title.tmHeight, r.right - 8, r.bottom - 2};
    LOGFONTW lf = {};
    GetObjectW(look.messageFont, sizeof lf, &lf);
    int pixels = lf.lfHeight < 0 ? -lf.lfHeight : title.tmHeight - title.tmInternalLeading;
    for (int size = pixels; size >= pixels * 3 / 4 && size > 0; --size) {
        HFONT font = size == pixels ? look.messageFont : SmallerMessageFont(look.messageFont, size);
        if (!font) break;
        layout.font = font;
        if (TextHeight(dc, font, text, layout.textBox) <= layout.textBox.bottom - layout.textBox.top) break;
    }
    return layout;
}

}  // namespace

HelpEntry HelpFor(int dialogId) {
    for (const HelpRow& row : kHelp)
        if (row.dialogId == dialogId) return row.entry;
    return {"Parly Action", ""};
}

void PaintHelpPanel(const DRAWITEMSTRUCT* item, int dialogId) {
    if (!item || !item->hDC) return;
    const SharedDrawingObjects& look = EnsureSharedDrawingObjects();
    HDC dc = item->hDC;
    const RECT r = item->rcItem;
    HelpEntry help = HelpFor(dialogId);
    int saved = SaveDC(dc);

    FillRect(dc, &r, look.helpBrush);
    HPEN border = CreatePen(PS_SOLID, 1, kBorder);
    SelectObject(dc, border);
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, r.left, r.top, r.right, r.bottom);

    const int mid = (r.top + r.bottom) / 2;
    HBRUSH badge = CreateSolidBrush(kBadge);
    SelectObject(dc, badge);
    Ellipse(dc, r.left + 8, mid - 10, r.left + 28, mid + 10);

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    SelectObject(dc, look.boldFont);
    TextOutW(dc, r.left + 15, mid - 7, L"?", 1);

    std::wstring text = Utf8ToWide(help.text);
    TextLayout layout = LayOutHelpText(dc, r, text, look);
    SetTextColor(dc, RGB(0, 0, 0));
    std::wstring title = Utf8ToWide(help.title);
    TextOutW(dc, r.left + 38, layout.titleTop, title.c_str(), static_cast<int>(title.size()));

    SelectObject(dc, layout.font);
    SetTextColor(dc, kHelpText);
    if (!text.empty()) DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &layout.textBox, DT_WORDBREAK);

    RestoreDC(dc, saved);
    DeleteObject(border);
    DeleteObject(badge);
}
