#include "net/http.h"

#include <stdexcept>

#include "net/json.h"

std::string DescribeHttpFailure(const HttpResult& result, bool post, const std::string& host, int timeoutSeconds) {
    const std::string code = std::to_string(result.systemError);
    switch (result.failure) {
        case HttpFailure::None: return std::string();
        case HttpFailure::Session: return "Failed to create HTTP session";
        case HttpFailure::Connect: return post ? "Failed to connect to host: " + host : "Failed to connect to host";
        case HttpFailure::Request: return "Failed to create HTTP request";
        case HttpFailure::Send: return post ? "Failed to send request. Error code: " + code : "Failed to send request";
        case HttpFailure::Receive:
            return post ? "Failed to receive response. Error code: " + code : "Failed to receive response";
        case HttpFailure::TimedOut: return "Request timed out after " + std::to_string(timeoutSeconds) + " seconds";
        case HttpFailure::TooLarge: return "Exception: reply exceeds 256 MB";
        case HttpFailure::Exception: return "Exception: " + result.detail;
        case HttpFailure::ProxyAuth:
            return "The proxy " + result.detail + " asks for a sign-in (407), which this plug-in cannot give";
        case HttpFailure::ProxySetting:
            return "The proxy setting " + result.detail + " cannot be used: this plug-in needs a proxy given as host:port";
        case HttpFailure::NoThread: return "Failed to start request: no thread could be started";
        case HttpFailure::Backlog:
            return "Failed to start request: " + std::to_string(kMaxAbandonedExchanges) +
                   " earlier requests are still waiting for their servers";
        case HttpFailure::Cancelled:
            return "Request cancelled";
    }
    return "Exception: unknown";
}

std::string ErrorDetail(const HttpResult& reply, const char* key) {
    std::string detail;
    try {
        // A provider whose own key holds a string (xAI, Ollama) may still answer some errors in the common shape.
        auto isText = [&](const char* k) {
            const size_t value = JsonValueStart(reply.body, k);
            return value != kNotFound && reply.body[value] == '"';
        };
        if (std::string_view(key) == "message" || isText(key))
            detail = ExtractJsonValue(reply.body, key);
        else if (isText("message"))
            detail = ExtractJsonValue(reply.body, "message");
    } catch (const std::invalid_argument&) {
        detail.clear();
    }
    if (!detail.empty()) return detail;
    return reply.error.empty() ? reply.body : reply.error;
}
