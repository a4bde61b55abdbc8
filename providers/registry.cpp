#include "providers/registry.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <set>
#include <vector>

#include "net/ascii.h"
#include "net/encoding.h"
#include "net/json.h"
#include "providers/chat_protocol.h"
#include "providers/model_list.h"
#include "providers/model_rules.h"
#include "providers/provider_table.h"
#include "net/http.h"

namespace {

// Chat models of the provider listed in one listing, within the deadline; empty with *error set on a failure.
std::vector<std::string> ListChatModels(const SessionSettings& s, std::chrono::steady_clock::time_point deadline,
                                        std::string* error);

// Most models an error names as what the provider serves now.
constexpr size_t kModelsNamed = 5;

// The sentence naming the models the provider serves now, newest first; empty when the listing failed or named none.
std::string ServedModelsText(const ProviderInfo& p, const std::vector<std::string>& listed) {
    const std::vector<std::string> newest = NewestModels(listed, kModelsNamed);
    if (newest.empty()) return std::string();
    std::string text = std::string("Chat models ") + p.label + " lists now: ";
    for (size_t i = 0; i < newest.size(); ++i) text += (i ? ", " : "") + newest[i];
    return text + ".";
}

}  // namespace

bool AfterRetiredModel(const SessionSettings& s, const std::string& model,
                       std::chrono::steady_clock::time_point deadline, std::string* served) {
    served->clear();
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p) return false;
    std::string listError;
    const std::vector<std::string> listed = ListChatModels(s, deadline, &listError);
    // Only the plug-in's own default is replaced; a model the script chose is sent as chosen.
    const std::string successor = s.modelChosen ? std::string() : PickSuccessor(model, listed);
    if (successor.empty()) {
        *served = ServedModelsText(*p, listed);
        return false;
    }
    RememberHealedDefault(s.provider, successor);
    return true;
}

namespace {

// Sends requests made by `build` until one is not a refusal of a member we add on our own: a refused member
// is remembered for the model and the request resent once without it (or under the name the provider gives).
// Each member is resent at most once, so at most one request per member follows the first. A refusal of the
// plug-in's own default model as unknown or retired reads the provider's listing and, when a successor of the
// same family is listed, makes it the default and sends once more; every request and the listing share the one
// time-out. `s` holds the provider, model, key and time-out the requests are built with.
template <typename Build>
ChatOutcome Deliver(const Build& build, const SessionSettings& s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.timeoutSeconds);
    unsigned resent = 0;
    bool healed = false;
    for (;;) {
        const std::string model = ModelToSend(s);
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
            reply.error = DescribeHttpFailure(reply, !request.isGet, request.target.host, s.timeoutSeconds);
        RecycleBodyBuffer(std::move(request.body));
        const ParamRefusal refusal = ReadParamRefusal(reply.statusCode, reply.body);
        if (refusal.param && !(resent & refusal.param) && RefusalApplies(request.shape, refusal)) {
            RememberParamRefusal(s.provider, model, refusal);
            resent |= refusal.param;
            continue;
        }
        ChatOutcome outcome = InterpretChatReply(s.provider, reply);
        if (outcome.ok) return outcome;
        outcome.error = WithHint(outcome.error, TransportHint(s.provider, reply, request.target));
        if (healed || !IsRetiredModelRefusal(s.provider, reply.statusCode, reply.body)) return outcome;
        std::string served;
        if (!AfterRetiredModel(s, model, deadline, &served)) {
            outcome.error = WithHint(outcome.error, served);
            return outcome;
        }
        healed = true;
        resent = 0;
    }
}

std::vector<std::string> ListChatModels(const SessionSettings& s, std::chrono::steady_clock::time_point deadline,
                                        std::string* error) {
    std::vector<std::string> out;
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p) {
        *error = "No provider initialized";
        return out;
    }
    if (!p->listing.path) {
        ChatRequest request = BuildOllamaTagsRequest(s);
        const int seconds = SecondsLeft(deadline);
        if (!request.ok || seconds == 0) {
            *error = "Failed to get Ollama models: " + (request.ok ? std::string("the time-out ran out") : request.error);
            return out;
        }
        const HttpResult reply = HttpTransport::Get(request.target, request.headers, seconds);
        const ChatOutcome tags = InterpretOllamaTags(reply);
        if (!tags.ok) {
            *error = WithHint(tags.error, TransportHint(s.provider, reply, request.target));
            return out;
        }
        for (size_t at = 0; at < tags.answer.size();) {
            const size_t comma = std::min(tags.answer.find(',', at), tags.answer.size());
            if (comma > at) out.push_back(tags.answer.substr(at, comma - at));
            at = comma + 1;
        }
        return out;
    }
    std::string cursor;
    std::set<std::string> listed, followed;  // a listing names each model once, and a cursor leads one way
    for (int page = 0; page < kMaxModelPages; ++page) {
        const int seconds = SecondsLeft(deadline);
        if (seconds == 0) {
            *error = std::string("Failed to get ") + p->label + " models: the listing took longer than the time-out";
            return std::vector<std::string>();
        }
        ChatRequest request = BuildModelListRequest(s, cursor);
        if (!request.ok) {
            *error = request.error;
            return std::vector<std::string>();
        }
        HttpResult reply = HttpTransport::Get(request.target, request.headers, seconds);
        // A later page's time-out is what was left of the script's; the text names the script's.
        if (reply.failure == HttpFailure::TimedOut)
            reply.error = DescribeHttpFailure(reply, false, request.target.host, s.timeoutSeconds);
        const ModelPage read = ReadModelListPage(s.provider, reply);
        if (!read.ok) {
            *error = WithHint(read.error, TransportHint(s.provider, reply, request.target));
            return std::vector<std::string>();
        }
        for (const std::string& id : read.models)
            if (listed.insert(id).second) out.push_back(id);
        // A server that hands back a cursor already followed would page round and round.
        followed.insert(cursor);
        if (read.cursor.empty() || followed.count(read.cursor)) break;
        cursor = read.cursor;
    }
    return out;
}

// The key an empty ParlyInit key stands for: the first of the row's environment variables that is set.
std::string KeyFromEnvironment(const ProviderInfo& p) {
    for (const char* name : p.keyVariables) {
        const std::string value = name ? EnvironmentText(name) : std::string();
        // A variable set from a file or a console often keeps a blank or a line end that no key holds.
        const size_t first = value.find_first_not_of(" \t\r\n");
        if (first != std::string::npos) return value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
    }
    return std::string();
}

// " (pass it to ParlyInit, or set OPENAI_API_KEY)": where a missing key may come from.
std::string KeySources(const ProviderInfo& p) {
    std::string names;
    for (const char* name : p.keyVariables)
        if (name) names += (names.empty() ? "" : " or ") + std::string(name);
    return names.empty() ? std::string() : " (pass it to ParlyInit, or set " + names + ")";
}

}  // namespace

bool SelectProvider(const std::string& name, const std::string& apiKey, SessionSettings* s, std::string* error) {
    const ProviderInfo* p = FindProviderByName(AsciiLower(name));
    if (!p) {
        *error = "Unknown provider: " + name + ". Use: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok";
        return false;
    }
    // The environment's key is read now, and only the named provider's own variables.
    const std::string key = p->needsKey && apiKey.empty() ? KeyFromEnvironment(*p) : apiKey;
    // A missing key changes nothing, so no earlier key can reach the newly named provider.
    if (p->needsKey && key.empty()) {
        *error = "API key is required for " + name + KeySources(*p);
        return false;
    }
    s->provider = p->kind;
    s->apiKey = key;
    s->model = p->defaultModel;
    s->modelChosen = false;
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
    return ChatStart{s.provider, s.multiline, s.timeoutSeconds, ModelToSend(s), ConversationLocked()};
}

std::string SendChat(const std::string& prompt, std::string* raw, const AttachmentRef& attachment) {
    const ChatStart start = BeginLiveChat();
    // The body is built from the live history under the lock, without copying it.
    auto build = [&] {
        std::lock_guard<std::mutex> hold(SessionLock());
        return BuildChatRequest(g_session.settings, g_session.conversation.history, prompt, false, attachment);
    };
    ChatOutcome outcome = Deliver(build, CopySettings());
    if (raw) *raw = outcome.ok ? outcome.answer : std::string();
    return CommitChat(outcome, prompt, start.multiline, start.conversation, attachment);
}

ChatOutcome RunChat(const SessionSettings& settings, const ConversationHistory& history, const std::string& prompt) {
    auto build = [&] { return BuildChatRequest(settings, history, prompt); };
    return Deliver(build, settings);
}

std::string CommitChat(const ChatOutcome& outcome, const std::string& prompt, bool multiline, unsigned conversation,
                       const AttachmentRef& attachment) {
    if (!outcome.ok) {
        ReplaceLastError(outcome.error);
        return "";
    }
    // An answer from before ParlyInit, ParlyReset, ParlyClearHistory or unload is still delivered, but joins no history.
    AppendExchange(conversation, prompt, outcome.answer, attachment);
    StoreUsage(outcome.usage);
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
        std::string error, list;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.timeoutSeconds);
        for (const std::string& id : ListChatModels(s, deadline, &error)) list += (list.empty() ? "" : ",") + id;
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
        ReplaceLastError(WithHint(outcome.error, TransportHint(s.provider, reply, request.target)));
        return "";
    }
    return outcome.answer;
}
