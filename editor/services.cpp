// The "..." variable picker and the Init dialog's connection test.
#include <windows.h>

#include <cstring>
#include <string>

#include "editor/resource.h"
#include "editor/services.h"
#include "net/encoding.h"
#include "net/json.h"
#include "plugin/host.h"
#include "providers/registry.h"
#include "session/settings.h"

namespace {

constexpr size_t kPickBlockSize = kPickVariableSlotSize;
constexpr int kProviderNameChars = 63;
constexpr int kKeyChars = 511;

void Notify(HWND owner, const std::string& text, const wchar_t* caption, UINT icon) {
    MessageBoxW(owner, Utf8ToWide(text).c_str(), caption, MB_OK | icon);
}

std::string WindowTextUpTo(HWND window, int chars) {
    std::wstring text(static_cast<size_t>(chars) + 1, L'\0');
    int got = GetWindowTextW(window, text.data(), chars + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return WideToUtf8(text);
}

// The bare name without its surrounding square brackets (either may be missing).
std::string BareVariableName(std::string name) {
    if (!name.empty() && name.front() == '[') name.erase(0, 1);
    if (!name.empty() && name.back() == ']') name.pop_back();
    return name;
}

// The host's answer, never read past the end of the block it handed back.
std::string PickedName(const char* block) {
    SIZE_T size = GlobalSize(const_cast<char*>(block));
    if (size == 0) size = kPickBlockSize;
    return HostTextToUtf8(std::string(block, strnlen(block, size)));
}

std::string SelectedProvider(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_PROVIDER);
    LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return std::string();
    LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length > kProviderNameChars) return std::string();
    std::wstring name(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(name.data()));
    name.resize(static_cast<size_t>(length));
    return WideToUtf8(name);
}

// Runs one exchange on a copy of the settings with the dialog's provider and key; the session is never touched.
void RunConnectionTest(HWND dialog, const std::string& providerName, const std::string& key) {
    SessionSettings trial = CopySettings();
    std::string error;
    if (!SelectProvider(providerName, key, &trial, &error)) {
        Notify(dialog, "Init failed: " + error, L"Test Connection", MB_ICONERROR);
        return;
    }
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    ChatOutcome outcome = RunChat(trial, ConversationHistory(), kTestPrompt);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    std::string reply = outcome.ok ? FlattenLineBreaks(outcome.answer, trial.multiline) : std::string();
    if (reply.empty()) {
        Notify(dialog, "Connection FAILED!\n\n" + outcome.error, L"Test Connection", MB_ICONERROR);
        return;
    }
    Notify(dialog, "Connection OK!\n\nProvider: " + providerName + "\nModel: " + ModelToSend(trial) + "\n\nAI replied: " + reply,
           L"Test Connection", MB_ICONINFORMATION);
}

}  // namespace

void PickVariable(HWND edit) {
    if (!HostInterfaceAccess) {
        MessageBoxW(GetParent(edit), L"Variable picker not available in this context.", L"Parly Plugin",
                    MB_OK | MB_ICONWARNING);
        return;
    }
    std::string name = BareVariableName(WindowTextUpTo(edit, kPickBlockSize - 1));
    char* block = static_cast<char*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, kPickBlockSize));
    if (!block) return;
    // Never hand the host half a UTF-8 character.
    const size_t n = Utf8CutLength(name, kPickBlockSize - 1);
    std::memcpy(block, name.data(), n);

    char* slot = block;
    bool picked = HostInterfaceAccess(kInterfacePickVariable, &slot) != 0;
    try {
        if (picked && slot && *slot) SetWindowTextW(edit, Utf8ToWide("[" + PickedName(slot) + "]").c_str());
    } catch (...) {
        if (slot) GlobalFree(slot);
        throw;
    }
    // Whatever block the slot holds now is ours to free; the host may have swapped it.
    if (slot) GlobalFree(slot);
}

void TestConnection(HWND dialog) {
    std::string providerName = SelectedProvider(dialog);
    std::string key = WindowTextUpTo(GetDlgItem(dialog, IDC_API_KEY), kKeyChars);
    if (providerName.empty()) {
        Notify(dialog, "Please select a provider first.", L"Test Connection", MB_ICONWARNING);
        return;
    }
    try {
        RunConnectionTest(dialog, providerName, key);
    } catch (...) {
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        throw;
    }
}
