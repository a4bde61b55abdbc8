// Turning endpoint settings and redirection variables into connection targets. Pure.
#pragma once
#include <string>

struct Endpoint {
    std::string host;
    int port = 0;
    bool secure = false;
};

// The endpoint setting as host/port/TLS ("http://[::1]:11434" gives the host "[::1]"); false with `error` set when
// a port is not a number or out of range.
bool ParseEndpointUrl(const std::string& endpoint, Endpoint* out, std::string* error);

// The project's home page, sent to OpenRouter as "HTTP-Referer".
constexpr char kProjectHomePage[] = "https://github.com/parlyplugin/parly-nbp";
static_assert(sizeof(kProjectHomePage) - 1 == 40, "OpenRouter's referer is the 40-character home page");

struct ProviderInfo;

// The row's public host, or its redirection variable's URL when set; false with `error` when it is malformed.
bool ResolveApiHost(const ProviderInfo& provider, Endpoint* out, std::string* error);
// Where the row's requests go: ResolveApiHost for a row with a public host, else (Ollama) the endpoint setting,
// a host text converted only when it is used; false with `error` when the one used is malformed.
bool ResolveEndpoint(const ProviderInfo& provider, const std::string& endpointSetting, Endpoint* out,
                     std::string* error);
// Parses "http://host:port" or "https://host[:port]" (a trailing "/" allowed).
bool ParseRedirectUrl(const std::string& value, Endpoint* out);
