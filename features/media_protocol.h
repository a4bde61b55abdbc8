// Image, embedding and document texts that need no platform calls. Pure.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "net/http.h"
#include "providers/model_rules.h"
#include "session/settings.h"

// Decodes standard and URL-safe Base64; stops at '=', skips bytes outside the alphabet.
std::vector<unsigned char> Base64Decode(std::string_view text);
// Base64Decode into `out`, which may be text's own first byte (the bytes never overtake the text); their count.
size_t Base64DecodeInto(std::string_view text, unsigned char* out);

struct ImageRequest {
    bool ok = false;
    std::string error;
    HttpTarget target;
    std::string body;
    HeaderMap headers;
    std::string model;   // the image model asked
    RequestShape shape;  // whether "response_format" went out
};
// The image model for a session model: an image model the script chose, else the default one.
std::string ImageModelFor(const std::string& sessionModel);
// The size sent to `model`: sizes that only the DALL-E models made go to the nearest size a GPT image model makes.
std::string ImageSizeFor(const std::string& model, const std::string& size);
ImageRequest BuildImageRequest(const SessionSettings& s, const std::string& prompt, const std::string& size);

struct ImageOutcome {
    bool ok = false;
    std::string bytes;  // the decoded image
    std::string error;
};
// Takes the reply: the image is decoded where its text lies in the body, so the reply is never held twice.
ImageOutcome InterpretImageReply(HttpResult reply);

struct EmbeddingRequest {
    bool ok = false;
    std::string error;
    HttpTarget target;
    std::string body;
    HeaderMap headers;
};
EmbeddingRequest BuildEmbeddingRequest(const SessionSettings& s, const std::string& text);

struct EmbeddingOutcome {
    bool ok = false;
    std::string vector;
    std::string error;
};
EmbeddingOutcome InterpretEmbeddingReply(const HttpResult& reply);
// The numbers of an embedding array as written, every space, tab and line break between them removed.
std::string CompactVector(std::string_view numbers);

// Lowered extension check; empty string when accepted, else the lastError text.
std::string CheckDocumentExtension(const std::string& path);
std::string ComposeDocumentPrompt(const std::string& document, const std::string& prompt);
constexpr size_t kDocumentLimit = 102400;
// True when the path names a PDF (by its extension; its bytes are checked when it is read).
bool IsPdfPath(const std::string& path);

// The largest picture and PDF sent, in bytes.
constexpr unsigned long long kImageFileLimit = 20ull << 20;
constexpr unsigned long long kPdfFileLimit = 32ull << 20;
// The media type of a PNG, JPEG, GIF or WebP file from its first bytes, or nullptr (at least 12 bytes decide).
const char* SniffImageType(const unsigned char* head, size_t size);
// True when the bytes begin as a PDF does ("%PDF-").
bool StartsAsPdf(const unsigned char* head, size_t size);
// Appends the Base64 of `size` bytes; a run that is not the last must be a multiple of 3 bytes long.
void AppendBase64(std::string& out, const unsigned char* data, size_t size);
// The length of the Base64 text of `size` bytes.
constexpr size_t Base64Length(size_t size) { return (size + 2) / 3 * 4; }
// The file name of a path, without its folder.
std::string FileNameOf(const std::string& path);
extern const char kTruncationMarker[];  // 49 bytes
