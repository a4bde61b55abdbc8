#include "providers/chat_protocol.h"

#include <mutex>
#include <stdexcept>
#include <string_view>

#include "net/encoding.h"
#include "net/json.h"
#include "providers/endpoint.h"

namespace {

constexpr char kNoProvider[] = "No provider initialized. Call ParlyInit first.";
constexpr char kUnknownProvider[] = "Unknown provider";
constexpr char kJsonType[] = "application/json";
constexpr char kOpenRouterTitle[] = "Parly Plugin for Stagewright Win";

// The short host texts of one request, converted to UTF-8 once; the history is read in place.
struct Texts {
    std::string prompt;
    std::string systemPrompt;
    std::string model;
    std::string apiKey;
    const ConversationHistory& history;
};

Texts ConvertTexts(const SessionSettings& s, const std::string& prompt) {
    return Texts{HostTextToUtf8(prompt), HostTextToUtf8(s.systemPrompt), HostTextToUtf8(s.model),
                 HostTextToUtf8(s.apiKey), s.history};
}

// Appends a host text as escaped UTF-8; valid UTF-8, the usual case, is escaped without a copy.
void AppendHostText(std::string& out, const std::string& text) {
    if (IsValidUtf8(text))
        AppendJsonEscaped(out, text);
    else
        AppendJsonEscaped(out, HostTextToUtf8(text));
}

// The last body buffer handed back, shared under a lock (a thread_local with a destructor would pin the DLL).
std::mutex g_spareLock;
std::string g_spareBody;

// An empty buffer for a new body, with room for at least `size` bytes.
std::string TakeBodyBuffer(size_t size) {
    std::string body;
    {
        std::lock_guard<std::mutex> hold(g_spareLock);
        body.swap(g_spareBody);
    }
    body.clear();
    body.reserve(size);
    return body;
}

// Room for a body: every text once plus the fixed fragments around each message.
size_t BodySizeHint(const Texts& t) {
    size_t size = t.prompt.size() + t.systemPrompt.size() + t.model.size() + 256;
    for (const ChatMessage& m : t.history) size += m.content.size() + m.role.size() + 48;
    return size + size / 16;
}

// Appends the messages array shared by the OpenAI-style, Claude and Ollama bodies.
void AppendMessagesArray(std::string& out, const Texts& t, bool withSystem) {
    out += '[';
    if (withSystem && !t.systemPrompt.empty()) {
        out += "{\"role\":\"system\",\"content\":\"";
        AppendJsonEscaped(out, t.systemPrompt);
        out += "\"},";
    }
    for (const ChatMessage& m : t.history) {
        out += "{\"role\":\"";
        AppendHostText(out, m.role);
        out += "\",\"content\":\"";
        AppendHostText(out, m.content);
        out += "\"},";
    }
    out += "{\"role\":\"user\",\"content\":\"";
    AppendJsonEscaped(out, t.prompt);
    out += "\"}]";
}

struct CompatibleShape {
    ApiHost host;
    const char* path;
    bool fixedTemperature;
};

// Host, path and temperature notation of the four chat-completions providers.
CompatibleShape ShapeOf(int provider) {
    switch (provider) {
        case kProviderOpenRouter: return {ApiHost::OpenRouter, "/api/v1/chat/completions", false};
        case kProviderGroq: return {ApiHost::Groq, "/openai/v1/chat/completions", false};
        case kProviderGrok: return {ApiHost::Grok, "/v1/chat/completions", false};
        default: return {ApiHost::OpenAI, "/v1/chat/completions", true};
    }
}

// Fills target from a fixed provider host; false with the request's error when the redirection is malformed.
bool TargetFromApiHost(ApiHost which, const char* path, ChatRequest* r) {
    Endpoint e;
    if (!ResolveApiHost(which, &e, &r->error)) return false;
    r->target = HttpTarget{e.host, e.port, e.secure, path};
    return true;
}

// Chat-completions request for OpenAI, OpenRouter, Groq and Grok.
void BuildCompatible(const SessionSettings& s, const Texts& t, ChatRequest* r) {
    const CompatibleShape shape = ShapeOf(s.provider);
    if (!TargetFromApiHost(shape.host, shape.path, r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"model\":\"";
    AppendJsonEscaped(body, t.model);
    body += "\",\"messages\":";
    AppendMessagesArray(body, t, true);
    body += ",\"temperature\":";
    body += shape.fixedTemperature ? FormatFixed2(s.temperature) : FormatStreamDefault(s.temperature);
    // OpenRouter picks its own limit until the script has set one.
    if (s.provider != kProviderOpenRouter || s.maxTokensSet) body += ",\"max_tokens\":" + std::to_string(s.maxTokens);
    if (s.provider == kProviderGrok) body += ",\"stream\":false";
    body += '}';
    r->body = std::move(body);
    r->headers["Authorization"] = "Bearer " + t.apiKey;
    r->headers["Content-Type"] = kJsonType;
    if (s.provider == kProviderOpenRouter) {
        r->headers["HTTP-Referer"] = kProjectHomePage;
        r->headers["X-Title"] = kOpenRouterTitle;
    }
    r->ok = true;
}

// Messages request: no temperature, system prompt as a member of its own.
void BuildClaude(const SessionSettings& s, const Texts& t, ChatRequest* r) {
    if (!TargetFromApiHost(ApiHost::Claude, "/v1/messages", r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"model\":\"";
    AppendJsonEscaped(body, t.model);
    body += "\",\"max_tokens\":" + std::to_string(s.maxTokens) + ",";
    if (!t.systemPrompt.empty()) {
        body += "\"system\":\"";
        AppendJsonEscaped(body, t.systemPrompt);
        body += "\",";
    }
    body += "\"messages\":";
    AppendMessagesArray(body, t, false);
    body += '}';
    r->body = std::move(body);
    r->headers["Content-Type"] = kJsonType;
    r->headers["x-api-key"] = t.apiKey;
    r->headers["anthropic-version"] = "2023-06-01";
    r->ok = true;
}

// Percent-encodes the bytes that would end or split a request line or its query string.
std::string EncodePathPart(std::string_view text) {
    static const char kHexUpper[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '&' || c == '#' || c == '%' || c == '+' || c == '?') {
            out += '%';
            out += kHexUpper[b >> 4];
            out += kHexUpper[b & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

// generateContent request: key and model in the path, "assistant" sent as "model".
void BuildGemini(const SessionSettings& s, const Texts& t, ChatRequest* r) {
    const std::string path =
        "/v1beta/models/" + EncodePathPart(t.model) + ":generateContent?key=" + EncodePathPart(t.apiKey);
    if (!TargetFromApiHost(ApiHost::Gemini, path.c_str(), r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"contents\":[";
    for (const ChatMessage& m : t.history) {
        body += "{\"role\":\"";
        body += m.role == "assistant" ? "model" : "user";
        body += "\",\"parts\":[{\"text\":\"";
        AppendHostText(body, m.content);
        body += "\"}]},";
    }
    body += "{\"role\":\"user\",\"parts\":[{\"text\":\"";
    AppendJsonEscaped(body, t.prompt);
    body += "\"}]}],";
    if (!t.systemPrompt.empty()) {
        body += "\"systemInstruction\":{\"parts\":[{\"text\":\"";
        AppendJsonEscaped(body, t.systemPrompt);
        body += "\"}]},";
    }
    body += "\"generationConfig\":{\"temperature\":" + FormatFixed2(s.temperature) +
            ",\"maxOutputTokens\":" + std::to_string(s.maxTokens) + "}}";
    r->body = std::move(body);
    r->headers["Content-Type"] = kJsonType;
    r->ok = true;
}

// Fills target from the endpoint setting; false with the parser's error.
bool TargetFromEndpoint(const SessionSettings& s, const char* path, ChatRequest* r) {
    Endpoint e;
    if (!ParseEndpointUrl(HostTextToUtf8(s.endpoint), &e, &r->error)) return false;
    r->target = HttpTarget{e.host, e.port, e.secure, path};
    return true;
}

// Non-streaming /api/chat request to the endpoint setting.
void BuildOllama(const SessionSettings& s, const Texts& t, ChatRequest* r) {
    if (!TargetFromEndpoint(s, "/api/chat", r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"model\":\"";
    AppendJsonEscaped(body, t.model);
    body += "\",\"messages\":";
    AppendMessagesArray(body, t, true);
    body += ",\"stream\":false,\"options\":{\"temperature\":" + FormatFixed2(s.temperature) +
            ",\"num_predict\":" + std::to_string(s.maxTokens) + "}}";
    r->body = std::move(body);
    r->headers["Content-Type"] = kJsonType;
    r->ok = true;
}

struct ReplyShape {
    const char* name;        // the provider as its messages call it
    const char* errorPrefix;
    const char* emptyAnswer;
    const char* errorKey;    // member holding the provider's error text
};

// Message texts and error member of each provider.
ReplyShape ReplyShapeOf(int provider) {
    switch (provider) {
        case kProviderOpenAI: return {"OpenAI", "OpenAI API error (", "Failed to parse OpenAI response", "message"};
        case kProviderClaude: return {"Claude", "Claude API error (", "Failed to parse Claude response", "message"};
        case kProviderGemini: return {"Google", "Google API error (", "Failed to parse Google response", "message"};
        case kProviderOllama: return {"Ollama", "Ollama error (", "Failed to parse Ollama response", "error"};
        case kProviderOpenRouter:
            return {"OpenRouter", "OpenRouter error (", "Failed to extract response from OpenRouter", "message"};
        case kProviderGroq: return {"Groq", "Groq error (", "Failed to extract response from Groq", "message"};
        default: return {"Grok", "Grok error (", "Failed to extract response from Grok", "message"};
    }
}

// The provider's error message, else the transport's text, else the whole body; a bad escape counts as no message.
std::string ErrorDetail(const HttpResult& reply, const char* key) {
    std::string detail;
    try {
        detail = ExtractJsonValue(reply.body, key);
    } catch (const std::invalid_argument&) {
        detail.clear();
    }
    if (!detail.empty()) return detail;
    return reply.error.empty() ? reply.body : reply.error;
}

// The first `key`'s value when it is a string, decoded; empty for null, numbers, objects or no key.
std::string StringValueOf(const std::string& body, const char* key) {
    const size_t value = JsonValueStart(body, key);
    if (value == kNotFound || body[value] != '"') return std::string();
    return ExtractJsonValue(body, key);
}

// The answer of a 200 reply, empty when there is none; a bad \u escape throws std::invalid_argument.
std::string ExtractAnswer(int provider, const std::string& body) {
    switch (provider) {
        case kProviderClaude:
        case kProviderGemini:
            if (body.size() < 6) return std::string();
            return ExtractStringAfterKey(body, "\"text\"");
        case kProviderOllama: {
            if (body.size() < 9) return std::string();
            const size_t message = FindText(body, "\"message\"");
            if (message == kNotFound) return std::string();
            return ExtractStringAfterKey(body, "\"content\"", message);
        }
        default:
            // A null "content" (a refusal among them), a number or an object is no answer text.
            return StringValueOf(body, "content");
    }
}

// What an answer-less OpenAI reply says instead: its refusal, when it carries one.
std::string RefusalOf(const std::string& body) {
    try {
        return StringValueOf(body, "refusal");
    } catch (const std::invalid_argument&) {
        return std::string();
    }
}

// Outcome of a reply from provider 1..7; only allocation failures escape.
ChatOutcome InterpretKnownReply(int provider, const HttpResult& reply) {
    const ReplyShape shape = ReplyShapeOf(provider);
    ChatOutcome outcome;
    if (reply.statusCode != 200) {
        outcome.error = shape.errorPrefix + std::to_string(reply.statusCode) + "): " + ErrorDetail(reply, shape.errorKey);
        return outcome;
    }
    try {
        outcome.answer = ExtractAnswer(provider, reply.body);
    } catch (const std::invalid_argument&) {
        outcome.error = std::string("Invalid escape sequence in ") + shape.name + " response";
        return outcome;
    } catch (const std::out_of_range&) {
        outcome.error = std::string("Invalid escape sequence in ") + shape.name + " response";
        return outcome;
    }
    if (outcome.answer.empty()) {
        const std::string refusal = provider == kProviderOpenAI ? RefusalOf(reply.body) : std::string();
        outcome.error = refusal.empty() ? std::string(shape.emptyAnswer) : "OpenAI refused the request: " + refusal;
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

}  // namespace

ChatRequest BuildChatRequest(const SessionSettings& s, const std::string& prompt) {
    ChatRequest r;
    if (s.provider == kProviderNone) {
        r.error = kNoProvider;
        return r;
    }
    if (s.provider < kProviderOpenAI || s.provider > kProviderGrok) {
        r.error = kUnknownProvider;
        return r;
    }
    const Texts t = ConvertTexts(s, prompt);
    switch (s.provider) {
        case kProviderClaude: BuildClaude(s, t, &r); break;
        case kProviderGemini: BuildGemini(s, t, &r); break;
        case kProviderOllama: BuildOllama(s, t, &r); break;
        default: BuildCompatible(s, t, &r); break;
    }
    return r;
}

ChatOutcome InterpretChatReply(int provider, const HttpResult& reply) {
    ChatOutcome outcome;
    if (provider == kProviderNone) {
        outcome.error = kNoProvider;
        return outcome;
    }
    if (provider < kProviderOpenAI || provider > kProviderGrok) {
        outcome.error = kUnknownProvider;
        return outcome;
    }
    try {
        return InterpretKnownReply(provider, reply);
    } catch (const std::exception& e) {
        outcome = ChatOutcome();
        outcome.error = std::string("Exception: ") + e.what();
    } catch (...) {
        outcome = ChatOutcome();
        outcome.error = "Exception: unknown";
    }
    return outcome;
}

ChatRequest BuildOllamaTagsRequest(const SessionSettings& s) {
    ChatRequest r;
    r.isGet = true;
    if (!TargetFromEndpoint(s, "/api/tags", &r)) return r;
    r.ok = true;
    return r;
}

ChatOutcome InterpretOllamaTags(const HttpResult& reply) {
    ChatOutcome outcome;
    if (reply.statusCode != 200) {
        outcome.error = "Failed to get Ollama models: " + reply.error;
        return outcome;
    }
    const std::string& body = reply.body;
    size_t p = 0;
    for (;;) {
        const size_t match = FindText(body, "\"name\"", p);
        if (match == kNotFound) break;
        const size_t colon = body.find(':', match);
        const size_t open = colon == std::string::npos ? colon : body.find('"', colon + 1);
        const size_t close = open == std::string::npos ? open : body.find('"', open + 1);
        // A later match could only find the same missing colon or quote, so stopping lists the same names.
        if (close == std::string::npos) break;
        if (!outcome.answer.empty()) outcome.answer += ',';
        outcome.answer.append(body, open + 1, close - open - 1);  // names are copied as they stand, escapes included
        p = close + 1;
    }
    outcome.ok = true;
    return outcome;
}

const char* FixedModelList(int provider) {
    switch (provider) {
        case kProviderOpenAI: return "gpt-4o,gpt-4o-mini,gpt-4-turbo,gpt-4,gpt-3.5-turbo";
        case kProviderClaude:
            return "claude-sonnet-4-20250514,claude-opus-4-20250514,claude-3-5-sonnet-20241022,"
                   "claude-3-5-haiku-20241022,claude-3-opus-20240229";
        case kProviderGemini: return "gemini-1.5-pro,gemini-1.5-flash,gemini-1.0-pro";
        case kProviderOpenRouter:
            return "openai/gpt-4o,anthropic/claude-3.5-sonnet,google/gemini-pro-1.5,meta-llama/llama-3.1-405b-instruct";
        case kProviderGroq: return "llama-3.3-70b-versatile,llama-3.1-70b-versatile,mixtral-8x7b-32768,gemma2-9b-it";
        case kProviderGrok: return "grok-beta,grok-vision-beta";
        default: return nullptr;
    }
}

void RecycleBodyBuffer(std::string&& body) {
    // Bodies beyond 64 MB are rare; their memory goes back at once.
    if (body.capacity() > (64u << 20)) return;
    std::lock_guard<std::mutex> hold(g_spareLock);
    if (body.capacity() > g_spareBody.capacity()) g_spareBody = std::move(body);
}
