#include "plugin/catalogue.h"

const ActionEntry kCatalogue[] = {
    {0, "Parly Plugin", "", {0}, 0},
    {kParlyInit, "ParlyInit", "Initialize Parly provider. Provider: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok. ApiKey not needed for Ollama.", {1, 1, 6}, 3},
    {kParlySetEndpoint, "ParlySetEndpoint", "Set custom API endpoint (for Ollama). Example: http://localhost:11434", {1}, 1},
    {kParlySetModel, "ParlySetModel", "Set the model to use. Examples: gpt-4o, claude-sonnet-4-20250514, gemini-1.5-pro, llama3, google/gemma-3-1b-it:free (OpenRouter)", {1}, 1},
    {kParlySetSystem, "ParlySetSystem", "Set the system prompt that defines AI behavior", {2}, 1},
    {kParlySetTemp, "ParlySetTemp", "Set temperature (0.0-2.0). Lower = more focused, Higher = more creative. Default: 0.7", {3}, 1},
    {kParlySetMaxTokens, "ParlySetMaxTokens", "Set maximum tokens in response. Default: 2048", {3}, 1},
    {kParlySetMultiline, "ParlySetMultiline", "Set multiline mode. True = keep line breaks, False = single line. Default: True", {1}, 1},
    {kParlySend, "ParlySend", "Send a prompt to the AI and receive response in variable", {2, 6}, 2},
    {kParlyReset, "ParlyReset", "Clear conversation history", {0}, 0},
    {kParlyGetError, "ParlyGetError", "Get the last error message", {6}, 1},
    {kParlyGetModels, "ParlyGetModels", "Get available models (comma-separated list)", {6}, 1},
    {kParlySetTimeout, "ParlySetTimeout", "Set request timeout in seconds. Default: 60", {3}, 1},
    {kParlyImageGen, "ParlyImageGen", "Generate an AI image using DALL-E. Saves PNG to specified file.", {2, 5, 1, 6}, 4},
    {0, "Parly Plugin - Async (Non-Blocking)", "", {0}, 0},
    {kParlySendAsync, "ParlySendAsync", "Send prompt without freezing app. Calls subroutine when complete.", {2, 6, 1}, 3},
    {kParlyImageGenAsync, "ParlyImageGenAsync", "Generate AI image without freezing app. Calls subroutine when complete.", {2, 5, 1, 6, 1}, 5},
    {kParlyCancel, "ParlyCancel", "Cancel any pending async request.", {0}, 0},
    {kParlyIsBusy, "ParlyIsBusy", "Check if async request is in progress. Returns True or False.", {6}, 1},
    {0, "Parly Plugin - Settings", "", {0}, 0},
    {kParlySetProgress, "ParlySetProgress", "Show/hide 'Thinking...' dialog during async requests. Default: True", {1}, 1},
    {kParlySetStreaming, "ParlySetStreaming", "Enable streaming mode - updates variable word-by-word as AI responds.", {1, 6}, 2},
    {kParlySendStream, "ParlySendStream", "Send prompt with streaming - response appears word-by-word.", {2, 6}, 2},
    {kParlyStopStream, "ParlyStopStream", "Stop the current streaming response.", {0}, 0},
    {0, "Parly Plugin - Advanced", "", {0}, 0},
    {kParlyClearHistory, "ParlyClearHistory", "Clear conversation history without reinitializing provider.", {0}, 0},
    {kParlyGetEmbedding, "ParlyGetEmbedding", "Get vector embedding for text. Returns comma-separated floats. Useful for semantic search.", {2, 6}, 2},
    {kParlySendWithDoc, "ParlySendWithDoc", "Send a prompt with document content. Supports: txt, csv, html, xml, json, md, log, ini, cfg, yaml.", {5, 2, 6}, 3},
};

const size_t kCatalogueSize = sizeof(kCatalogue) / sizeof(kCatalogue[0]);

const ActionEntry* FindAction(int id) {
    if (id < kFirstActionId || id > kLastActionId) return nullptr;
    for (const ActionEntry& e : kCatalogue)
        if (e.id == id) return &e;
    return nullptr;
}
