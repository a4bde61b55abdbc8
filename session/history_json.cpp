#include "session/history_json.h"

#include <cctype>
#include <memory>
#include <stdexcept>
#include <vector>

#include "features/media_protocol.h"

#include "net/encoding.h"
#include "net/json.h"
#include "net/json_walk.h"

namespace {

void AppendString(std::string& out, const std::string& hostText) {
    out += '"';
    AppendJsonEscaped(out, HostTextToUtf8(hostText));
    out += '"';
}

// The string member `key` of the object at `at` into *out; false when present but not a string,
// or (when `required`) absent.
bool StringMember(std::string_view json, size_t at, const char* key, bool required, std::string* out) {
    const size_t value = JsonMember(json, at, key);
    if (value == kNotFound) return !required;
    try {
        return JsonStringAt(json, value, out);
    } catch (const std::exception&) {  // a bad escape makes the file broken, not the load
        return false;
    }
}

// Only these go into a request body, where the media type is written as it is.
bool IsKnownMediaType(const std::string& type) {
    return type == "image/png" || type == "image/jpeg" || type == "image/gif" || type == "image/webp" ||
           type == "application/pdf";
}

// The data is written into request bodies as it is: only the Base64 alphabet may pass, and its first bytes
// must be of the declared type.
bool IsEncodedFileOf(const std::string& data, const std::string& mediaType) {
    for (unsigned char c : data)
        if (!std::isalnum(c) && c != '+' && c != '/' && c != '=') return false;
    // Whole quanta, padded only at the end: anything else the provider refuses on every later send.
    const size_t pad = data.find('=') == std::string::npos ? 0 : data.size() - data.find('=');
    if (data.size() % 4 != 0 || pad > 2 || data.find_first_not_of('=', data.size() - pad) != std::string::npos)
        return false;
    const std::vector<unsigned char> head = Base64Decode(std::string_view(data).substr(0, 16));
    if (mediaType == "application/pdf") return StartsAsPdf(head.data(), head.size());
    const char* sniffed = SniffImageType(head.data(), head.size());
    return sniffed && mediaType == sniffed;
}

bool ReadAttachments(std::string_view json, size_t at, ChatMessage* m, std::string* error) {
    bool ok = JsonEachElement(json, at, [&](size_t item) {
        std::string type;
        auto a = std::make_shared<Attachment>();
        if (json[item] != '{' || !StringMember(json, item, "type", true, &type) ||
            !StringMember(json, item, "media_type", true, &a->mediaType) ||
            !StringMember(json, item, "file_name", false, &a->fileName) ||
            !StringMember(json, item, "data", true, &a->base64) || type.empty() || a->base64.empty()) {
            *error = "an attachment lacks its type, media_type or data";
            return false;
        }
        if (!IsKnownMediaType(a->mediaType) || type != (a->IsPdf() ? "document" : "image") ||
            !IsEncodedFileOf(a->base64, a->mediaType)) {
            *error = "an attachment is not a PNG, JPEG, GIF, WebP picture or a PDF";
            return false;
        }
        // A loaded file is sent again as it is, so it keeps to the limits the actions read files with.
        const size_t bytes = a->base64.size() / 4 * 3 - (a->base64.size() - a->base64.find_last_not_of('=') - 1);
        if (bytes > (a->IsPdf() ? kPdfFileLimit : kImageFileLimit)) {
            *error = a->IsPdf() ? "an attachment is a PDF larger than 32 MB"
                                : "an attachment is a picture larger than 20 MB";
            return false;
        }
        // A turn holds one file: a second would be lost without a word.
        if (m->attachment) {
            *error = "a message carries more than one attachment";
            return false;
        }
        m->attachment = std::move(a);
        return true;
    });
    if (!ok && error->empty()) *error = "\"attachments\" is not a list";
    return ok && error->empty();
}

bool ReadMessages(std::string_view json, size_t at, ConversationHistory* history, std::string* error) {
    bool ok = JsonEachElement(json, at, [&](size_t item) {
        ChatMessage m;
        const char* expected = history->size() % 2 == 0 ? "user" : "assistant";
        if (json[item] != '{' || !StringMember(json, item, "role", true, &m.role) ||
            !StringMember(json, item, "content", true, &m.content)) {
            *error = "a message lacks its role or content";
            return false;
        }
        if (m.role != expected) {
            *error = "message " + std::to_string(history->size() + 1) + " should be from the " + expected;
            return false;
        }
        const size_t attachments = JsonMember(json, item, "attachments");
        if (attachments != kNotFound && json[attachments] != 'n' && !ReadAttachments(json, attachments, &m, error))
            return false;
        // Only a question carries a file: the providers refuse one on an answer, at every later send.
        if (m.attachment && m.role != "user") {
            *error = "an answer carries an attachment";
            return false;
        }
        history->push_back(std::move(m));
        return true;
    });
    if (!ok && error->empty()) *error = "\"messages\" is not a list";
    if (!error->empty()) return false;
    if (history->size() % 2 != 0) {
        *error = "the last message has no answer";
        return false;
    }
    return true;
}

}  // namespace

std::string WriteConversationJson(const std::string& systemPrompt, const ConversationHistory& history) {
    size_t size = systemPrompt.size() + 128;
    for (const ChatMessage& m : history) {
        size += m.content.size() + 64;
        if (m.attachment) size += m.attachment->base64.size() + m.attachment->fileName.size() + 96;
    }
    std::string out;
    out.reserve(size + size / 16);
    out += "{\"format\": \"";
    out += kConversationFormat;
    out += "\", \"version\": " + std::to_string(kConversationVersion) + ",\n \"system\": ";
    AppendString(out, systemPrompt);
    out += ",\n \"messages\": [";
    for (size_t i = 0; i < history.size(); ++i) {
        const ChatMessage& m = history[i];
        out += i ? ",\n  " : "\n  ";
        out += "{\"role\": ";
        AppendString(out, m.role);
        out += ", \"content\": ";
        AppendString(out, m.content);
        if (const Attachment* a = m.attachment.get()) {
            out += a->IsPdf() ? ", \"attachments\": [{\"type\": \"document\"" : ", \"attachments\": [{\"type\": \"image\"";
            out += ", \"media_type\": \"";
            AppendJsonEscaped(out, a->mediaType);
            out += "\", \"file_name\": \"";
            AppendJsonEscaped(out, a->fileName);  // already UTF-8
            out += "\", \"data\": \"";
            out += a->base64;
            out += "\"}]";
        }
        out += '}';
    }
    out += history.empty() ? "]}\n" : "\n ]}\n";
    return out;
}

bool ReadConversationJson(std::string_view text, SavedConversation* out, std::string* error) {
    error->clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (!IsValidUtf8(text)) {
        *error = "it is not UTF-8 text";
        return false;
    }
    if (!IsWellFormedJson(text)) {
        *error = "it is not well-formed JSON";
        return false;
    }
    const size_t top = SkipJsonBlank(text, 0);
    std::string format;
    if (text[top] != '{' || !StringMember(text, top, "format", true, &format) || format != kConversationFormat) {
        *error = "it is not a Parly conversation";
        return false;
    }
    const std::string version = JsonCountAt(text, JsonMember(text, top, "version"));
    if (version.empty() || version == "0") {
        *error = "its version is missing or unreadable";
        return false;
    }
    if (version.size() > 9 || std::stoul(version) > static_cast<unsigned long>(kConversationVersion)) {
        *error = "it was saved by a newer Parly Plugin (format version " + version + ")";
        return false;
    }
    SavedConversation read;
    if (!StringMember(text, top, "system", false, &read.systemPrompt)) {
        *error = "\"system\" is not a text";
        return false;
    }
    const size_t messages = JsonMember(text, top, "messages");
    if (messages == kNotFound) {
        *error = "it has no \"messages\"";
        return false;
    }
    if (!ReadMessages(text, messages, &read.history, error)) return false;
    *out = std::move(read);
    return true;
}
