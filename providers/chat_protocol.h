// Request bodies and reply reading for the seven chat protocols. Pure: no I/O.
#pragma once
#include <string>

#include "net/http.h"
#include "providers/model_rules.h"
#include "providers/provider_table.h"
#include "session/settings.h"

struct ChatRequest {
    bool ok = false;       // false: `error` says why nothing can be sent
    std::string error;
    HttpTarget target;
    std::string body;
    HeaderMap headers;
    bool isGet = false;
    RequestShape shape;  // the optional members this request carries
    bool stream = false;  // asks for the answer as a stream, in the provider's own protocol
};

// Builds the request for s.provider (1..7) from the settings, the history and the new prompt,
// shaped for the model by ShapeFor; `stream` asks for the answer as a stream (only the streamed sends do).
// `attachment`, when given, is the picture or PDF sent beside the prompt; a PDF to a provider that reads none
// (in the new turn or the history) fails here, before anything is sent.
ChatRequest BuildChatRequest(const SessionSettings& s, const ConversationHistory& history, const std::string& prompt,
                             bool stream = false, const AttachmentRef& attachment = nullptr);
// Why `provider` cannot take a PDF, naming the providers that read PDFs; "" when it reads them.
std::string PdfRefusal(int provider);

struct ChatOutcome {
    bool ok = false;
    std::string answer;  // raw answer (before FlattenLineBreaks)
    std::string error;   // the text for lastError when !ok
    ChatUsage usage = {};  // what the reply reported of its tokens and stop reason (when ok)
};

// The model a request with these settings names: the plug-in's own default gives way to the model that took
// over from it (see RememberHealedDefault); a model the script chose is sent as chosen.
std::string ModelToSend(const SessionSettings& s);

// What the author can do about an error reply of `provider` (a refused key, a reached limit), as one sentence;
// empty when there is nothing to suggest.
std::string ReplyHint(int provider, const HttpResult& reply);
// The same for an exchange with `target` that got no reply: the host and port (and proxy) that were asked.
std::string TransportHint(int provider, const HttpResult& reply, const HttpTarget& target);
// `text` with the sentence `hint` after it (its beginning unchanged, since scripts compare prefixes).
std::string WithHint(const std::string& text, const std::string& hint);

// Hands a sent body's buffer back to the process-wide spare, for the next request on either thread.
void RecycleBodyBuffer(std::string&& body);

// Reads a chat reply of `provider`; never throws.
ChatOutcome InterpretChatReply(int provider, const HttpResult& reply);

struct ChatStream;
// Reads a streamed reply of `provider` once it is over: `reply` is the transport's result (a failure, or the
// status; its body is empty). A stream broken by an error event, cut, or over without its end marker fails.
ChatOutcome InterpretChatStream(int provider, const ChatStream& stream, const HttpResult& reply);

// Ollama model listing request and reply.
ChatRequest BuildOllamaTagsRequest(const SessionSettings& s);
ChatOutcome InterpretOllamaTags(const HttpResult& reply);  // answer = comma-joined names

// The short host texts of one request, converted to UTF-8 once; the history is read in place.
struct ChatTexts {
    std::string prompt;
    std::string systemPrompt;
    std::string model;
    std::string apiKey;
    const ConversationHistory& history;
    RequestShape shape;
    const Attachment* attachment = nullptr;  // the new turn's picture or PDF
};

// One request builder per chat protocol; the provider table names which one each provider speaks.
void BuildCompatibleChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r);
void BuildClaudeChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r);
void BuildGeminiChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r);
void BuildOllamaChat(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r);

// One answer reader per reply shape.
ChatOutcome ReadOpenAIAnswer(const std::string& body);
ChatOutcome ReadCompatibleAnswer(const std::string& body);
ChatOutcome ReadGeminiAnswer(const std::string& body);
ChatOutcome ReadClaudeAnswer(const std::string& body);
ChatOutcome ReadOllamaAnswer(const std::string& body);
