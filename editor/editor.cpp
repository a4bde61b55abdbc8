// The edit dialogs of the placed actions: fill from the host's slots, edit, write back on OK.
#include "editor/editor.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "editor/look.h"
#include "editor/resource.h"
#include "editor/services.h"
#include "net/ascii.h"
#include "net/encoding.h"
#include "net/json.h"
#include "plugin/catalogue.h"
#include "plugin/host.h"
#include "providers/provider_table.h"
#include "session/text_rules.h"

namespace {

constexpr int kBufferCount = 5;
constexpr int kFileNameChars = 260;

// The five edit buffers; buffer n always belongs to parameter slot n. They grow with the text, so an
// author's long prompt or name is never cut.
struct EditBuffers {
    std::string slot[kBufferCount];

    const char* At(int n) const { return slot[n].c_str(); }
};

enum class FieldKind { Text, ProviderList, ModelCombo, Temperature, TruthList, StreamingTruthList, SizeList };

struct Field {
    int buffer;
    int control;
    FieldKind kind = FieldKind::Text;
    const char* whenEmpty = nullptr;  // shown when the buffer is empty
};

struct DialogForm {
    int dialogId;
    int variableEdit;  // the edit the "..." button fills, 0 when there is none
    std::vector<Field> fields;
};

const DialogForm kForms[] = {
    {IDD_INIT, IDC_INIT_STATUS_VAR,
     {{0, IDC_PROVIDER, FieldKind::ProviderList}, {1, IDC_API_KEY}, {2, IDC_INIT_STATUS_VAR}}},
    {IDD_SET_ENDPOINT, 0, {{0, IDC_ENDPOINT, FieldKind::Text, PARLY_OLLAMA_DEFAULT_URL}}},
    {IDD_SET_MODEL, 0, {{0, IDC_MODEL, FieldKind::ModelCombo}}},
    {IDD_SET_SYSTEM, 0, {{0, IDC_SYSTEM_PROMPT}}},
    {IDD_SET_TEMPERATURE, 0, {{0, IDC_TEMPERATURE, FieldKind::Temperature}}},
    {IDD_SET_MAX_TOKENS, 0, {{0, IDC_MAX_TOKENS, FieldKind::Text, "2048"}}},
    {IDD_SET_MULTILINE, 0, {{0, IDC_MULTILINE, FieldKind::TruthList}}},
    {IDD_SEND, IDC_RESULT_VAR, {{0, IDC_PROMPT}, {1, IDC_RESULT_VAR}}},
    {IDD_GET_ERROR, IDC_ERROR_VAR, {{0, IDC_ERROR_VAR}}},
    {IDD_GET_MODELS, IDC_MODELS_VAR, {{0, IDC_MODELS_VAR}}},
    {IDD_SET_TIMEOUT, 0, {{0, IDC_TIMEOUT, FieldKind::Text, "60"}}},
    {IDD_IMAGE_GEN, IDC_IMAGE_STATUS_VAR,
     {{0, IDC_IMAGE_PROMPT}, {1, IDC_IMAGE_FILE}, {2, IDC_IMAGE_SIZE, FieldKind::SizeList}, {3, IDC_IMAGE_STATUS_VAR}}},
    {IDD_SEND_ASYNC, IDC_RESULT_VAR, {{0, IDC_PROMPT}, {1, IDC_RESULT_VAR}, {2, IDC_CALLBACK}}},
    {IDD_IMAGE_GEN_ASYNC, IDC_IMAGE_STATUS_VAR,
     {{0, IDC_IMAGE_PROMPT},
      {1, IDC_IMAGE_FILE},
      {2, IDC_IMAGE_SIZE, FieldKind::SizeList},
      {3, IDC_IMAGE_STATUS_VAR},
      {4, IDC_CALLBACK}}},
    {IDD_IS_BUSY, IDC_BUSY_VAR, {{0, IDC_BUSY_VAR}}},
    {IDD_SET_PROGRESS, 0, {{0, IDC_TRUTH, FieldKind::TruthList}}},
    {IDD_SET_STREAMING, IDC_STREAM_VAR, {{0, IDC_TRUTH, FieldKind::StreamingTruthList}, {1, IDC_STREAM_VAR}}},
    {IDD_GET_EMBEDDING, IDC_EMBED_VAR, {{0, IDC_EMBED_TEXT}, {1, IDC_EMBED_VAR}}},
    {IDD_SEND_WITH_DOC, IDC_RESULT_VAR, {{0, IDC_DOCUMENT}, {1, IDC_PROMPT}, {2, IDC_RESULT_VAR}}},
    {IDD_SEND_WITH_IMAGE, IDC_RESULT_VAR, {{0, IDC_PICTURE}, {1, IDC_PROMPT}, {2, IDC_RESULT_VAR}}},
    {IDD_GET_USAGE, IDC_INPUT_TOKENS_VAR,
     {{0, IDC_INPUT_TOKENS_VAR}, {1, IDC_OUTPUT_TOKENS_VAR}, {2, IDC_STOP_REASON_VAR}}},
    {IDD_SAVE_HISTORY, IDC_HISTORY_STATUS_VAR, {{0, IDC_HISTORY_FILE}, {1, IDC_HISTORY_STATUS_VAR}}},
    {IDD_LOAD_HISTORY, IDC_HISTORY_STATUS_VAR, {{0, IDC_HISTORY_FILE}, {1, IDC_HISTORY_STATUS_VAR}}},
};

// The variable buttons beside the first one, and the edit each fills.
struct ExtraPick {
    int button;
    int edit;
};
const ExtraPick kExtraPicks[] = {
    {IDC_PICK_OUTPUT_VARIABLE, IDC_OUTPUT_TOKENS_VAR},
    {IDC_PICK_STOP_VARIABLE, IDC_STOP_REASON_VAR},
};

// A Browse button: the edit it fills, and the files its box offers.
struct BrowseButton {
    int dialogId;  // 0: any dialog with the button
    int button;
    int edit;
    bool save;
    const wchar_t* filter;
    int filterIndex;
    const wchar_t* defaultExtension;
};
const BrowseButton kBrowseButtons[] = {
    {0, IDC_BROWSE_IMAGE, IDC_IMAGE_FILE, true, L"PNG Files (*.png)\0*.png\0All Files (*.*)\0*.*\0", 1, L"png"},
    {0, IDC_BROWSE_DOCUMENT, IDC_DOCUMENT, false,
     L"Text Files (*.txt;*.csv;*.md;*.log)\0*.txt;*.csv;*.md;*.log\0"
     L"Web Files (*.html;*.xml;*.json)\0*.html;*.xml;*.json\0"
     L"Config Files (*.ini;*.cfg;*.yaml;*.yml)\0*.ini;*.cfg;*.yaml;*.yml\0"
     L"All Supported\0*.txt;*.csv;*.md;*.log;*.html;*.xml;*.json;*.ini;*.cfg;*.yaml;*.yml;*.pdf\0"
     L"PDF Documents (*.pdf)\0*.pdf\0"
     L"All Files (*.*)\0*.*\0",
     4, nullptr},
    {0, IDC_BROWSE_PICTURE, IDC_PICTURE, false,
     L"Images (*.png;*.jpg;*.jpeg;*.gif;*.webp)\0*.png;*.jpg;*.jpeg;*.gif;*.webp\0All Files (*.*)\0*.*\0", 1, nullptr},
    {IDD_SAVE_HISTORY, IDC_BROWSE_HISTORY, IDC_HISTORY_FILE, true,
     L"Conversation Files (*.json)\0*.json\0All Files (*.*)\0*.*\0", 1, L"json"},
    {IDD_LOAD_HISTORY, IDC_BROWSE_HISTORY, IDC_HISTORY_FILE, false,
     L"Conversation Files (*.json)\0*.json\0All Files (*.*)\0*.*\0", 1, nullptr},
};

struct ActionDialog {
    int actionId;
    int dialogId;
};

const ActionDialog kActionDialogs[] = {
    {kParlyInit, IDD_INIT},
    {kParlySetEndpoint, IDD_SET_ENDPOINT},
    {kParlySetModel, IDD_SET_MODEL},
    {kParlySetSystem, IDD_SET_SYSTEM},
    {kParlySetTemp, IDD_SET_TEMPERATURE},
    {kParlySetMaxTokens, IDD_SET_MAX_TOKENS},
    {kParlySetMultiline, IDD_SET_MULTILINE},
    {kParlySend, IDD_SEND},
    {kParlyGetError, IDD_GET_ERROR},
    {kParlyGetModels, IDD_GET_MODELS},
    {kParlySetTimeout, IDD_SET_TIMEOUT},
    {kParlyImageGen, IDD_IMAGE_GEN},
    {kParlySendAsync, IDD_SEND_ASYNC},
    {kParlyImageGenAsync, IDD_IMAGE_GEN_ASYNC},
    {kParlyIsBusy, IDD_IS_BUSY},
    {kParlySetProgress, IDD_SET_PROGRESS},
    {kParlySetStreaming, IDD_SET_STREAMING},
    {kParlySendStream, IDD_SEND},
    {kParlyGetEmbedding, IDD_GET_EMBEDDING},
    {kParlySendWithDoc, IDD_SEND_WITH_DOC},
    {kParlySendWithImage, IDD_SEND_WITH_IMAGE},
    {kParlyGetUsage, IDD_GET_USAGE},
    {kParlySaveHistory, IDD_SAVE_HISTORY},
    {kParlyLoadHistory, IDD_LOAD_HISTORY},
};

// Models the providers served and documented as current when this list was last checked (see the guide).
const char* const kModels[] = {PARLY_OPENAI_DEFAULT_MODEL,
                               "gpt-5.6-terra",
                               "gpt-5.4",
                               PARLY_CLAUDE_DEFAULT_MODEL,
                               "claude-opus-4-7",
                               "claude-haiku-4-5",
                               PARLY_GEMINI_DEFAULT_MODEL,
                               "gemini-pro-latest",
                               "gemini-3.5-flash",
                               PARLY_OLLAMA_DEFAULT_MODEL,
                               "mistral",
                               PARLY_OPENROUTER_DEFAULT_MODEL,
                               "openrouter/auto",
                               PARLY_GROQ_DEFAULT_MODEL,
                               PARLY_GROK_DEFAULT_MODEL,
                               "grok-4.20-non-reasoning"};
// The sizes the image model makes; older sizes a script still names are sent as the nearest of these.
const char* const kSizes[] = {"1024x1024", "1536x1024", "1024x1536", "auto"};
constexpr int kDefaultSizeIndex = 0;
constexpr int kTemperatureSteps = 200;

const DialogForm* FormFor(int dialogId) {
    for (const DialogForm& form : kForms)
        if (form.dialogId == dialogId) return &form;
    return nullptr;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (AsciiLower(*a) != AsciiLower(*b)) return false;
    }
    return *a == *b;
}

std::string ControlText(HWND control) {
    int length = GetWindowTextLengthW(control);
    if (length <= 0) return std::string();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = GetWindowTextW(control, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return WideToUtf8(text);
}

void SetControlText(HWND control, const std::string& utf8) {
    SetWindowTextW(control, Utf8ToWide(utf8).c_str());
}

void AddEntries(HWND combo, const char* const* entries, size_t count) {
    for (size_t i = 0; i < count; ++i)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(entries[i]).c_str()));
}

// The provider list in the table's order, by the labels ParlyInit accepts.
void AddProviderLabels(HWND combo) {
    size_t count = 0;
    const ProviderInfo* rows = ProviderRows(&count);
    for (size_t i = 0; i < count; ++i)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(rows[i].label).c_str()));
}

// CB_ERR when no entry equals text ignoring case.
LRESULT FindEntry(HWND combo, const std::string& text) {
    return SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(Utf8ToWide(text).c_str()));
}

bool SelectedEntry(HWND combo, std::string* text) {
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return false;
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return false;
    std::wstring entry(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(static_cast<size_t>(length));
    *text = WideToUtf8(entry);
    return true;
}

// Hundredths of the leading number, clamped to the trackbar; nonsense reads as 0.
int TemperatureThumb(const char* text) {
    double value = 0;
    if (!ParseLeadingDouble(text, &value) || !std::isfinite(value)) return 0;
    double hundredths = value * 100.0;
    if (hundredths <= 0) return 0;
    if (hundredths >= kTemperatureSteps) return kTemperatureSteps;
    return static_cast<int>(hundredths);
}

bool TruthSelectsFalse(FieldKind kind, const char* text) {
    if (kind == FieldKind::StreamingTruthList)
        return !*text || !(EqualsIgnoringCase(text, "true") || std::strcmp(text, "1") == 0);
    return EqualsIgnoringCase(text, "false") || std::strcmp(text, "0") == 0;
}

void FillField(HWND dialog, const Field& field, const char* buffer) {
    HWND control = GetDlgItem(dialog, field.control);
    // The system's typing limit (30000 characters) would stop an author extending a long text.
    if (field.kind == FieldKind::Text || field.kind == FieldKind::Temperature)
        SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
    if (field.kind == FieldKind::ModelCombo) SendMessageW(control, CB_LIMITTEXT, 0, 0);
    switch (field.kind) {
        case FieldKind::Text:
            if (*buffer) SetControlText(control, buffer);
            else if (field.whenEmpty) SetControlText(control, field.whenEmpty);
            break;
        case FieldKind::ProviderList:
            AddProviderLabels(control);
            // No match leaves nothing selected, so OK keeps the slot (e.g. a [Variable]) as it was.
            SendMessageW(control, CB_SETCURSEL, *buffer ? static_cast<WPARAM>(FindEntry(control, buffer)) : 0, 0);
            break;
        case FieldKind::ModelCombo:
            AddEntries(control, kModels, std::size(kModels));
            if (*buffer) SetControlText(control, buffer);
            else SendMessageW(control, CB_SETCURSEL, 0, 0);
            break;
        case FieldKind::Temperature: {
            HWND bar = GetDlgItem(dialog, IDC_TEMPERATURE_BAR);
            SendMessageW(bar, TBM_SETRANGE, TRUE, MAKELPARAM(0, kTemperatureSteps));
            SetControlText(control, *buffer ? buffer : "0.7");
            SendMessageW(bar, TBM_SETPOS, TRUE, *buffer ? TemperatureThumb(buffer) : 70);
            break;
        }
        case FieldKind::TruthList:
        case FieldKind::StreamingTruthList: {
            static const char* const kTruth[] = {"True", "False"};
            AddEntries(control, kTruth, 2);
            SendMessageW(control, CB_SETCURSEL, TruthSelectsFalse(field.kind, buffer) ? 1 : 0, 0);
            break;
        }
        case FieldKind::SizeList: {
            AddEntries(control, kSizes, std::size(kSizes));
            LRESULT index = *buffer ? FindEntry(control, buffer) : CB_ERR;
            // A size the list does not offer (an older size, a [Variable]) is kept as an entry of its own.
            if (*buffer && index == CB_ERR) {
                const char* const kept[] = {buffer};
                AddEntries(control, kept, 1);
                index = FindEntry(control, buffer);
            }
            SendMessageW(control, CB_SETCURSEL, index == CB_ERR ? kDefaultSizeIndex : static_cast<WPARAM>(index), 0);
            break;
        }
    }
}

void ReadField(HWND dialog, const Field& field, std::string* buffer) {
    HWND control = GetDlgItem(dialog, field.control);
    std::string text;
    switch (field.kind) {
        case FieldKind::Text:
        case FieldKind::ModelCombo:
        case FieldKind::Temperature:
            text = ControlText(control);
            break;
        case FieldKind::ProviderList:
        case FieldKind::SizeList:
            if (!SelectedEntry(control, &text)) return;
            break;
        case FieldKind::TruthList:
        case FieldKind::StreamingTruthList:
            text = SendMessageW(control, CB_GETCURSEL, 0, 0) == 0 ? "True" : "False";
            break;
    }
    *buffer = std::move(text);
}

// The chosen path, or "" when the author cancelled.
std::string BrowseForFile(HWND dialog, const BrowseButton& browse) {
    wchar_t file[kFileNameChars] = {};
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dialog;
    ofn.lpstrFile = file;
    ofn.nMaxFile = kFileNameChars;
    ofn.lpstrFilter = browse.filter;
    ofn.nFilterIndex = static_cast<DWORD>(browse.filterIndex);
    ofn.lpstrDefExt = browse.defaultExtension;
    // The host's current directory is not ours to move.
    if (browse.save) {
        ofn.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_EXPLORER;
        if (!GetSaveFileNameW(&ofn)) return std::string();
    } else {
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
        if (!GetOpenFileNameW(&ofn)) return std::string();
    }
    return WideToUtf8(file);
}

void ShowTemperature(HWND dialog) {
    LRESULT position = SendDlgItemMessageW(dialog, IDC_TEMPERATURE_BAR, TBM_GETPOS, 0, 0);
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(position) / 100.0);
    SetControlText(GetDlgItem(dialog, IDC_TEMPERATURE), text);
}

struct EditDialogData {
    const DialogForm* form;
    EditBuffers* buffers;
};

void HandleCommand(HWND dialog, const EditDialogData& data, int command) {
    switch (command) {
        case IDOK:
            for (const Field& field : data.form->fields)
                ReadField(dialog, field, &data.buffers->slot[field.buffer]);
            EndDialog(dialog, IDOK);
            break;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            break;
        case IDC_PICK_VARIABLE:
            if (data.form->variableEdit) PickVariable(GetDlgItem(dialog, data.form->variableEdit));
            break;
        case IDC_SHOW_KEY: {
            bool shown = IsDlgButtonChecked(dialog, IDC_SHOW_KEY) == BST_CHECKED;
            HWND key = GetDlgItem(dialog, IDC_API_KEY);
            SendMessageW(key, EM_SETPASSWORDCHAR, shown ? 0 : L'*', 0);
            InvalidateRect(key, nullptr, TRUE);
            break;
        }
        case IDC_TEST_CONNECTION:
            TestConnection(dialog);
            break;
    }
    for (const ExtraPick& pick : kExtraPicks)
        if (pick.button == command) PickVariable(GetDlgItem(dialog, pick.edit));
    for (const BrowseButton& browse : kBrowseButtons) {
        if (browse.button != command || (browse.dialogId && browse.dialogId != data.form->dialogId)) continue;
        std::string path = BrowseForFile(dialog, browse);
        if (!path.empty()) SetControlText(GetDlgItem(dialog, browse.edit), path);
        break;
    }
}

INT_PTR CALLBACK EditDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (INT_PTR handled = PreHandleDialogMessage(dialog, message, wParam, lParam)) return handled;
        auto* data = reinterpret_cast<EditDialogData*>(GetWindowLongPtrW(dialog, DWLP_USER));
        switch (message) {
            case WM_INITDIALOG: {
                data = reinterpret_cast<EditDialogData*>(lParam);
                SetWindowLongPtrW(dialog, DWLP_USER, lParam);
                SetPropW(dialog, kDialogIdProperty,
                         reinterpret_cast<HANDLE>(static_cast<INT_PTR>(data->form->dialogId)));
                for (const Field& field : data->form->fields)
                    FillField(dialog, field, data->buffers->At(field.buffer));
                if (data->form->dialogId == IDD_INIT) InvalidateRect(dialog, nullptr, TRUE);
                return TRUE;
            }
            case WM_COMMAND:
                if (!data) return FALSE;
                // Only clicks and menu/accelerator commands act; edit and list notifications do not.
                if (HIWORD(wParam) != BN_CLICKED) return FALSE;
                HandleCommand(dialog, *data, LOWORD(wParam));
                return TRUE;
            case WM_HSCROLL:
                if (reinterpret_cast<HWND>(lParam) != GetDlgItem(dialog, IDC_TEMPERATURE_BAR)) return FALSE;
                ShowTemperature(dialog);
                return TRUE;
            case WM_DESTROY:
                RemovePropW(dialog, kDialogIdProperty);
                return FALSE;
        }
    } catch (...) {
        // An edit that cannot complete leaves the dialog open; nothing may unwind through the system.
    }
    return FALSE;
}

INT_PTR RunEditDialog(HWND owner, EditDialogData& data) {
    return DialogBoxParamW(moduleInstance, MAKEINTRESOURCEW(data.form->dialogId), owner, EditDialogProc,
                           reinterpret_cast<LPARAM>(&data));
}

void EnsureCommonControls() {
    static bool done = false;
    if (done) return;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    done = InitCommonControlsEx(&controls) != FALSE;
}

int ParameterCount(int actionId) {
    const ActionEntry* action = FindAction(actionId);
    int count = action ? action->count : 0;
    return count < kBufferCount ? count : kBufferCount;
}

}  // namespace

bool EditAction(int actionId, char** params) {
    EnsureSharedDrawingObjects();
    EnsureCommonControls();

    EditBuffers buffers;
    const int slots = params ? ParameterCount(actionId) : 0;
    // A slot in the host's ANSI code page goes back in that code page, so OK never changes its encoding.
    bool ansi[kBufferCount] = {};
    for (int n = 0; n < slots; ++n) {
        if (!params[n]) continue;
        ansi[n] = !IsValidUtf8(params[n]);
        buffers.slot[n] = HostTextToUtf8(params[n]);
    }

    HWND owner = GetActiveWindow();
    if (!owner) owner = hostWindow;
    if (actionId < kFirstActionId || actionId > kLastActionId) return true;

    INT_PTR result = IDOK;
    if (actionId == kParlyReset) {
        result = MessageBoxW(hostWindow, L"Clear conversation history?", L"Parly Reset", MB_ICONQUESTION | MB_OKCANCEL);
    } else {
        for (const ActionDialog& entry : kActionDialogs) {
            if (entry.actionId != actionId) continue;
            EditDialogData data = {FormFor(entry.dialogId), &buffers};
            result = RunEditDialog(owner, data);
            if (result == IDOK)
                for (const Field& field : data.form->fields)
                    if (field.buffer < slots) {
                        const std::string& text = buffers.slot[field.buffer];
                        StoreHostText(&params[field.buffer], ansi[field.buffer] ? Utf8ToAnsi(text) : text);
                    }
            break;
        }
    }

    if (owner) {
        SetForegroundWindow(owner);
        BringWindowToTop(owner);
        SetActiveWindow(owner);
    }
    return result == IDOK;
}
