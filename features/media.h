// Image files, embedding vectors and document texts: the operations behind the media actions.
#pragma once
#include <string>

#include "session/settings.h"

// "OK" with the PNG written, or "ERROR" with lastError set; an existing file survives every failure.
std::string GenerateImage(const SessionSettings& s, const std::string& prompt, const std::string& size,
                          const std::string& outputPath);
// The vector text exactly as the provider wrote it, or "" with lastError set.
std::string GetEmbedding(const SessionSettings& s, const std::string& text);
// The document's bytes (cut at the limit, with the marker), or "" with lastError set.
std::string LoadDocument(const std::string& path);
