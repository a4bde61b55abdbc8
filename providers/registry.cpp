#include "providers/registry.h"

#include <chrono>
#include <exception>
#include <set>

#include "net/ascii.h"
#include "net/json.h"
#include "providers/chat_protocol.h"
#include "providers/model_list.h"
#include "providers/model_rules.h"
#include "providers/provider_table.h"
#include "net/http.h"

namespace {

// Sends requests made by `build` until one is not a refusal of a member we add on our own: a refused member
// is remembered for the model and the request resent once without it (or under the name the provider gives).
// Each member is resent at most once, so at most one request per member follows the first; all of them share
// the one time-out.
template <typename Build>
ChatOutcome Deliver(const Build& build, int provider, const std::string& model, int timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    unsigned resent = 0;
    for (;;) {
        ChatRequest request = build();
        if (!request.ok) return ChatOutcome{false, "", request.error};
        const int seconds = SecondsLeft(deadline);
        HttpResult reply;
        if (seconds == 0) {
            reply.failure = HttpFailure::TimedOut;
        } else {
            reply = request.isGet ? HttpTransport::Get(request.target, request.headers, seconds)
                                  : HttpTransport::Post(request.target, request.body, request.headers, seconds);
        }
        // A resend's time-out is what was left of the script's; the text names the script's.
        if (reply.failure == HttpFailure::TimedOut)
            reply.error = DescribeHttpFailure(reply, !request.isGet, request.target.host, timeoutSeconds);
        RecycleBodyBuffer(std::move(request.body));
        const ParamRefusal refusal = ReadParamRefusal(reply.statusCode, reply.body);
        if (refusal.param && !(resent & refusal.param) && RefusalApplies(request.shape, refusal)) {
            RememberParamRefusal(provider, model, refusal);
            resent |= refusal.param;
            continue;
        }
        return InterpretChatReply(provider, reply);
    }
}

// Every page of a provider's own listing, joined by commas; "" with *error set on a failure.
std::string ListProviderModels(const SessionSettings& s, std::string* error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.timeoutSeconds);
    std::string out, cursor;
    std::set<std::string> listed, followed;  // a listing names each model once, and a cursor leads one way
    for (int page = 0; page < kMaxModelPages; ++page) {
        const int seconds = SecondsLeft(deadline);
        if (seconds == 0) {
            *error = std::string("Failed to get ") + FindProvider(s.provider)->label +
                     " models: the listing took longer than the time-out";
            return "";
        }
        ChatRequest request = BuildModelListRequest(s, cursor);
        if (!request.ok) {
            *error = request.error;
            return "";
        }
        HttpResult reply = HttpTransport::Get(request.target, request.headers, seconds);
        // A later page's time-out is what was left of the script's; the text names the script's.
        if (reply.failure == HttpFailure::TimedOut)
            reply.error = DescribeHttpFailure(reply, false, request.target.host, s.timeoutSeconds);
        const ModelPage read = ReadModelListPage(s.provider, reply);
        if (!read.ok) {
            *error = read.error;
            return "";
        }
        for (const std::string& id : read.models) {
            if (!listed.insert(id).second) continue;
            if (!out.empty()) out += ',';
            out += id;
        }
        // A server that hands back a cursor already followed would page round and round.
        followed.insert(cursor);
        if (read.cursor.empty() || followed.count(read.cursor)) break;
        cursor = read.cursor;
    }
    return out;
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

ChatStart BeginLiveChat() {
    std::lock_guard<std::mutex> hold(SessionLock());
    const SessionSettings& s = g_session.settings;
    return ChatStart{s.provider, s.multiline, s.timeoutSeconds, s.model, ConversationLocked()};
}

std::string SendChat(const std::string& prompt, std::string* raw, const AttachmentRef& attachment) {
    const ChatStart start = BeginLiveChat();
    // The body is built from the live history under the lock, without copying it.
    auto build = [&] {
        std::lock_guard<std::mutex> hold(SessionLock());
        return BuildChatRequest(g_session.settings, g_session.conversation.history, prompt, false, attachment);
    };
    ChatOutcome outcome = Deliver(build, start.provider, start.model, start.timeoutSeconds);
    if (raw) *raw = outcome.ok ? outcome.answer : std::string();
    return CommitChat(outcome, prompt, start.multiline, start.conversation, attachment);
}

ChatOutcome RunChat(const SessionSettings& settings, const ConversationHistory& history, const std::string& prompt) {
    auto build = [&] { return BuildChatRequest(settings, history, prompt); };
    return Deliver(build, settings.provider, settings.model, settings.timeoutSeconds);
}

std::string CommitChat(const ChatOutcome& outcome, const std::string& prompt, bool multiline, unsigned conversation,
                       const AttachmentRef& attachment) {
    if (!outcome.ok) {
        ReplaceLastError(outcome.error);
        return "";
    }
    // An answer from before ParlyInit, ParlyReset, ParlyClearHistory or unload is still delivered, but joins no history.
    AppendExchange(conversation, prompt, outcome.answer, attachment);
    return FlattenLineBreaks(outcome.answer, multiline);
}

std::string ListModels() {
    SessionSettings s = CopySettings();
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p) {
        ReplaceLastError("No provider initialized");
        return "";
    }
    if (p->listing.path) {
        std::string error;
        std::string list = ListProviderModels(s, &error);
        if (!error.empty()) ReplaceLastError(error);
        return list;
    }
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
