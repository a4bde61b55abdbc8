// Image files, embedding vectors and document texts: the operations behind the media actions.
#pragma once
#include <string>

#include "session/settings.h"

// "OK" with the PNG written, or "ERROR" with lastError set; an existing file survives every failure.
std::string GenerateImage(const SessionSettings& s, const std::string& prompt, const std::string& size,
                          const std::string& outputPath);
// The two halves of GenerateImage, for a caller that decides in between whether the file is still wanted:
// the decoded image from the provider (false with *error), and the file write ("" or the error text).
bool FetchImage(const SessionSettings& s, const std::string& prompt, const std::string& size,
                std::string* bytes, std::string* error);
std::string WriteImageFile(const std::string& path, const std::string& bytes);
// Writes `size` bytes to a file beside `path` and moves it over `path`: "" or the error text; an existing
// file survives every failure.
std::string WriteWholeFile(const std::string& path, const void* data, size_t size);
// "" when the folder of `path` exists, else the text of a file that cannot be created; checked before an image is paid for.
std::string CheckOutputFolder(const std::string& path);
// The vector text exactly as the provider wrote it, or "" with lastError set.
std::string GetEmbedding(const SessionSettings& s, const std::string& text);
// The document's bytes (cut at the limit, with the marker), or "" with lastError set.
std::string LoadDocument(const std::string& path);
// A picture (PNG, JPEG, GIF or WebP by its first bytes, at most 20 MB) or a PDF (at most 32 MB) read and
// Base64-encoded in one pass, or nullptr with lastError set.
enum class AttachmentKind { Image, Pdf };
AttachmentRef LoadAttachment(const std::string& path, AttachmentKind kind);
