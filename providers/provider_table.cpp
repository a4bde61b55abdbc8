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
     StreamProtocol::ChatCompletions, true,
     "/v1/images/generations", nullptr,
     {"/v1/embeddings", "text-embedding-3-small", "input"},
     {"OPENAI_API_KEY", nullptr}, true},
    {kProviderClaude, {"claude", "anthropic"}, "Claude", true, PARLY_CLAUDE_DEFAULT_MODEL,
     {"/v1/models", ModelPaging::AfterId, ListAuth::ClaudeKey},
     "api.anthropic.com", "PARLY_CLAUDE_URL", nullptr, "/v1/messages",
     TemperatureFormat::Fixed2, false, false, false,
     "Claude API error (", "Failed to parse Claude response", "message",
     BuildClaudeChat, ReadClaudeAnswer,
     StreamProtocol::Claude, false,
     nullptr, kNoImages, kNoEmbeddings,
     {"ANTHROPIC_API_KEY", nullptr}, true},
    {kProviderGemini, {"google", "gemini"}, "Google", true, PARLY_GEMINI_DEFAULT_MODEL,
     {"/v1beta/models", ModelPaging::PageToken, ListAuth::QueryKey},
     "generativelanguage.googleapis.com", "PARLY_GEMINI_URL", nullptr, "/v1beta/models/",
     TemperatureFormat::Fixed2, false, false, false,
     "Google API error (", "Failed to parse Google response", "message",
     BuildGeminiChat, ReadGeminiAnswer,
     StreamProtocol::Gemini, false,
     nullptr, kNoImages, kNoEmbeddings,
     {"GEMINI_API_KEY", "GOOGLE_API_KEY"}, true},
    {kProviderOllama, {"ollama", nullptr}, "Ollama", false, PARLY_OLLAMA_DEFAULT_MODEL,
     {nullptr, ModelPaging::None, ListAuth::None},
     nullptr, nullptr, PARLY_OLLAMA_DEFAULT_URL, "/api/chat",
     TemperatureFormat::Fixed2, false, false, false,
     "Ollama error (", "Failed to parse Ollama response", "error",
     BuildOllamaChat, ReadOllamaAnswer,
     StreamProtocol::Ollama, false,
     nullptr, kNoImages,
     {"/api/embeddings", nullptr, "prompt"},
     {nullptr, nullptr}, false},
    {kProviderOpenRouter, {"openrouter", nullptr}, "OpenRouter", true, PARLY_OPENROUTER_DEFAULT_MODEL,
     {"/api/v1/models", ModelPaging::None, ListAuth::None},
     "openrouter.ai", "PARLY_OPENROUTER_URL", nullptr, "/api/v1/chat/completions",
     TemperatureFormat::Shortest, true, false, true,
     "OpenRouter error (", "Failed to extract response from OpenRouter", "message",
     BuildCompatibleChat, ReadCompatibleAnswer,
     StreamProtocol::ChatCompletions, false,
     nullptr, "Image generation with OpenRouter is not supported. Select OpenAI with ParlyInit to generate images.",
     {"/api/v1/embeddings", "openai/text-embedding-3-small", "input"},
     {"OPENROUTER_API_KEY", nullptr}, true},
    {kProviderGroq, {"groq", nullptr}, "Groq", true, PARLY_GROQ_DEFAULT_MODEL,
     {"/openai/v1/models", ModelPaging::None, ListAuth::Bearer},
     "api.groq.com", "PARLY_GROQ_URL", nullptr, "/openai/v1/chat/completions",
     TemperatureFormat::Shortest, false, false, false,
     "Groq error (", "Failed to extract response from Groq", "message",
     BuildCompatibleChat, ReadCompatibleAnswer,
     StreamProtocol::ChatCompletions, true,
     nullptr, kNoImages, kNoEmbeddings,
     {"GROQ_API_KEY", nullptr}, false},
    {kProviderGrok, {"grok", "xai"}, "Grok", true, PARLY_GROK_DEFAULT_MODEL,
     {"/v1/models", ModelPaging::None, ListAuth::Bearer},
     "api.x.ai", "PARLY_GROK_URL", nullptr, "/v1/chat/completions",
     TemperatureFormat::Shortest, false, true, false,
     "Grok error (", "Failed to extract response from Grok", "error",
     BuildCompatibleChat, ReadCompatibleAnswer,
     StreamProtocol::ChatCompletions, true,
     nullptr, kNoImages, kNoEmbeddings,
     {"XAI_API_KEY", nullptr}, false},
};

// Parts of the names that OpenAI, xAI and Groq give their models that cannot chat, as their model pages name
// them: their listings say nothing of what a model does. Checked 2026-12-08 (docs/guide.md, "Providers and models").
struct NonChatName {
    int kind;
    const char* part;  // lower case, anywhere in the id
};

const NonChatName kNonChatNames[] = {
    {kProviderOpenAI, "dall-e"},     {kProviderOpenAI, "image"},      {kProviderOpenAI, "embedding"},
    {kProviderOpenAI, "tts"},        {kProviderOpenAI, "whisper"},    {kProviderOpenAI, "transcribe"},
    {kProviderOpenAI, "moderation"}, {kProviderOpenAI, "sora"},       {kProviderOpenAI, "realtime"},
    {kProviderOpenAI, "babbage"},    {kProviderOpenAI, "davinci"},    {kProviderOpenAI, "audio"},
    {kProviderGrok, "image"},        {kProviderGrok, "imagine"},      {kProviderGrok, "video"},
    {kProviderGrok, "embed"},        {kProviderGrok, "tts"},          {kProviderGrok, "voice"},
    {kProviderGroq, "whisper"},      {kProviderGroq, "tts"},          {kProviderGroq, "playai"},
};

}  // namespace

bool IsChatModelName(int kind, const std::string& id) {
    std::string lower(id);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const NonChatName& rule : kNonChatNames)
        if (rule.kind == kind && lower.find(rule.part) != std::string::npos) return false;
    return true;
}

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
