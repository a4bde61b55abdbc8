#include "session/history_file.h"

#include <windows.h>

#include <string>

#include "features/media.h"
#include "net/encoding.h"
#include "net/win_holders.h"
#include "session/history_json.h"
#include "session/settings.h"

namespace {

// The file's bytes, or false with *error set (the path named in it).
bool ReadConversationFile(const std::string& path, std::string* text, std::string* error) {
    ScopedHandle file(CreateFileW(HostPathToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD code = GetLastError();
        *error = (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "History file not found: "
                                                                                : "Cannot open history file: ") +
                 path;
        return false;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) {
        *error = "Cannot open history file: " + path;
        return false;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > kMaxConversationFileBytes) {
        *error = "History file is larger than " + std::to_string(kMaxConversationFileBytes >> 20) + " MB: " + path;
        return false;
    }
    text->assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text->empty() && (!ReadFile(file.get(), text->data(), static_cast<DWORD>(text->size()), &got, nullptr) ||
                           got != text->size())) {
        *error = "Failed to read history file: " + path;
        return false;
    }
    return true;
}

}  // namespace

void RunGetUsage(const Params& p) {
    const ChatUsage usage = ReadUsage();
    p.write(0, usage.inputTokens);
    p.write(1, usage.outputTokens);
    p.write(2, usage.stopReason);
}

void RunSaveHistory(const Params& p) {
    const std::string path = p.text(0);
    if (path.empty()) {
        ReplaceLastError("History file path cannot be empty");
        return p.write(1, "ERROR");
    }
    std::string text;
    {
        std::lock_guard<std::mutex> hold(SessionLock());
        text = WriteConversationJson(g_session.settings.systemPrompt, g_session.conversation.history);
    }
    // A file ParlyLoadHistory would refuse is no save: the earlier file stays.
    if (text.size() > kMaxConversationFileBytes) {
        ReplaceLastError("History file would be larger than " + std::to_string(kMaxConversationFileBytes >> 20) +
                         " MB: " + path);
        return p.write(1, "ERROR");
    }
    // Written beside the target and then moved over it, so a failure leaves any earlier file whole.
    const std::string failure = WriteWholeFile(path, text.data(), text.size());
    if (!failure.empty()) {
        ReplaceLastError(failure);
        return p.write(1, "ERROR");
    }
    p.write(1, "OK");
}

void RunLoadHistory(const Params& p) {
    const std::string path = p.text(0);
    std::string text, error;
    SavedConversation saved;
    if (path.empty()) {
        error = "History file path cannot be empty";
    } else if (ReadConversationFile(path, &text, &error) && !ReadConversationJson(text, &saved, &error)) {
        error = "Cannot load history file (" + error + "): " + path;
    }
    text = std::string();
    if (!error.empty()) {
        ReplaceLastError(error);
        return p.write(1, "ERROR");
    }
    {
        // A new conversation: an answer still on its way from before the load joins none of it.
        std::lock_guard<std::mutex> hold(SessionLock());
        ClearHistoryLocked();
        g_session.settings.systemPrompt = std::move(saved.systemPrompt);
        g_session.conversation.history = std::move(saved.history);
    }
    p.write(1, "OK");
}
