#include "providers/provider_table.h"

#include "providers/chat_protocol.h"
#include "providers/chat_stream.h"

const char kImagesNeedOpenAI[] =
    "Image generation requires OpenAI or OpenRouter provider. Current provider does not support DALL-E.";

namespace {

constexpr const char* kNoImages = kImagesNeedOpenAI;

constexpr EmbeddingShape kNoEmbeddings = {nullptr, nullptr, nullptr};

const ProviderInfo kProviders[] = {
    {kProviderOpenAI, {"openai", nullptr}, "OpenAI", true, PARLY_OPENAI_DEFAULT_MODEL,
     {"/v1/models", ModelPaging::None, ListAuth::Bearer},
     "api.openai.com", "PARLY_OPENAI_URL", nullptr, "/v1/chat/completions",
     TemperatureFormat::Fixed2, false, false, false,
     "OpenAI API error (", "Failed to parse OpenAI response", "message",
     BuildCompatibleChat, ReadOpenAIAnswer,
     StreamProtocol::ChatCompletions,
     "/v1/images/generations", nullptr,
     {"/v1/embeddings", "text-embedding-3-small", "input"}, true},
    {kProviderClaude, {"claude", "anthropic"}, "Claude", true, PARLY_CLAUDE_DEFAULT_MODEL,
     {"/v1/models", ModelPaging::AfterId, ListAuth::ClaudeKey},
     "api.anthropic.com", "PARLY_CLAUDE_URL", nullptr, "/v1/messages",
     TemperatureFormat::Fixed2, false, false, false,
     "Claude API error (", "Failed to parse Claude response", "message",
     BuildClaudeChat, ReadClaudeAnswer,
     StreamProtocol::Claude,
     nullptr, kNoImages, kNoEmbeddings, true},
    {kProviderGemini, {"google", "gemini"}, "Google", true, PARLY_GEMINI_DEFAULT_MODEL,
     {"/v1beta/models", ModelPaging::PageToken, ListAuth::QueryKey},
     "generativelanguage.googleapis.com", "PARLY_GEMINI_URL", nullptr, "/v1beta/models/",
     TemperatureFormat::Fixed2, false, false, false,
     "Google API error (", "Failed to parse Google response", "message",
     BuildGeminiChat, ReadTextAnswer,
     StreamProtocol::Gemini,
     nullptr, kNoImages, kNoEmbeddings, true},
    {kProviderOllama, {"ollama", nullptr}, "Ollama", false, PARLY_OLLAMA_DEFAULT_MODEL,
     {nullptr, ModelPaging::None, ListAuth::None},
     nullptr, nullptr, PARLY_OLLAMA_DEFAULT_URL, "/api/chat",
     TemperatureFormat::Fixed2, false, false, false,
     "Ollama error (", "Failed to parse Ollama response", "error",
     BuildOllamaChat, ReadOllamaAnswer,
     StreamProtocol::Ollama,
     nullptr, kNoImages,
     {"/api/embeddings", nullptr, "prompt"}, false},
    {kProviderOpenRouter, {"openrouter", nullptr}, "OpenRouter", true, PARLY_OPENROUTER_DEFAULT_MODEL,
     {"/api/v1/models", ModelPaging::None, ListAuth::None},
     "openrouter.ai", "PARLY_OPENROUTER_URL", nullptr, "/api/v1/chat/completions",
     TemperatureFormat::Shortest, true, false, true,
     "OpenRouter error (", "Failed to extract response from OpenRouter", "message",
     BuildCompatibleChat, ReadCompatibleAnswer,
     StreamProtocol::ChatCompletions,
     nullptr, "Image generation with OpenRouter is not supported. Select OpenAI with ParlyInit to generate images.",
     {"/api/v1/embeddings", "openai/text-embedding-3-small", "input"}, true},
    {kProviderGroq, {"groq", nullptr}, "Groq", true, PARLY_GROQ_DEFAULT_MODEL,
     {"/openai/v1/models", ModelPaging::None, ListAuth::Bearer},
     "api.groq.com", "PARLY_GROQ_URL", nullptr, "/openai/v1/chat/completions",
     TemperatureFormat::Shortest, false, false, false,
     "Groq error (", "Failed to extract response from Groq", "message",
     BuildCompatibleChat, ReadCompatibleAnswer,
     StreamProtocol::ChatCompletions,
     nullptr, kNoImages, kNoEmbeddings, false},
    {kProviderGrok, {"grok", "xai"}, "Grok", true, PARLY_GROK_DEFAULT_MODEL,
     {"/v1/models", ModelPaging::None, ListAuth::Bearer},
     "api.x.ai", "PARLY_GROK_URL", nullptr, "/v1/chat/completions",
     TemperatureFormat::Shortest, false, true, false,
     "Grok error (", "Failed to extract response from Grok", "message",
     BuildCompatibleChat, ReadCompatibleAnswer,
     StreamProtocol::ChatCompletions,
     nullptr, kNoImages, kNoEmbeddings, false},
};

}  // namespace

const ProviderInfo* FindProvider(int kind) {
    for (const ProviderInfo& p : kProviders)
        if (p.kind == kind) return &p;
    return nullptr;
}

const ProviderInfo* FindProviderByName(const std::string& lowerName) {
    for (const ProviderInfo& p : kProviders)
        for (const char* name : p.names)
            if (name && lowerName == name) return &p;
    return nullptr;
}

const ProviderInfo* ProviderRows(size_t* count) {
    *count = sizeof(kProviders) / sizeof(kProviders[0]);
    return kProviders;
}
