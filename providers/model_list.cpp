#include "providers/model_list.h"

#include <functional>
#include <stdexcept>
#include <string_view>

#include "net/encoding.h"
#include "net/json.h"
#include "net/json_walk.h"
#include "providers/endpoint.h"
#include "providers/provider_table.h"

namespace {

// Percent-encodes everything but the unreserved bytes, for a cursor or key inside a query string.
std::string EncodeQueryValue(std::string_view text) {
    static const char kHexUpper[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHexUpper[b >> 4];
            out += kHexUpper[b & 0x0F];
        }
    }
    return out;
}

// --- A small structural reader: listings nest objects, so a first-match search could take a nested id.

// Calls visit(key, value) for each member of the object `j` (blanks around it allowed); false when malformed.
bool ForEachMember(std::string_view j, const std::function<void(const std::string&, std::string_view)>& visit) {
    size_t i = SkipJsonBlank(j, 0);
    if (i >= j.size() || j[i] != '{') return false;
    i = SkipJsonBlank(j, i + 1);
    if (i < j.size() && j[i] == '}') return true;
    for (;;) {
        if (i >= j.size() || j[i] != '"') return false;
        const size_t close = FindClosingQuote(j, i + 1);
        if (close == kNotFound) return false;
        const std::string key = JsonUnescape(j.substr(i + 1, close - i - 1));
        i = SkipJsonBlank(j, close + 1);
        if (i >= j.size() || j[i] != ':') return false;
        const size_t start = SkipJsonBlank(j, i + 1);
        const size_t end = JsonSkipValue(j, start);
        if (end == kNotFound) return false;
        visit(key, j.substr(start, end - start));
        i = SkipJsonBlank(j, end);
        if (i < j.size() && j[i] == ',') {
            i = SkipJsonBlank(j, i + 1);
            continue;
        }
        return i < j.size() && j[i] == '}';
    }
}

// Calls visit(element) for each element of the array `j`; false when malformed.
bool ForEachElement(std::string_view j, const std::function<void(std::string_view)>& visit) {
    size_t i = SkipJsonBlank(j, 0);
    if (i >= j.size() || j[i] != '[') return false;
    i = SkipJsonBlank(j, i + 1);
    if (i < j.size() && j[i] == ']') return true;
    for (;;) {
        const size_t start = SkipJsonBlank(j, i);
        const size_t end = JsonSkipValue(j, start);
        if (end == kNotFound) return false;
        visit(j.substr(start, end - start));
        i = SkipJsonBlank(j, end);
        if (i < j.size() && j[i] == ',') {
            ++i;
            continue;
        }
        return i < j.size() && j[i] == ']';
    }
}

// The decoded text of a string value, or empty when the value is no string.
std::string StringOf(std::string_view value) {
    if (value.size() < 2 || value.front() != '"') return std::string();
    return JsonUnescape(value.substr(1, value.size() - 2));
}

// True when the array value holds the string `wanted`.
bool ArrayHolds(std::string_view array, const std::string& wanted) {
    bool found = false;
    ForEachElement(array, [&](std::string_view e) { found = found || StringOf(e) == wanted; });
    return found;
}

// The model id of one listing entry, or empty when the chat cannot use it by what the entry says.
std::string ChatModelOf(int provider, std::string_view entry) {
    std::string id, name;
    bool chat = true;
    ForEachMember(entry, [&](const std::string& key, std::string_view value) {
        if (key == "id") {
            id = StringOf(value);
        } else if (key == "name") {
            name = StringOf(value);
        } else if (key == "supportedGenerationMethods") {
            chat = chat && ArrayHolds(value, "generateContent");
        } else if (key == "active") {
            chat = chat && value != "false";  // a model the provider switched off
        } else if (key == "architecture") {
            // A model that writes no text (images only) is no chat model.
            ForEachMember(value, [&](const std::string& k, std::string_view v) {
                if (k == "output_modalities") chat = chat && ArrayHolds(v, "text");
            });
        }
    });
    if (!chat) return std::string();
    if (provider == kProviderGemini) {
        // Gemini names its models "models/<id>"; the chat path adds that part itself.
        if (name.compare(0, 7, "models/") == 0) name.erase(0, 7);
        return name;
    }
    return id;
}

ModelPage ReadPage(const ProviderInfo& p, const std::string& body) {
    ModelPage page;
    bool listed = false, seenList = false, more = false;
    std::string lastId;
    const bool wellFormed = ForEachMember(body, [&](const std::string& key, std::string_view value) {
        if (key == "data" || key == "models") {
            seenList = true;
            listed = ForEachElement(value, [&](std::string_view entry) {
                std::string id = ChatModelOf(p.kind, entry);
                if (IsListableModelId(id) && IsChatModelName(p.kind, id)) page.models.push_back(std::move(id));
            });
        } else if (key == "has_more") {
            more = value == "true";
        } else if (key == "last_id") {
            lastId = StringOf(value);
        } else if (key == "nextPageToken") {
            page.cursor = StringOf(value);
        }
    });
    // Google's JSON leaves an empty list out, so a page of its listing may carry no "models" at all.
    if (wellFormed && !seenList && p.listing.paging == ModelPaging::PageToken) listed = true;
    if (!wellFormed || !listed) {
        page.models.clear();
        page.error = std::string("Failed to read the ") + p.label + " model list";
        return page;
    }
    if (p.listing.paging == ModelPaging::AfterId) page.cursor = more ? lastId : std::string();
    if (p.listing.paging == ModelPaging::None) page.cursor.clear();
    page.ok = true;
    return page;
}

}  // namespace

bool IsListableModelId(const std::string& id) {
    if (id.empty()) return false;
    for (const char c : id) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (c == ',' || b < 0x20 || b == 0x7F) return false;
    }
    return true;
}

ChatRequest BuildModelListRequest(const SessionSettings& s, const std::string& cursor) {
    ChatRequest r;
    r.isGet = true;
    const ProviderInfo* p = FindProvider(s.provider);
    if (!p || !p->listing.path) {
        r.error = "No provider initialized";
        return r;
    }
    const std::string key = HostTextToUtf8(s.apiKey);
    std::string path = p->listing.path;
    char joint = '?';
    if (p->listing.auth == ListAuth::QueryKey) {
        path += "?key=" + EncodeQueryValue(key);
        joint = '&';
    }
    if (!cursor.empty()) {
        path += joint;
        path += p->listing.paging == ModelPaging::AfterId ? "after_id=" : "pageToken=";
        path += EncodeQueryValue(cursor);
    }
    Endpoint e;
    if (!ResolveEndpoint(*p, s.endpoint, &e, &r.error)) return r;
    r.target = HttpTarget{e.host, e.port, e.secure, path};
    if (p->listing.auth == ListAuth::Bearer) r.headers["Authorization"] = "Bearer " + key;
    if (p->listing.auth == ListAuth::ClaudeKey) {
        r.headers["x-api-key"] = key;
        r.headers["anthropic-version"] = "2023-06-01";
    }
    r.ok = true;
    return r;
}

ModelPage ReadModelListPage(int provider, const HttpResult& reply) {
    ModelPage page;
    const ProviderInfo* p = FindProvider(provider);
    if (!p) {
        page.error = "No provider initialized";
        return page;
    }
    if (reply.statusCode != 200) {
        page.error = std::string("Failed to get ") + p->label + " models (" + std::to_string(reply.statusCode) +
                     "): " + ErrorDetail(reply, p->errorKey);
        page.error = WithHint(page.error, ReplyHint(provider, reply));
        return page;
    }
    try {
        return ReadPage(*p, reply.body);
    } catch (const std::invalid_argument&) {
        page = ModelPage();
        page.error = std::string("Failed to read the ") + p->label + " model list";
        return page;
    }
}
