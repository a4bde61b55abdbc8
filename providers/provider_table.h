// Every fact about each provider, one row apiece: names, defaults, host, paths, texts, protocol and features.
// Code that differs by provider reads a column here instead of switching on the kind.
#pragma once
#include <string>

#include "session/settings.h"

// Literals that the catalogue's hints and the help panel repeat in their prose.
#define PARLY_OPENAI_DEFAULT_MODEL "gpt-5.6-sol"
#define PARLY_CLAUDE_DEFAULT_MODEL "claude-sonnet-5-5"
#define PARLY_GEMINI_DEFAULT_MODEL "gemini-flash-latest"
#define PARLY_OLLAMA_DEFAULT_MODEL "llama3"
#define PARLY_OPENROUTER_DEFAULT_MODEL "openrouter/free"
#define PARLY_GROQ_DEFAULT_MODEL "openai/gpt-oss-120b"
#define PARLY_GROK_DEFAULT_MODEL "grok-4.7"
#define PARLY_IMAGE_DEFAULT_MODEL "gpt-image-2"
#define PARLY_OLLAMA_DEFAULT_URL "http://localhost:11434"

enum class StreamProtocol;
struct ProviderInfo;
struct ChatTexts;
struct ChatRequest;
struct ChatOutcome;

// Fills the request of one chat protocol from the row, the settings and the converted texts.
using ChatBuilder = void (*)(const ProviderInfo& p, const SessionSettings& s, const ChatTexts& t, ChatRequest* r);
// Reads the answer of a 200 reply: ok with the answer, or not ok with an error (empty: the row's emptyAnswer).
// A bad \u escape throws std::invalid_argument.
using AnswerReader = ChatOutcome (*)(const std::string& body);

enum class TemperatureFormat {
    Fixed2,    // two decimals: 0.70
    Shortest,  // the stream default: 0.7, 1e-05
};

// How a provider's model listing continues onto its next page.
enum class ModelPaging {
    None,       // one page
    AfterId,    // "has_more" and "last_id", sent back as after_id
    PageToken,  // "nextPageToken", sent back as pageToken
};

// How a listing request carries the key.
enum class ListAuth {
    None,       // the listing is public
    Bearer,     // Authorization: Bearer
    ClaudeKey,  // x-api-key with anthropic-version
    QueryKey,   // ?key= in the path
};

struct ModelListing {
    const char* path;  // nullptr: the endpoint server's tags (Ollama)
    ModelPaging paging;
    ListAuth auth;
};

struct EmbeddingShape {
    const char* path;     // nullptr: the provider has no embeddings
    const char* model;    // nullptr: the session's model, else the default model
    const char* textKey;  // member that carries the text
};

struct ProviderInfo {
    int kind;
    const char* names[2];   // what ParlyInit accepts, lower case; an unused slot is null
    const char* label;      // the editor's list entry, and the provider as its messages call it
    bool needsKey;          // ParlyInit refuses an empty key
    const char* defaultModel;
    ModelListing listing;         // where ParlyGetModels asks for the provider's models
    const char* apiHost;          // public host over HTTPS; nullptr: the endpoint setting
    const char* redirectVariable; // environment variable that sends the host's requests elsewhere
    const char* defaultEndpoint;  // endpoint setting ParlyInit installs when none is set; nullptr: none
    const char* chatPath;         // for Gemini, the part before the model name
    TemperatureFormat temperature;
    bool maxTokensOnlyWhenSet;    // leave the limit to the provider until a script sets one
    bool sendsStreamFalse;        // says "stream":false explicitly
    bool sendsReferer;            // identifies the application with HTTP-Referer (and X-Title on chat)
    const char* errorPrefix;      // up to and including " ("
    const char* emptyAnswer;      // lastError when a 200 reply carries no answer
    const char* errorKey;         // member that holds the provider's error message
    ChatBuilder buildChat;
    AnswerReader readAnswer;
    StreamProtocol stream;        // the protocol its streamed answers come in
    bool asksStreamUsage;         // a stream reports its usage only when asked ("stream_options")
    const char* imagePath;        // nullptr: images are refused with imageRefusal
    const char* imageRefusal;
    EmbeddingShape embedding;
    const char* keyVariables[2];  // environment variables an empty key is read from, in order; unused: null
    bool readsPdf;                // takes a PDF as a file of its own beside the prompt
};

// Why a provider without images (or no provider) cannot generate one.
extern const char kImagesNeedOpenAI[];

// The row of provider kind 1..7, or nullptr.
const ProviderInfo* FindProvider(int kind);
// The row whose names hold `lowerName`, or nullptr.
const ProviderInfo* FindProviderByName(const std::string& lowerName);
// False for a listed id whose name says it cannot chat (images, embeddings, speech, ...), for the providers
// whose listings carry no capability of their own; true otherwise.
bool IsChatModelName(int kind, const std::string& id);
// The rows in kind order, for lists.
const ProviderInfo* ProviderRows(size_t* count);
