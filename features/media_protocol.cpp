#include "features/media_protocol.h"

#include <array>
#include <cstring>
#include <stdexcept>

#include "net/ascii.h"
#include "net/encoding.h"
#include "net/json.h"
#include "providers/endpoint.h"
#include "providers/provider_table.h"

const char kTruncationMarker[] = "\n\n[Document truncated - file exceeds 100KB limit]";
static_assert(sizeof(kTruncationMarker) - 1 == 49, "the truncation marker is 49 bytes");

namespace {

constexpr char kJsonType[] = "application/json";

// 6-bit value of each Base64 byte, both alphabets; -1 for bytes that are skipped.
constexpr std::array<signed char, 256> MakeBase64Table() {
    std::array<signed char, 256> table{};
    for (signed char& v : table) v = -1;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    table['-'] = 62;
    table['_'] = 63;
    return table;
}
constexpr std::array<signed char, 256> kBase64Value = MakeBase64Table();

// True when text begins with prefix.
bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::string_view(text).substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string CompactVector(std::string_view numbers) {
    std::string out;
    out.reserve(numbers.size());
    for (const char c : numbers)
        if (!IsJsonBlank(c)) out += c;
    return out;
}

std::vector<unsigned char> Base64Decode(std::string_view text) {
    std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
    out.resize(Base64DecodeInto(text, out.data()));
    return out;
}

size_t Base64DecodeInto(std::string_view text, unsigned char* out) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    unsigned char* o = out;
    unsigned acc = 0;
    int bits = -8;
    size_t i = 0;
    while (i < n) {
        // In step (no pending bits), four alphabet characters in a row make three bytes at once.
        if (bits == -8) {
            while (i + 4 <= n) {
                const int a = kBase64Value[in[i]], b = kBase64Value[in[i + 1]];
                const int c = kBase64Value[in[i + 2]], d = kBase64Value[in[i + 3]];
                if ((a | b | c | d) < 0) break;
                const unsigned v = (static_cast<unsigned>(a) << 18) | (static_cast<unsigned>(b) << 12) |
                                   (static_cast<unsigned>(c) << 6) | static_cast<unsigned>(d);
                o[0] = static_cast<unsigned char>(v >> 16);
                o[1] = static_cast<unsigned char>(v >> 8);
                o[2] = static_cast<unsigned char>(v);
                o += 3;
                i += 4;
            }
            if (i >= n) break;
        }
        const unsigned char ch = in[i++];
        if (ch == '=') break;
        const int v = kBase64Value[ch];
        if (v < 0) continue;
        acc = ((acc << 6) | static_cast<unsigned>(v)) & 0x3FFFu;  // 14 bits hold every pending bit
        bits += 6;
        if (bits >= 0) {
            *o++ = static_cast<unsigned char>((acc >> bits) & 0xFF);
            bits -= 8;
        }
    }
    return static_cast<size_t>(o - out);
}

std::string ImageModelFor(const std::string& sessionModel) {
    const std::string m = AsciiLower(sessionModel);
    if (StartsWith(m, "gpt-image") || StartsWith(m, "chatgpt-image") || StartsWith(m, "dall-e")) return sessionModel;
    return PARLY_IMAGE_DEFAULT_MODEL;
}

std::string ImageSizeFor(const std::string& model, const std::string& size) {
    // The DALL-E models took any of their own sizes; the GPT image models make three shapes (and "auto").
    if (StartsWith(AsciiLower(model), "dall-e")) return size;
    static constexpr struct {
        std::string_view from, to;
    } kNearest[] = {{"256x256", "1024x1024"},   {"512x512", "1024x1024"},   {"1024x1024", "1024x1024"},
                    {"1792x1024", "1536x1024"}, {"1024x1792", "1024x1536"}, {"1536x1024", "1536x1024"},
                    {"1024x1536", "1024x1536"}, {"auto", "auto"}};
    const std::string lower = AsciiLower(size);
    for (const auto& row : kNearest)
        if (lower == row.from) return std::string(row.to);
    return size;
}

ImageRequest BuildImageRequest(const SessionSettings& s, const std::string& prompt, const std::string& size) {
    ImageRequest r;
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p || !p->imagePath) {
        r.error = p ? p->imageRefusal : kImagesNeedOpenAI;
        return r;
    }
    if (s.apiKey.empty()) {
        r.error = "API key required for image generation.";
        return r;
    }
    Endpoint e;
    if (!ResolveEndpoint(*p, s.endpoint, &e, &r.error)) return r;
    r.target = HttpTarget{e.host, e.port, e.secure, p->imagePath};

    const std::string model = ImageModelFor(HostTextToUtf8(s.model));
    const std::string sizeText = ImageSizeFor(model, HostTextToUtf8(size));
    r.model = model;
    r.shape = ShapeFor(s.provider, model, s.maxTokensSet);
    std::string body = "{\"model\":\"";
    body += JsonEscape(model);
    // The size may come from a variable: escaped like the prompt, it can neither end its string nor add members.
    body += "\",\"prompt\":\"" + JsonEscape(HostTextToUtf8(prompt)) + "\",\"n\":1,\"size\":\"" +
            JsonEscape(sizeText) + "\"";
    if (r.shape.responseFormat) body += ",\"response_format\":\"b64_json\"";
    body += '}';
    r.body = std::move(body);
    r.headers["Authorization"] = "Bearer " + HostTextToUtf8(s.apiKey);
    r.headers["Content-Type"] = kJsonType;
    r.ok = true;
    return r;
}

ImageOutcome InterpretImageReply(HttpResult reply) {
    ImageOutcome outcome;
    if (reply.statusCode != 200) {
        outcome.error = "Image generation error (" + std::to_string(reply.statusCode) + "): " + ErrorDetail(reply, "message");
        return outcome;
    }
    const std::string_view body(reply.body);
    // The first "b64_json" member's value, read only when it is a string: null or a number is no image.
    size_t value = kNotFound;
    for (size_t key = FindText(body, "\"b64_json\""); key != kNotFound; key = FindText(body, "\"b64_json\"", key + 1)) {
        const size_t colon = SkipJsonBlank(body, key + 10);
        if (colon >= body.size() || body[colon] != ':') continue;  // a string that reads like the key
        value = SkipJsonBlank(body, colon + 1);
        break;
    }
    const size_t close = value < body.size() && body[value] == '"' ? FindClosingQuote(body, value + 1) : kNotFound;
    if (close == kNotFound || close == value + 1) {
        outcome.error = "Failed to parse image data from response";
        return outcome;
    }
    const std::string_view encoded = body.substr(value + 1, close - value - 1);
    // Base64 carries no escapes as a rule: decoded over the reply's own bytes, no second buffer is needed.
    if (encoded.find('\\') == std::string_view::npos) {
        reply.body.resize(Base64DecodeInto(encoded, reinterpret_cast<unsigned char*>(&reply.body[0])));
        outcome.bytes = std::move(reply.body);
    } else {
        try {
            reply.body = JsonUnescape(encoded);
        } catch (const std::invalid_argument&) {
            outcome.error = "Failed to parse image data from response";
            return outcome;
        }
        reply.body.resize(Base64DecodeInto(reply.body, reinterpret_cast<unsigned char*>(&reply.body[0])));
        outcome.bytes = std::move(reply.body);
    }
    if (outcome.bytes.empty()) {
        outcome.error = "Failed to decode image data";
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

EmbeddingRequest BuildEmbeddingRequest(const SessionSettings& s, const std::string& text) {
    EmbeddingRequest r;
    if (s.provider == kProviderNone) {
        r.error = "No provider initialized";
        return r;
    }
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p || !p->embedding.path) {
        r.error = "Embeddings not supported for this provider. Use OpenAI, OpenRouter, or Ollama.";
        return r;
    }
    Endpoint e;
    if (!ResolveEndpoint(*p, s.endpoint, &e, &r.error)) return r;
    r.target = HttpTarget{e.host, e.port, e.secure, p->embedding.path};
    std::string model = p->embedding.model ? std::string(p->embedding.model)
                        : s.model.empty()  ? std::string(p->defaultModel)
                                           : HostTextToUtf8(s.model);
    if (p->sendsReferer) r.headers["HTTP-Referer"] = kProjectHomePage;
    r.body = "{\"model\":\"" + JsonEscape(model) + "\",\"" + p->embedding.textKey + "\":\"" +
             JsonEscape(HostTextToUtf8(text)) + "\"}";
    if (!s.apiKey.empty()) r.headers["Authorization"] = "Bearer " + HostTextToUtf8(s.apiKey);
    r.headers["Content-Type"] = kJsonType;
    r.ok = true;
    return r;
}

EmbeddingOutcome InterpretEmbeddingReply(const HttpResult& reply) {
    EmbeddingOutcome outcome;
    if (reply.statusCode != 200) {
        outcome.error = "Embedding error (" + std::to_string(reply.statusCode) + "): " + ErrorDetail(reply, "message");
        return outcome;
    }
    // Providers that pretty-print put white space around the colon, and "embedding" may also appear as a value first.
    const std::string& body = reply.body;
    size_t start = kNotFound;
    for (size_t key = FindText(body, "\"embedding\""); key != kNotFound; key = FindText(body, "\"embedding\"", key + 1)) {
        size_t i = SkipJsonBlank(body, key + 11);
        if (i >= body.size() || body[i] != ':') continue;
        i = SkipJsonBlank(body, i + 1);
        if (i < body.size() && body[i] == '[') {
            start = i + 1;
            break;
        }
    }
    if (start == kNotFound) {
        outcome.error = "Failed to extract embedding from response";
        return outcome;
    }
    const size_t end = start < reply.body.size() ? reply.body.find(']', start) : std::string::npos;
    if (end == std::string::npos) {
        outcome.error = "Malformed embedding response";
        return outcome;
    }
    outcome.vector = CompactVector(std::string_view(reply.body).substr(start, end - start));
    // An empty vector embeds nothing: no success.
    if (outcome.vector.empty()) {
        outcome.error = "Failed to extract embedding from response";
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

std::string CheckDocumentExtension(const std::string& path) {
    static constexpr std::string_view kAccepted[] = {
        ".txt",  ".csv", ".html", ".htm", ".xml", ".json", ".md", ".log", ".ini", ".cfg",
        ".yaml", ".yml", ".rtf",  ".css", ".js",  ".py",   ".cpp", ".h",  ".java", ".pdf",
    };
    const size_t dot = path.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : AsciiLower(std::string_view(path).substr(dot));
    for (const std::string_view accepted : kAccepted) {
        if (ext == accepted) return std::string();
    }
    return "Unsupported file format: " + ext + ". Use txt, csv, html, xml, json, md, log, ini, cfg, yaml, or pdf.";
}

bool IsPdfPath(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot != std::string::npos && AsciiLower(std::string_view(path).substr(dot)) == ".pdf";
}

const char* SniffImageType(const unsigned char* head, size_t size) {
    auto starts = [&](const char* magic, size_t n, size_t at = 0) {
        return size >= at + n && std::memcmp(head + at, magic, n) == 0;
    };
    if (starts("\x89PNG\r\n\x1a\n", 8)) return "image/png";
    if (starts("\xff\xd8\xff", 3)) return "image/jpeg";
    if (starts("GIF87a", 6) || starts("GIF89a", 6)) return "image/gif";
    if (starts("RIFF", 4) && starts("WEBP", 4, 8)) return "image/webp";
    return nullptr;
}

bool StartsAsPdf(const unsigned char* head, size_t size) { return size >= 5 && std::memcmp(head, "%PDF-", 5) == 0; }

void AppendBase64(std::string& out, const unsigned char* data, size_t size) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t at = out.size();
    out.resize(at + Base64Length(size));
    char* o = &out[at];
    size_t i = 0;
    for (; i + 3 <= size; i += 3, o += 4) {
        const unsigned v = (unsigned{data[i]} << 16) | (unsigned{data[i + 1]} << 8) | data[i + 2];
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = kAlphabet[(v >> 6) & 63];
        o[3] = kAlphabet[v & 63];
    }
    if (i < size) {
        const unsigned v = (unsigned{data[i]} << 16) | (i + 1 < size ? unsigned{data[i + 1]} << 8 : 0u);
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
    }
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ComposeDocumentPrompt(const std::string& document, const std::string& prompt) {
    static constexpr std::string_view kPrefix = "The following is the content of a document:\n\n---\n";
    static constexpr std::string_view kSeparator = "\n---\n\n";
    std::string out;
    out.reserve(kPrefix.size() + document.size() + kSeparator.size() + prompt.size());
    out.append(kPrefix).append(document).append(kSeparator).append(prompt);
    return out;
}

