#include "providers/registry.h"

#include <exception>

#include "net/json.h"
#include "providers/chat_protocol.h"
#include "net/http.h"

namespace {

struct ProviderName {
    const char* name;
    int kind;
};

const ProviderName kNames[] = {
    {"openai", kProviderOpenAI},   {"claude", kProviderClaude}, {"anthropic", kProviderClaude},
    {"google", kProviderGemini},   {"gemini", kProviderGemini}, {"ollama", kProviderOllama},
    {"openrouter", kProviderOpenRouter}, {"groq", kProviderGroq}, {"grok", kProviderGrok},
    {"xai", kProviderGrok},
};

const char* DefaultModel(int kind) {
    switch (kind) {
        case kProviderOpenAI: return "gpt-4o";
        case kProviderClaude: return "claude-sonnet-4-20250514";
        case kProviderGemini: return "gemini-1.5-pro";
        case kProviderOllama: return "llama3";
        case kProviderOpenRouter: return "google/gemma-3-1b-it:free";
        case kProviderGroq: return "llama-3.3-70b-versatile";
        case kProviderGrok: return "grok-beta";
    }
    return "";
}

ChatOutcome Deliver(ChatRequest&& request, int provider, int timeoutSeconds) {
    if (!request.ok) return ChatOutcome{false, "", request.error};
    HttpResult reply = request.isGet ? HttpTransport::Get(request.target, request.headers, timeoutSeconds)
                                     : HttpTransport::Post(request.target, request.body, request.headers, timeoutSeconds);
    RecycleBodyBuffer(std::move(request.body));
    return InterpretChatReply(provider, reply);
}

}  // namespace

bool InitProvider(const std::string& name, const std::string& apiKey) {
    std::string lower = name;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    int kind = kProviderNone;
    for (const ProviderName& n : kNames)
        if (lower == n.name) {
            kind = n.kind;
            break;
        }
    if (kind == kProviderNone) {
        ReplaceLastError("Unknown provider: " + name + ". Use: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok");
        return false;
    }
    // A missing key changes nothing but lastError, so no earlier key can reach the newly named provider.
    if (kind != kProviderOllama && apiKey.empty()) {
        ReplaceLastError("API key is required for " + name);
        return false;
    }
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.provider = kind;
    g_session.apiKey = apiKey;
    g_session.model = DefaultModel(kind);
    if (g_session.endpoint.empty() && kind == kProviderOllama) g_session.endpoint = "http://localhost:11434";
    ClearHistoryLocked();
    g_session.lastError.clear();
    return true;
}

std::string SendChat(const std::string& prompt, std::string* raw) {
    ChatRequest request;
    int provider, timeout;
    bool multiline;
    unsigned conversation;
    {
        // The body is built from the live history under the lock, without copying it.
        std::lock_guard<std::mutex> hold(SessionLock());
        provider = g_session.provider;
        multiline = g_session.multiline;
        timeout = g_session.timeoutSeconds;
        conversation = ConversationLocked();
        request = BuildChatRequest(g_session, prompt);
    }
    ChatOutcome outcome = Deliver(std::move(request), provider, timeout);
    if (raw) *raw = outcome.ok ? outcome.answer : std::string();
    return CommitChat(outcome, prompt, multiline, conversation);
}

ChatOutcome RunChat(const SessionSettings& settings, const std::string& prompt) {
    return Deliver(BuildChatRequest(settings, prompt), settings.provider, settings.timeoutSeconds);
}

std::string CommitChat(const ChatOutcome& outcome, const std::string& prompt, bool multiline, unsigned conversation) {
    if (!outcome.ok) {
        ReplaceLastError(outcome.error);
        return "";
    }
    // An answer from before ParlyInit, ParlyReset, ParlyClearHistory or unload is still delivered, but joins no history.
    AppendExchange(conversation, prompt, outcome.answer);
    return FlattenLineBreaks(outcome.answer, multiline);
}

std::string ListModels() {
    SessionSettings s = SnapshotSettings(false);
    if (s.provider < kProviderOpenAI || s.provider > kProviderGrok) {
        ReplaceLastError("No provider initialized");
        return "";
    }
    if (const char* list = FixedModelList(s.provider)) return list;
    ChatRequest request = BuildOllamaTagsRequest(s);
    if (!request.ok) {
        ReplaceLastError("Failed to get Ollama models: " + request.error);
        return "";
    }
    HttpResult reply = HttpTransport::Get(request.target, request.headers, s.timeoutSeconds);
    ChatOutcome outcome = InterpretOllamaTags(reply);
    if (!outcome.ok) {
        ReplaceLastError(outcome.error);
        return "";
    }
    return outcome.answer;
}
