#include "providers/chat_protocol.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "net/encoding.h"
#include "net/json.h"
#include "net/json_walk.h"
#include "providers/chat_stream.h"
#include "providers/endpoint.h"
#include "providers/model_list.h"
#include "providers/usage.h"

namespace {

constexpr char kNoProvider[] = "No provider initialized. Call ParlyInit first.";
constexpr char kUnknownProvider[] = "Unknown provider";
constexpr char kJsonType[] = "application/json";
constexpr char kOpenRouterTitle[] = "Parly Plugin for Stagewright Win";

ChatTexts ConvertTexts(const SessionSettings& s, const ConversationHistory& history, const std::string& prompt) {
    const std::string model = ModelToSend(s);
    return ChatTexts{HostTextToUtf8(prompt), HostTextToUtf8(s.systemPrompt), HostTextToUtf8(model),
                     HostTextToUtf8(s.apiKey), history, ShapeFor(s.provider, model, s.maxTokensSet), nullptr};
}

// The token limit's member: the name the model asked for, else the protocol's own.
std::string LimitMember(const ChatTexts& t, const char* own) {
    return t.shape.tokenLimitName.empty() ? std::string(own) : t.shape.tokenLimitName;
}

// The temperature in the row's notation.
std::string FormatTemperature(const ProviderInfo& p, double value) {
    return p.temperature == TemperatureFormat::Fixed2 ? FormatFixed2(value) : FormatStreamDefault(value);
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

// Room for an attached file's part: its encoded bytes once, its name and the fixed fragments.
size_t AttachmentSize(const Attachment* a) { return a ? a->base64.size() + a->fileName.size() + 160 : 0; }

// Room for a body: every text once plus the fixed fragments around each message. The encoded files are
// counted exactly, outside the slack, so a picture's body is reserved once and never regrown.
size_t BodySizeHint(const ChatTexts& t) {
    size_t size = t.prompt.size() + t.systemPrompt.size() + t.model.size() + 256, files = AttachmentSize(t.attachment);
    for (const ChatMessage& m : t.history) {
        size += m.content.size() + m.role.size() + 48;
        files += AttachmentSize(m.attachment.get());
    }
    return size + size / 16 + files;
}

// The three shapes a message's content takes when a file goes with it.
enum class ContentStyle { Compatible, Claude, Ollama };

// Appends a message's text: a host text from the history, or a prompt already converted.
void AppendMessageText(std::string& out, const std::string& text, bool hostText) {
    if (hostText)
        AppendHostText(out, text);
    else
        AppendJsonEscaped(out, text);
}

// Appends `"content":...` of one message: its text alone, or with its file in the protocol's own shape.
// An empty text beside a file is left out, since a blank text part is refused.
void AppendContent(std::string& out, ContentStyle style, const std::string& text, bool hostText, const Attachment* a) {
    if (!a || style == ContentStyle::Ollama) {
        out += "\"content\":\"";
        AppendMessageText(out, text, hostText);
        out += '"';
        if (a) {
            out += ",\"images\":[\"";
            out += a->base64;
            out += "\"]";
        }
        return;
    }
    out += "\"content\":[";
    if (style == ContentStyle::Claude) {
        out += a->IsPdf() ? "{\"type\":\"document\"" : "{\"type\":\"image\"";
        out += ",\"source\":{\"type\":\"base64\",\"media_type\":\"";
        out += a->mediaType;
        out += "\",\"data\":\"";
        out += a->base64;
        out += "\"}}";
        if (!text.empty()) {
            out += ",{\"type\":\"text\",\"text\":\"";
            AppendMessageText(out, text, hostText);
            out += "\"}";
        }
        out += ']';
        return;
    }
    if (!text.empty()) {
        out += "{\"type\":\"text\",\"text\":\"";
        AppendMessageText(out, text, hostText);
        out += "\"},";
    }
    if (a->IsPdf()) {
        out += "{\"type\":\"file\",\"file\":{\"filename\":\"";
        // A file part without a name is refused; a loaded conversation may carry none.
        AppendJsonEscaped(out, a->fileName.empty() ? std::string_view("document.pdf") : std::string_view(a->fileName));
        out += "\",\"file_data\":\"data:application/pdf;base64,";
    } else {
        out += "{\"type\":\"image_url\",\"image_url\":{\"url\":\"data:";
        out += a->mediaType;
        out += ";base64,";
    }
    out += a->base64;
    out += "\"}}]";
}

// Appends the messages array shared by the OpenAI-style, Claude and Ollama bodies.
void AppendMessagesArray(std::string& out, const ChatTexts& t, bool withSystem, ContentStyle style) {
    out += '[';
    if (withSystem && !t.systemPrompt.empty()) {
        out += "{\"role\":\"system\",\"content\":\"";
        AppendJsonEscaped(out, t.systemPrompt);
        out += "\"},";
    }
    for (const ChatMessage& m : t.history) {
        out += "{\"role\":\"";
        AppendHostText(out, m.role);
        out += "\",";
        AppendContent(out, style, m.content, true, m.attachment.get());
        out += "},";
    }
    out += "{\"role\":\"user\",";
    AppendContent(out, style, t.prompt, false, t.attachment);
    out += "}]";
}

// Appends a Gemini turn's parts: the file's inline data first, then the text (left out when empty beside a file).
void AppendGeminiParts(std::string& out, const std::string& text, bool hostText, const Attachment* a) {
    out += "\"parts\":[";
    if (a) {
        out += "{\"inline_data\":{\"mime_type\":\"";
        out += a->mediaType;
        out += "\",\"data\":\"";
        out += a->base64;
        out += "\"}}";
        if (text.empty()) {
            out += ']';
            return;
        }
        out += ',';
    }
    out += "{\"text\":\"";
    AppendMessageText(out, text, hostText);
    out += "\"}]";
}

// Fills target from the row's host or the endpoint setting; false with the request's error when malformed.
bool TargetFor(const ProviderInfo& p, const SessionSettings& s, const std::string& path, ChatRequest* r) {
    Endpoint e;
    if (!ResolveEndpoint(p, s.endpoint, &e, &r->error)) return false;
    r->target = HttpTarget{e.host, e.port, e.secure, path};
    return true;
}

}  // namespace

// Chat-completions request for OpenAI, OpenRouter, Groq and Grok.
void BuildCompatibleChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r) {
    if (!TargetFor(p, s, p.chatPath, r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"model\":\"";
    AppendJsonEscaped(body, t.model);
    body += "\",\"messages\":";
    AppendMessagesArray(body, t, true, ContentStyle::Compatible);
    if (t.shape.temperature) {
        body += ",\"temperature\":";
        body += FormatTemperature(p, s.temperature);
    }
    if (t.shape.tokenLimit && (!p.maxTokensOnlyWhenSet || s.maxTokensSet))
        body += ",\"" + LimitMember(t, "max_tokens") + "\":" + std::to_string(s.maxTokens);
    else
        r->shape.tokenLimit = false;
    if (r->stream) body += ",\"stream\":true";
    else if (p.sendsStreamFalse) body += ",\"stream\":false";
    if (r->stream && p.asksStreamUsage && t.shape.streamOptions) {
        body += ",\"stream_options\":{\"include_usage\":true}";
        r->shape.streamOptions = true;
    }
    body += '}';
    r->body = std::move(body);
    r->headers["Authorization"] = "Bearer " + t.apiKey;
    r->headers["Content-Type"] = kJsonType;
    if (p.sendsReferer) {
        r->headers["HTTP-Referer"] = kProjectHomePage;
        r->headers["X-Title"] = kOpenRouterTitle;
    }
    r->ok = true;
}

// Messages request: no temperature, system prompt as a member of its own.
void BuildClaudeChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r) {
    if (!TargetFor(p, s, p.chatPath, r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"model\":\"";
    AppendJsonEscaped(body, t.model);
    body += "\",";
    if (t.shape.tokenLimit) body += "\"" + LimitMember(t, "max_tokens") + "\":" + std::to_string(s.maxTokens) + ",";
    r->shape.temperature = false;
    if (!t.systemPrompt.empty()) {
        body += "\"system\":\"";
        AppendJsonEscaped(body, t.systemPrompt);
        body += "\",";
    }
    body += "\"messages\":";
    AppendMessagesArray(body, t, false, ContentStyle::Claude);
    if (r->stream) body += ",\"stream\":true";
    body += '}';
    r->body = std::move(body);
    r->headers["Content-Type"] = kJsonType;
    r->headers["x-api-key"] = t.apiKey;
    r->headers["anthropic-version"] = "2023-06-01";
    r->ok = true;
}

namespace {

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

}  // namespace

// generateContent request: key and model in the path, "assistant" sent as "model".
void BuildGeminiChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r) {
    const std::string path =
        p.chatPath + EncodePathPart(t.model) + (r->stream ? ":streamGenerateContent?alt=sse&key=" : ":generateContent?key=") +
        EncodePathPart(t.apiKey);
    if (!TargetFor(p, s, path, r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"contents\":[";
    for (const ChatMessage& m : t.history) {
        body += "{\"role\":\"";
        body += m.role == "assistant" ? "model" : "user";
        body += "\",";
        AppendGeminiParts(body, m.content, true, m.attachment.get());
        body += "},";
    }
    body += "{\"role\":\"user\",";
    AppendGeminiParts(body, t.prompt, false, t.attachment);
    body += "}]";
    if (!t.systemPrompt.empty()) {
        body += ",\"systemInstruction\":{\"parts\":[{\"text\":\"";
        AppendJsonEscaped(body, t.systemPrompt);
        body += "\"}]}";
    }
    std::string config;
    if (t.shape.temperature) config += "\"temperature\":" + FormatTemperature(p, s.temperature);
    if (t.shape.tokenLimit) {
        if (!config.empty()) config += ',';
        config += "\"" + LimitMember(t, "maxOutputTokens") + "\":" + std::to_string(s.maxTokens);
    }
    if (!config.empty()) body += ",\"generationConfig\":{" + config + "}";
    body += '}';
    r->body = std::move(body);
    r->headers["Content-Type"] = kJsonType;
    r->ok = true;
}

// Non-streaming chat request to the endpoint setting.
void BuildOllamaChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r) {
    if (!TargetFor(p, s, p.chatPath, r)) return;
    std::string body = TakeBodyBuffer(BodySizeHint(t));
    body += "{\"model\":\"";
    AppendJsonEscaped(body, t.model);
    body += "\",\"messages\":";
    AppendMessagesArray(body, t, true, ContentStyle::Ollama);
    body += r->stream ? ",\"stream\":true" : ",\"stream\":false";
    body += ",\"options\":{\"temperature\":" + FormatTemperature(p, s.temperature);
    // A reasoning model's thinking counts against num_predict: no limit of ours until the script sets one.
    if (t.shape.tokenLimit) body += ",\"num_predict\":" + std::to_string(s.maxTokens);
    body += "}}";
    // Ollama's options go out as they are: nothing here for a refusal to leave out.
    r->shape.temperature = false;
    r->shape.tokenLimit = false;
    r->body = std::move(body);
    r->headers["Content-Type"] = kJsonType;
    r->ok = true;
}

namespace {

// The first `key`'s value when it is a string, decoded; empty for null, numbers, objects or no key.
std::string StringValueOf(const std::string& body, const char* key) {
    const size_t value = JsonValueStart(body, key);
    if (value == kNotFound || body[value] != '"') return std::string();
    return ExtractJsonValue(body, key);
}

// What an answer-less reply says instead: its refusal, when it carries one.
std::string RefusalOf(const std::string& body) {
    try {
        return StringValueOf(body, "refusal");
    } catch (const std::invalid_argument&) {
        return std::string();
    }
}

}  // namespace

ChatOutcome ReadOpenAIAnswer(const std::string& body) {
    ChatOutcome outcome = ReadCompatibleAnswer(body);
    if (outcome.ok) return outcome;
    const std::string refusal = RefusalOf(body);
    if (!refusal.empty()) outcome.error = "OpenAI refused the request: " + refusal;
    return outcome;
}

ChatOutcome ReadCompatibleAnswer(const std::string& body) {
    ChatOutcome outcome;
    const size_t choice = JsonFirstElement(body, JsonMember(body, JsonStart(body), "choices"));
    const size_t message = JsonMember(body, choice, "message");
    if (message != kNotFound) {
        // The first choice's message: its "content", never its "reasoning_content" or "reasoning".
        AppendContent(body, JsonMember(body, message, "content"), &outcome.answer);
    } else {
        // A reply of another shape: a null "content" (a refusal among them), a number or an object is no answer.
        outcome.answer = StringValueOf(body, "content");
    }
    outcome.ok = !outcome.answer.empty();
    return outcome;
}

ChatOutcome ReadGeminiAnswer(const std::string& body) {
    ChatOutcome outcome;
    // The first candidate's parts, thoughts left out; grounding and other metadata are no answer.
    const size_t candidate = JsonFirstElement(body, JsonMember(body, JsonStart(body), "candidates"));
    AppendGeminiParts(body, JsonMember(body, JsonMember(body, candidate, "content"), "parts"), &outcome.answer);
    outcome.ok = !outcome.answer.empty();
    return outcome;
}

ChatOutcome ReadClaudeAnswer(const std::string& body) {
    // A refusal may stop after some text; that text is no answer.
    if (StringValueOf(body, "stop_reason") == "refusal")
        return ChatOutcome{false, "", "Claude refused to answer (stop_reason refusal)."};
    ChatOutcome outcome;
    // Every text block in order; thinking and redacted_thinking blocks are no answer.
    AppendTextBlocks(body, JsonMember(body, JsonStart(body), "content"), &outcome.answer);
    outcome.ok = !outcome.answer.empty();
    return outcome;
}

ChatOutcome ReadOllamaAnswer(const std::string& body) {
    ChatOutcome outcome;
    // message.content; a thinking model's message.thinking is no answer.
    JsonStringAt(body, JsonMember(body, JsonMember(body, JsonStart(body), "message"), "content"), &outcome.answer);
    outcome.ok = !outcome.answer.empty();
    return outcome;
}

namespace {

// Why a 200 reply carries no answer, from the stop reason the provider gave; empty when it gave none we know.
std::string StopText(const ProviderInfo& p, const std::string& body) {
    const std::string limit = std::string(p.label) +
                              " stopped at the token limit before writing any answer (%). "
                              "Raise the limit with ParlySetMaxTokens.";
    auto with = [](std::string text, const std::string& reason) { return text.replace(text.find('%'), 1, reason); };
    const std::string finish = StringValueOf(body, "finish_reason");
    if (finish == "length") return with(limit, "finish_reason length");
    if (finish == "content_filter") return std::string(p.label) + " withheld the answer (finish_reason content_filter).";
    const std::string gemini = StringValueOf(body, "finishReason");
    if (gemini == "MAX_TOKENS") return with(limit, "MAX_TOKENS");
    if (!gemini.empty() && gemini != "STOP") return std::string(p.label) + " withheld the answer (" + gemini + ").";
    const std::string blocked = StringValueOf(body, "blockReason");
    if (!blocked.empty()) return std::string(p.label) + " blocked the prompt (" + blocked + ").";
    if (StringValueOf(body, "stop_reason") == "max_tokens") return with(limit, "stop_reason max_tokens");
    if (StringValueOf(body, "done_reason") == "length") return with(limit, "done_reason length");
    return std::string();
}

// A 200 reply that is a whole stream under another label: read as the stream it is, its end marker required.
ChatOutcome ReadStreamBody(const ProviderInfo& p, std::string_view body) {
    ChatStream stream(p.stream);
    FeedChatStream(&stream, body);
    // The whole body is here, so its end ends the last line too, should the server have left out its line break.
    FeedChatStream(&stream, "\n");
    HttpResult status;
    status.statusCode = 200;
    return InterpretChatStream(p.kind, stream, status);
}

// Outcome of a reply from a known provider; only allocation failures escape.
ChatOutcome InterpretKnownReply(const ProviderInfo& p, const HttpResult& reply) {
    ChatOutcome outcome;
    if (reply.statusCode != 200) {
        outcome.error = p.errorPrefix + std::to_string(reply.statusCode) + "): " + ErrorDetail(reply, p.errorKey);
        outcome.error = WithHint(outcome.error, ReplyHint(p.kind, reply));
        return outcome;
    }
    if (IsStreamBody(p.stream, reply.body)) return ReadStreamBody(p, reply.body);
    try {
        outcome = p.readAnswer(reply.body);
        // A host variable ends at a NUL, so an answer holds none.
        outcome.answer.erase(std::remove(outcome.answer.begin(), outcome.answer.end(), '\0'), outcome.answer.end());
        outcome.ok = outcome.ok && !outcome.answer.empty();
    } catch (const std::invalid_argument&) {
        return ChatOutcome{false, "", std::string("Invalid escape sequence in ") + p.label + " response"};
    } catch (const std::out_of_range&) {
        return ChatOutcome{false, "", std::string("Invalid escape sequence in ") + p.label + " response"};
    }
    if (outcome.ok) outcome.usage = ReadReplyUsage(p.stream, reply.body);
    if (!outcome.ok) {
        outcome.answer.clear();
        if (outcome.error.empty()) {
            try {
                outcome.error = StopText(p, reply.body);
            } catch (const std::invalid_argument&) {
                outcome.error.clear();
            }
        }
        if (outcome.error.empty()) outcome.error = p.emptyAnswer;
    }
    return outcome;
}

// The row of a provider that can be sent to, or the error that stops the request.
const ProviderInfo* SendableProvider(int provider, std::string* error) {
    if (provider == kProviderNone) {
        *error = kNoProvider;
        return nullptr;
    }
    const ProviderInfo* p = FindProvider(provider);
    if (!p) *error = kUnknownProvider;
    return p;
}

}  // namespace

std::string ModelToSend(const SessionSettings& s) {
    if (s.modelChosen) return s.model;
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p || s.model != p->defaultModel) return s.model;
    const std::string healed = HealedDefault(s.provider);
    return healed.empty() ? s.model : healed;
}

std::string ReplyHint(int provider, const HttpResult& reply) {
    const ProviderInfo* p = FindProvider(provider);
    const std::string label = p ? p->label : "The provider";
    const bool badKey = reply.statusCode == 401 || reply.statusCode == 403 ||
                        (reply.statusCode == 400 && FindText(reply.body, "API key not valid") != kNotFound);
    if (badKey) return "Check the API key given to ParlyInit.";
    if (reply.statusCode == 429) return label + "'s limit was reached: wait a moment and try again, or check your plan.";
    return std::string();
}

std::string TransportHint(int provider, const HttpResult& reply, const HttpTarget& target) {
    constexpr unsigned long kNameNotResolved = 12007, kCannotConnect = 12029, kTimeout = 12002, kSocketTimeout = 10060;
    const bool timedOut = reply.failure == HttpFailure::TimedOut || reply.systemError == kTimeout ||
                          reply.systemError == kSocketTimeout;
    const bool refused = reply.systemError == kCannotConnect;
    const bool unnamed = reply.systemError == kNameNotResolved;
    if (reply.statusCode != 0 || !(timedOut || refused || unnamed)) return std::string();
    const int port = target.port != 0 ? target.port : (target.secure ? 443 : 80);
    const std::string where = target.host + ":" + std::to_string(port);
    const std::string via = reply.proxy.empty() ? std::string() : " (asked through the proxy " + reply.proxy + ")";
    std::string hint = unnamed ? "The name in " + where + " could not be resolved" + via + "."
                       : refused ? "Nothing answered at " + where + via + "."
                                 : "No reply came from " + where + via + " in time.";
    if (provider == kProviderOllama) hint += " Is Ollama running there?";
    return hint;
}

std::string WithHint(const std::string& text, const std::string& hint) {
    if (hint.empty()) return text;
    const char last = text.empty() ? '.' : text.back();
    return text + (last == '.' || last == '!' || last == '?' ? " " : ". ") + hint;
}

std::string PdfRefusal(int provider) {
    const ProviderInfo* p = FindProvider(provider);
    if (!p || p->readsPdf) return std::string();
    return std::string(p->label) + " does not read PDF documents. PDFs can be sent with OpenAI, Claude, Google or OpenRouter.";
}

ChatRequest BuildChatRequest(const SessionSettings& s, const ConversationHistory& history, const std::string& prompt,
                             bool stream, const AttachmentRef& attachment) {
    ChatRequest r;
    r.stream = stream;
    const ProviderInfo* p = SendableProvider(s.provider, &r.error);
    if (!p) return r;
    // A loaded conversation may hold a PDF that this provider cannot read.
    bool pdf = attachment && attachment->IsPdf();
    for (const ChatMessage& m : history) pdf = pdf || (m.attachment && m.attachment->IsPdf());
    if (pdf && !p->readsPdf) {
        r.error = PdfRefusal(s.provider);
        return r;
    }
    ChatTexts t = ConvertTexts(s, history, prompt);
    t.attachment = attachment.get();
    // The shape ends up saying what the request carries, so a refusal of anything else resends nothing.
    r.shape = t.shape;
    r.shape.responseFormat = false;
    r.shape.streamOptions = false;  // the builder that asks for a stream's usage says so
    p->buildChat(*p, s, t, &r);
    return r;
}

ChatOutcome InterpretChatReply(int provider, const HttpResult& reply) {
    ChatOutcome outcome;
    const ProviderInfo* p = SendableProvider(provider, &outcome.error);
    if (!p) return outcome;
    try {
        return InterpretKnownReply(*p, reply);
    } catch (const std::exception& e) {
        outcome = ChatOutcome();
        outcome.error = std::string("Exception: ") + e.what();
    } catch (...) {
        outcome = ChatOutcome();
        outcome.error = "Exception: unknown";
    }
    return outcome;
}

namespace {

// A stop reason's string value in a stream's stop event; empty when absent or unreadable.
std::string StopReasonOf(const std::string& data, const char* key) {
    try {
        return StringValueOf(data, key);
    } catch (const std::invalid_argument&) {
        return std::string();
    }
}

// The text for a stream that ended without an answer, from its stop event; empty when it gave no known reason.
std::string StopReasonText(const ProviderInfo& p, const std::string& data) {
    try {
        return StopText(p, data);
    } catch (const std::invalid_argument&) {
        return std::string();
    }
}

}  // namespace

ChatOutcome InterpretChatStream(int provider, const ChatStream& stream, const HttpResult& reply) {
    ChatOutcome outcome;
    const ProviderInfo* p = SendableProvider(provider, &outcome.error);
    if (!p) return outcome;
    try {
        const std::string status = std::to_string(reply.statusCode);
        if (stream.broken) {
            outcome.error = p->errorPrefix + status + "): " + stream.error;
        } else if (!reply.error.empty()) {
            outcome.error = p->errorPrefix + std::string("0): ") + reply.error;
        } else if (!stream.ended) {
            outcome.error = p->errorPrefix + status + "): The answer stream ended before it was complete";
        } else if (p->stream == StreamProtocol::Claude && StopReasonOf(stream.stopData, "stop_reason") == "refusal") {
            // A refusal may stop after some text; that text is no answer.
            outcome.error = "Claude refused to answer (stop_reason refusal).";
        } else if (stream.answer.empty()) {
            const std::string stopped = StopReasonText(*p, stream.stopData);
            outcome.error = !stream.refusal.empty() ? p->label + std::string(" refused the request: ") + stream.refusal
                            : !stopped.empty()     ? stopped
                                                   : std::string(p->emptyAnswer);
        } else {
            outcome.ok = true;
            outcome.answer = stream.answer;
            outcome.usage = stream.usage;
        }
    } catch (const std::exception& e) {
        outcome = ChatOutcome();
        outcome.error = std::string("Exception: ") + e.what();
    }
    return outcome;
}

ChatRequest BuildOllamaTagsRequest(const SessionSettings& s) {
    ChatRequest r;
    r.isGet = true;
    if (!TargetFor(*FindProvider(kProviderOllama), s, "/api/tags", &r)) return r;
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
        const size_t close = open == std::string::npos ? open : FindClosingQuote(body, open + 1);
        // A later match could only find the same missing colon or quote, so stopping lists the same names.
        if (close == kNotFound) break;
        p = close + 1;
        std::string name;
        try {
            name = JsonUnescape(std::string_view(body).substr(open + 1, close - open - 1));
        } catch (const std::invalid_argument&) {
            continue;
        }
        // A name the list could not give back as one entry is left out.
        if (!IsListableModelId(name)) continue;
        if (!outcome.answer.empty()) outcome.answer += ',';
        outcome.answer += name;
    }
    outcome.ok = true;
    return outcome;
}

void RecycleBodyBuffer(std::string&& body) {
    // Bodies beyond 64 MB are rare; their memory goes back at once.
    if (body.capacity() > (64u << 20)) return;
    std::lock_guard<std::mutex> hold(g_spareLock);
    if (body.capacity() > g_spareBody.capacity()) g_spareBody = std::move(body);
}
