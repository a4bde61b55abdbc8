#include "plugin/catalogue.h"

#include "providers/provider_table.h"

const ActionEntry kCatalogue[] = {
    {0, "Parly Plugin", "", {kKindNone}, 0},
    {kParlyInit, "ParlyInit", "Initialize Parly provider. Provider: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok. ApiKey not needed for Ollama.", {kKindText, kKindText, kKindVariable}, 3},
    {kParlySetEndpoint, "ParlySetEndpoint", "Set custom API endpoint (for Ollama). Example: " PARLY_OLLAMA_DEFAULT_URL, {kKindText}, 1},
    {kParlySetModel, "ParlySetModel", "Set the model to use. Examples: " PARLY_OPENAI_DEFAULT_MODEL ", " PARLY_CLAUDE_DEFAULT_MODEL ", " PARLY_GEMINI_DEFAULT_MODEL ", " PARLY_OLLAMA_DEFAULT_MODEL ", " PARLY_OPENROUTER_DEFAULT_MODEL " (OpenRouter)", {kKindText}, 1},
    {kParlySetSystem, "ParlySetSystem", "Set the system prompt that defines AI behavior", {kKindLongText}, 1},
    {kParlySetTemp, "ParlySetTemp", "Set temperature (0.0-2.0). Lower = more focused, Higher = more creative. Default: 0.7", {kKindNumber}, 1},
    {kParlySetMaxTokens, "ParlySetMaxTokens", "Set maximum tokens in response. Default: 2048", {kKindNumber}, 1},
    {kParlySetMultiline, "ParlySetMultiline", "Set multiline mode. True = keep line breaks, False = single line. Default: True", {kKindText}, 1},
    {kParlySend, "ParlySend", "Send a prompt to the AI and receive response in variable", {kKindLongText, kKindVariable}, 2},
    {kParlyReset, "ParlyReset", "Clear conversation history", {kKindNone}, 0},
    {kParlyGetError, "ParlyGetError", "Get the last error message", {kKindVariable}, 1},
    {kParlyGetModels, "ParlyGetModels", "Get available models (comma-separated list)", {kKindVariable}, 1},
    {kParlySetTimeout, "ParlySetTimeout", "Set request timeout in seconds. Default: 60", {kKindNumber}, 1},
    {kParlyImageGen, "ParlyImageGen", "Generate an AI image with OpenAI (" PARLY_IMAGE_DEFAULT_MODEL "). Saves PNG to specified file.", {kKindLongText, kKindFile, kKindText, kKindVariable}, 4},
    {0, "Parly Plugin - Async (Non-Blocking)", "", {kKindNone}, 0},
    {kParlySendAsync, "ParlySendAsync", "Send prompt without freezing app. Calls subroutine when complete.", {kKindLongText, kKindVariable, kKindText}, 3},
    {kParlyImageGenAsync, "ParlyImageGenAsync", "Generate AI image without freezing app. Calls subroutine when complete.", {kKindLongText, kKindFile, kKindText, kKindVariable, kKindText}, 5},
    {kParlyCancel, "ParlyCancel", "Cancel any pending async request.", {kKindNone}, 0},
    {kParlyIsBusy, "ParlyIsBusy", "Check if async request is in progress. Returns True or False.", {kKindVariable}, 1},
    {0, "Parly Plugin - Settings", "", {kKindNone}, 0},
    {kParlySetProgress, "ParlySetProgress", "Show/hide 'Thinking...' dialog during async requests. Default: True", {kKindText}, 1},
    {kParlySetStreaming, "ParlySetStreaming", "Enable streaming mode - updates variable word-by-word as AI responds.", {kKindText, kKindVariable}, 2},
    {kParlySendStream, "ParlySendStream", "Send prompt with streaming - response appears word-by-word.", {kKindLongText, kKindVariable}, 2},
    {kParlyStopStream, "ParlyStopStream", "Stop the current streaming response.", {kKindNone}, 0},
    {0, "Parly Plugin - Advanced", "", {kKindNone}, 0},
    {kParlyClearHistory, "ParlyClearHistory", "Clear conversation history without reinitializing provider.", {kKindNone}, 0},
    {kParlyGetEmbedding, "ParlyGetEmbedding", "Get vector embedding for text. Returns comma-separated floats. Useful for semantic search.", {kKindLongText, kKindVariable}, 2},
    {kParlySendWithDoc, "ParlySendWithDoc", "Send a prompt with document content. Supports: txt, csv, html, xml, json, md, log, ini, cfg, yaml.", {kKindFile, kKindLongText, kKindVariable}, 3},
    {kParlySendWithImage, "ParlySendWithImage", "Ask about a picture (PNG, JPEG, GIF or WebP, up to 20 MB) and receive response in variable.", {kKindFile, kKindLongText, kKindVariable}, 3},
    {kParlyGetUsage, "ParlyGetUsage", "Get the token counts and stop reason of the last answer.", {kKindVariable, kKindVariable, kKindVariable}, 3},
    {kParlySaveHistory, "ParlySaveHistory", "Save the system prompt and the conversation to a file. Returns OK or ERROR.", {kKindFile, kKindVariable}, 2},
    {kParlyLoadHistory, "ParlyLoadHistory", "Continue a saved conversation: loads its system prompt and history. Returns OK or ERROR.", {kKindFile, kKindVariable}, 2},
};

const size_t kCatalogueSize = sizeof(kCatalogue) / sizeof(kCatalogue[0]);

const ActionEntry* FindAction(int id) {
    if (id < kFirstActionId || id > kLastActionId) return nullptr;
    for (const ActionEntry& e : kCatalogue)
        if (e.id == id) return &e;
    return nullptr;
}
