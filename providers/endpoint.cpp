#include "providers/endpoint.h"

#include <cstdlib>
#include <string_view>

#include "net/ascii.h"
#include "net/encoding.h"
#include "providers/provider_table.h"

namespace {

constexpr int kOllamaPort = 11434;
constexpr int kMaxPort = 65535;

// Reads a port the way std::stoi does (blanks, sign, digits up to the first other byte) without throwing;
// false when no digit is read or the value lies outside 0..65535.
bool ParsePortLikeStoi(std::string_view text, int* port) {
    size_t k = SkipAsciiSpace(text);
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) {
        negative = text[k] == '-';
        ++k;
    }
    long long value = 0;
    size_t digits = 0;
    for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k, ++digits) {
        if (value <= kMaxPort) value = value * 10 + (text[k] - '0');  // past the limit the exact value no longer matters
    }
    if (digits == 0) return false;
    if (negative && value != 0) return false;
    if (value > kMaxPort) return false;
    *port = static_cast<int>(value);
    return true;
}

// A host name we can hand to the transport: non-empty, no path, query, user-info, port or white space.
bool IsPlainHost(std::string_view host) {
    if (host.empty()) return false;
    for (const char c : host) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == ':' || c == '\\') return false;
    }
    return true;
}

}  // namespace

bool ParseEndpointUrl(const std::string& endpoint, Endpoint* out, std::string* error) {
    std::string_view url = endpoint.empty() ? std::string_view(PARLY_OLLAMA_DEFAULT_URL) : std::string_view(endpoint);
    const bool secure = url.substr(0, 8) == "https://";
    const size_t scheme = url.find("://");
    std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
    int port = secure ? 443 : kOllamaPort;
    // An IPv6 literal keeps its brackets, the form WinHTTP connects to; its port comes after them.
    const size_t close = rest.substr(0, 1) == "[" ? rest.find(']') : std::string_view::npos;
    const size_t colon = rest.find(':', close == std::string_view::npos ? 0 : close);
    if (colon != std::string_view::npos) {
        const std::string_view portText = rest.substr(colon + 1);
        if (!ParsePortLikeStoi(portText, &port)) {
            if (error) *error = "Invalid endpoint port: " + std::string(portText);
            return false;
        }
        rest = rest.substr(0, colon);
    }
    out->host.assign(rest.data(), rest.size());
    out->port = port;
    out->secure = secure;
    return true;
}

bool ParseRedirectUrl(const std::string& value, Endpoint* out) {
    std::string_view rest(value);
    bool secure;
    if (rest.substr(0, 8) == "https://") {
        secure = true;
        rest.remove_prefix(8);
    } else if (rest.substr(0, 7) == "http://") {
        secure = false;
        rest.remove_prefix(7);
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    int port = secure ? 443 : 80;
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view portText = rest.substr(colon + 1);
        if (portText.empty() || portText.size() > 5) return false;
        int number = 0;
        for (const char c : portText) {
            if (c < '0' || c > '9') return false;
            number = number * 10 + (c - '0');
        }
        if (number < 1 || number > kMaxPort) return false;
        port = number;
        rest = rest.substr(0, colon);
    }
    if (!IsPlainHost(rest)) return false;
    out->host.assign(rest.data(), rest.size());
    out->port = port;
    out->secure = secure;
    return true;
}

bool ResolveApiHost(const ProviderInfo& provider, Endpoint* out, std::string* error) {
    const char* value = provider.redirectVariable ? std::getenv(provider.redirectVariable) : nullptr;
    if (value && *value) {
        const std::string text(value);
        if (!ParseRedirectUrl(text, out)) {
            if (error) *error = std::string("Invalid ") + provider.redirectVariable + ": " + text;
            return false;
        }
        return true;
    }
    out->host = provider.apiHost ? provider.apiHost : "";
    out->port = 0;
    out->secure = true;
    return true;
}

bool ResolveEndpoint(const ProviderInfo& provider, const std::string& endpointSetting, Endpoint* out,
                     std::string* error) {
    if (!provider.apiHost) return ParseEndpointUrl(HostTextToUtf8(endpointSetting), out, error);
    return ResolveApiHost(provider, out, error);
}
