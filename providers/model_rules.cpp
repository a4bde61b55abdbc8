#include "providers/model_rules.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <algorithm>
#include <string_view>

#include "net/ascii.h"
#include "net/json.h"
#include "session/settings.h"

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads "major[.minor]" at text[at]; false when no digit stands there.
bool ReadVersion(std::string_view text, size_t at, int* major, int* minor) {
    if (at >= text.size() || !IsDigit(text[at])) return false;
    *major = 0;
    *minor = 0;
    for (; at < text.size() && IsDigit(text[at]) && *major < 1000; ++at) *major = *major * 10 + (text[at] - '0');
    if (at + 1 < text.size() && text[at] == '.' && IsDigit(text[at + 1]))
        for (++at; at < text.size() && IsDigit(text[at]) && *minor < 1000; ++at) *minor = *minor * 10 + (text[at] - '0');
    return true;
}

bool IsGeminiReasoning(std::string_view m) {
    if (StartsWith(m, "models/")) m.remove_prefix(7);
    if (!StartsWith(m, "gemini-")) return false;
    // The aliases follow each new release, and every release since 2.5 thinks before it answers.
    if (m.size() > 7 && m.substr(m.size() - 7) == "-latest") return true;
    int major, minor;
    if (!ReadVersion(m, 7, &major, &minor)) return false;
    return major >= 3 || (major == 2 && minor >= 5);
}

bool IsGrokReasoning(std::string_view m) {
    if (!StartsWith(m, "grok-") || Contains(m, "non-reasoning")) return false;
    if (StartsWith(m, "grok-3-mini") || StartsWith(m, "grok-code")) return true;
    int major, minor;
    return ReadVersion(m, 5, &major, &minor) && major >= 4;
}

// Ollama's thinking models, by the names of the families its library marks as such.
bool IsOllamaReasoning(std::string_view m) {
    return Contains(m, "qwen3") || Contains(m, "deepseek-r1") || Contains(m, "gpt-oss") || Contains(m, "qwq") ||
           Contains(m, "magistral") || Contains(m, "reasoning") || Contains(m, "thinking");
}

bool IsGroqReasoning(std::string_view m) {
    return Contains(m, "gpt-oss") || Contains(m, "qwen3") || Contains(m, "deepseek-r1") || Contains(m, "reasoning");
}

// What one model refused, per provider and model, until unload.
struct Refused {
    unsigned dropped = 0;        // RequestParam bits left out from now on
    std::string tokenLimitName;  // the limit's member as the provider named it; empty: unchanged
};

constexpr size_t kMaxRememberedModels = 256;  // model names come from scripts; a full memory starts over

std::mutex g_refusedLock;
std::map<std::string, Refused>* g_refused = nullptr;  // a plain pointer: no destructor to run at unload
std::map<int, std::string>* g_healed = nullptr;        // provider -> the model that replaced its own default

std::string MemoryKey(int provider, const std::string& model) { return std::to_string(provider) + '\n' + model; }

// The value of the first `key` when it is a string; empty otherwise or on a bad escape.
std::string StringMember(const std::string& body, const char* key) {
    const size_t value = JsonValueStart(body, key);
    if (value == kNotFound || body[value] != '"') return std::string();
    try {
        return ExtractJsonValue(body, key);
    } catch (const std::invalid_argument&) {
        return std::string();
    }
}

bool IsIdentifierByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_';
}

// The RequestParam a member name stands for (a dotted path counts by its last part), or 0.
unsigned ParamNamed(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) name.remove_prefix(dot + 1);
    if (name == "temperature") return kParamTemperature;
    if (name == "max_tokens" || name == "max_completion_tokens" || name == "max_output_tokens" ||
        name == "maxOutputTokens")
        return kParamTokenLimit;
    if (name == "response_format") return kParamResponseFormat;
    if (name == "stream_options" || name == "include_usage") return kParamStreamOptions;
    return 0;
}

// The first of our member names that the message names as a whole word, or 0.
unsigned FirstParamIn(std::string_view message) {
    static constexpr std::string_view kNames[] = {"temperature", "max_tokens", "max_completion_tokens",
                                                  "max_output_tokens", "maxOutputTokens", "response_format",
                                                  "stream_options"};
    size_t best = std::string_view::npos;
    unsigned param = 0;
    for (const std::string_view name : kNames) {
        for (size_t at = message.find(name); at != std::string_view::npos; at = message.find(name, at + 1)) {
            const bool before = at == 0 || !IsIdentifierByte(message[at - 1]);
            const bool after = at + name.size() >= message.size() || !IsIdentifierByte(message[at + name.size()]);
            if (before && after) {
                if (at < best) {
                    best = at;
                    param = ParamNamed(name);
                }
                break;
            }
        }
    }
    return param;
}

// The member a message proposes instead ("Use 'max_completion_tokens' instead."), or empty.
std::string ProposedName(std::string_view message) {
    const std::string lower = AsciiLower(message);
    for (size_t at = lower.find("use "); at != std::string::npos; at = lower.find("use ", at + 1)) {
        size_t k = at + 4;
        if (k >= message.size() || (message[k] != '\'' && message[k] != '"' && message[k] != '`')) continue;
        const char quote = message[k++];
        const size_t end = message.find(quote, k);
        if (end == std::string_view::npos || end == k || end - k > 64) continue;
        const std::string_view name = message.substr(k, end - k);
        bool plain = true;
        for (const char c : name) plain = plain && IsIdentifierByte(c);
        if (plain && ParamNamed(name) == kParamTokenLimit) return std::string(name);
    }
    return std::string();
}

// True when the message or code says a member is not accepted, as opposed to a value out of range.
bool SaysUnsupported(const std::string& text) {
    static constexpr std::string_view kWords[] = {"unsupported", "not supported", "unknown", "unrecognized",
                                                  "not permitted", "cannot find field", "does not support",
                                                  "not allowed", "extra inputs", "extra_forbidden",
                                                  "deprecated"};
    const std::string lower = AsciiLower(text);
    for (const std::string_view word : kWords)
        if (Contains(lower, word)) return true;
    return false;
}

}  // namespace

bool IsOpenAIReasoningFamily(const std::string& model) {
    const std::string m = AsciiLower(model);
    if (m.size() >= 2 && m[0] == 'o' && IsDigit(m[1])) return true;
    int major, minor;
    return StartsWith(m, "gpt-") && ReadVersion(m, 4, &major, &minor) && major >= 5;
}

bool IsReasoningModel(int provider, const std::string& model) {
    const std::string m = AsciiLower(model);
    switch (provider) {
        case kProviderOpenAI: return IsOpenAIReasoningFamily(m);
        case kProviderGemini: return IsGeminiReasoning(m);
        case kProviderGrok: return IsGrokReasoning(m);
        case kProviderGroq: return IsGroqReasoning(m);
        case kProviderOllama: return IsOllamaReasoning(m);
        default: return false;
    }
}

RequestShape ShapeFor(int provider, const std::string& model, bool limitSet) {
    RequestShape shape;
    if (provider == kProviderOpenAI) {
        const std::string m = AsciiLower(model);
        if (IsOpenAIReasoningFamily(m)) {
            shape.temperature = false;
            shape.tokenLimitName = "max_completion_tokens";
        }
        // GPT image models always answer in Base64 and refuse the member that asks for it.
        if (StartsWith(m, "gpt-image") || StartsWith(m, "chatgpt-image")) shape.responseFormat = false;
    }
    if (!limitSet && IsReasoningModel(provider, model)) shape.tokenLimit = false;
    std::lock_guard<std::mutex> hold(g_refusedLock);
    if (!g_refused) return shape;
    const auto found = g_refused->find(MemoryKey(provider, model));
    if (found == g_refused->end()) return shape;
    const Refused& r = found->second;
    if (r.dropped & kParamTemperature) shape.temperature = false;
    if (r.dropped & kParamTokenLimit) shape.tokenLimit = false;
    if (r.dropped & kParamResponseFormat) shape.responseFormat = false;
    if (r.dropped & kParamStreamOptions) shape.streamOptions = false;
    if (!r.tokenLimitName.empty()) shape.tokenLimitName = r.tokenLimitName;
    return shape;
}

ParamRefusal ReadParamRefusal(int status, const std::string& body) {
    ParamRefusal refusal;
    if (status != 400 && status != 422) return refusal;
    std::string message = StringMember(body, "message");
    if (message.empty()) message = StringMember(body, "error");  // xAI writes its text as "error"
    const std::string param = StringMember(body, "param");
    const std::string code = StringMember(body, "code");
    unsigned named = ParamNamed(param);
    if (!named) named = FirstParamIn(message);
    if (!named || !SaysUnsupported(message + ' ' + code)) return refusal;
    refusal.param = named;
    if (named == kParamTokenLimit) refusal.replacement = ProposedName(message);
    return refusal;
}

bool RefusalApplies(const RequestShape& shape, const ParamRefusal& refusal) {
    switch (refusal.param) {
        case kParamTemperature: return shape.temperature;
        case kParamResponseFormat: return shape.responseFormat;
        case kParamStreamOptions: return shape.streamOptions;
        case kParamTokenLimit:
            return shape.tokenLimit && (refusal.replacement.empty() || refusal.replacement != shape.tokenLimitName);
        default: return false;
    }
}

void RememberParamRefusal(int provider, const std::string& model, const ParamRefusal& refusal) {
    if (!refusal.param) return;
    std::lock_guard<std::mutex> hold(g_refusedLock);
    if (!g_refused) g_refused = new std::map<std::string, Refused>();
    if (g_refused->size() >= kMaxRememberedModels) g_refused->clear();
    Refused& r = (*g_refused)[MemoryKey(provider, model)];
    if (refusal.param == kParamTokenLimit && !refusal.replacement.empty())
        r.tokenLimitName = refusal.replacement;
    else
        r.dropped |= refusal.param;
}

void ForgetParamRefusals() {
    std::lock_guard<std::mutex> hold(g_refusedLock);
    delete g_refused;
    g_refused = nullptr;
    delete g_healed;
    g_healed = nullptr;
}

namespace {

// One way a provider says that the model asked for is unknown or retired.
struct RetiredShape {
    int provider;
    int status;
    const char* code;    // a quoted code or type the body carries; nullptr: none needed
    const char* phrase;  // lower-case words the message holds; nullptr: none needed
};

const RetiredShape kRetiredShapes[] = {
    {kProviderOpenAI, 404, "\"model_not_found\"", nullptr},
    {kProviderClaude, 404, "\"not_found_error\"", "model:"},
    {kProviderGemini, 404, "\"NOT_FOUND\"", "models/"},
    {kProviderOllama, 404, nullptr, "not found"},
    {kProviderOpenRouter, 400, nullptr, "is not a valid model id"},
    {kProviderOpenRouter, 404, nullptr, "is not a valid model id"},
    {kProviderGroq, 400, "\"model_decommissioned\"", nullptr},
    {kProviderGroq, 404, "\"model_not_found\"", nullptr},
    {kProviderGrok, 404, nullptr, "does not exist"},
    {kProviderGrok, 404, nullptr, "not found"},
};

// A model name taken apart: what stays across versions, the version numbers, and whether a date stamp was there.
struct ModelName {
    std::string family;
    std::vector<long> version;  // every number, sizes too (gpt-oss-120b gives way to gpt-oss-240b)
    std::vector<long> release;  // the numbers without sizes ("27b"), which say how new a model is
    bool dated = false;
};

ModelName ReadModelName(const std::string& model) {
    ModelName n;
    const std::string m = AsciiLower(model);
    size_t i = 0;
    while (i < m.size()) {
        size_t end = i;
        while (end < m.size() && m[end] != '-' && m[end] != '/' && m[end] != '.' && m[end] != ':' && m[end] != '_')
            ++end;
        const std::string_view token(m.data() + i, end - i);
        i = end + 1;
        if (token.empty()) continue;
        bool digits = true;
        for (const char c : token) digits = digits && IsDigit(c);
        // Four digits or more stand for a date stamp (2025-05-14, 20250514), and so do the parts that follow it.
        if (digits && (token.size() >= 4 || n.dated)) {
            n.dated = true;
            continue;
        }
        std::string letters;
        long number = -1;
        for (size_t k = 0; k < token.size(); ++k) {
            const char c = token[k];
            if (IsDigit(c)) {
                number = (number < 0 ? 0 : number) * 10 + (c - '0');
                if (number > 100000000) number = 100000000;
                continue;
            }
            if (number >= 0) {
                n.version.push_back(number);
                // A count of parameters ("27b" closing its part) is a size, not a release.
                if (!(c == 'b' && k + 1 == token.size())) n.release.push_back(number);
            }
            number = -1;
            letters += c;
        }
        if (number >= 0) {
            n.version.push_back(number);
            n.release.push_back(number);
        }
        if (letters.empty()) continue;
        if (!n.family.empty()) n.family += '-';
        n.family += letters;
    }
    return n;
}

// True when a is a newer model than b: a higher release, or the same one without a date stamp (a moving alias).
bool Newer(const ModelName& a, const ModelName& b) {
    if (a.release != b.release) return a.release > b.release;
    return !a.dated && b.dated;
}

}  // namespace

bool IsRetiredModelRefusal(int provider, int status, const std::string& body) {
    std::string message = StringMember(body, "message");
    if (message.empty()) message = StringMember(body, "error");  // xAI and Ollama write their text as "error"
    const std::string lower = AsciiLower(message);
    for (const RetiredShape& shape : kRetiredShapes) {
        if (shape.provider != provider || shape.status != status) continue;
        if (shape.code && FindText(body, shape.code) == kNotFound) continue;
        if (shape.phrase && !Contains(lower, shape.phrase)) continue;
        // Ollama's and xAI's texts must name a model, so a missing route is not taken for one.
        if ((provider == kProviderOllama || provider == kProviderGrok) && !Contains(lower, "model")) continue;
        return true;
    }
    return false;
}

std::string ModelFamily(const std::string& model) { return ReadModelName(model).family; }

std::string PickSuccessor(const std::string& model, const std::vector<std::string>& listed) {
    const ModelName old = ReadModelName(model);
    std::string best;
    ModelName bestName;
    for (const std::string& id : listed) {
        if (id == model) continue;
        const ModelName n = ReadModelName(id);
        if (n.family != old.family || n.version <= old.version) continue;
        if (best.empty() || n.version > bestName.version || (n.version == bestName.version && Newer(n, bestName))) {
            best = id;
            bestName = n;
        }
    }
    return best;
}

std::vector<std::string> NewestModels(const std::vector<std::string>& listed, size_t count) {
    std::vector<std::pair<ModelName, std::string>> named;
    named.reserve(listed.size());
    for (const std::string& id : listed) named.emplace_back(ReadModelName(id), id);
    std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return Newer(a.first, b.first); });
    std::vector<std::string> out;
    for (size_t i = 0; i < named.size() && i < count; ++i) out.push_back(named[i].second);
    return out;
}

void RememberHealedDefault(int provider, const std::string& model) {
    std::lock_guard<std::mutex> hold(g_refusedLock);
    if (!g_healed) g_healed = new std::map<int, std::string>();
    (*g_healed)[provider] = model;
}

std::string HealedDefault(int provider) {
    std::lock_guard<std::mutex> hold(g_refusedLock);
    if (!g_healed) return std::string();
    const auto found = g_healed->find(provider);
    return found == g_healed->end() ? std::string() : found->second;
}
