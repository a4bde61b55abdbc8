#include "providers/registry.h"

#include <exception>

#include "net/ascii.h"
#include "net/json.h"
#include "providers/chat_protocol.h"
#include "providers/provider_table.h"
#include "net/http.h"

namespace {

ChatOutcome Deliver(ChatRequest&& request, int provider, int timeoutSeconds) {
    if (!request.ok) return ChatOutcome{false, "", request.error};
    HttpResult reply = request.isGet ? HttpTransport::Get(request.target, request.headers, timeoutSeconds)
                                     : HttpTransport::Post(request.target, request.body, request.headers, timeoutSeconds);
    RecycleBodyBuffer(std::move(request.body));
    return InterpretChatReply(provider, reply);
}

}  // namespace

bool SelectProvider(const std::string& name, const std::string& apiKey, SessionSettings* s, std::string* error) {
    const ProviderInfo* p = FindProviderByName(AsciiLower(name));
    if (!p) {
        *error = "Unknown provider: " + name + ". Use: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok";
        return false;
    }
    // A missing key changes nothing, so no earlier key can reach the newly named provider.
    if (p->needsKey && apiKey.empty()) {
        *error = "API key is required for " + name;
        return false;
    }
    s->provider = p->kind;
    s->apiKey = apiKey;
    s->model = p->defaultModel;
    if (s->endpoint.empty() && p->defaultEndpoint) s->endpoint = p->defaultEndpoint;
    return true;
}

bool InitProvider(const std::string& name, const std::string& apiKey) {
    std::string error;
    std::lock_guard<std::mutex> hold(SessionLock());
    if (!SelectProvider(name, apiKey, &g_session.settings, &error)) {
        g_session.lastError = error;
        return false;
    }
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
        provider = g_session.settings.provider;
        multiline = g_session.settings.multiline;
        timeout = g_session.settings.timeoutSeconds;
        conversation = ConversationLocked();
        request = BuildChatRequest(g_session.settings, g_session.conversation.history, prompt);
    }
    ChatOutcome outcome = Deliver(std::move(request), provider, timeout);
    if (raw) *raw = outcome.ok ? outcome.answer : std::string();
    return CommitChat(outcome, prompt, multiline, conversation);
}

ChatOutcome RunChat(const SessionSettings& settings, const ConversationHistory& history, const std::string& prompt) {
    return Deliver(BuildChatRequest(settings, history, prompt), settings.provider, settings.timeoutSeconds);
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
    SessionSettings s = CopySettings();
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p) {
        ReplaceLastError("No provider initialized");
        return "";
    }
    if (const char* list = FixedModelList(p->kind)) return list;
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
