#include <windows.h>
#include <winhttp.h>

#include <exception>
#include <memory>

#include "net/encoding.h"
#include "net/http.h"
#include "net/win_holders.h"

namespace {

// Largest reply kept in memory; a bigger one ends as an "Exception: " failure instead of exhausting the process.
constexpr size_t kMaxReplyBytes = 256u * 1024u * 1024u;

enum class Verb { Post, Get };

// A line break inside a value (say, in a pasted API key) would start a header of its own.
std::string HeaderSafe(const std::string& value) {
    if (value.find_first_of("\r\n") == std::string::npos) return value;
    std::string clean;
    for (char c : value)
        if (c != '\r' && c != '\n') clean += c;
    return clean;
}

HttpResult Exchange(Verb verb, const HttpTarget& target, const std::string* body, const HeaderMap& headers,
                    int timeoutSeconds) {
    HttpResult result;
    const bool post = (verb == Verb::Post);
    // Declared in creation order so they close request -> connection -> session on every path.
    ScopedInternet session, connection, request;
    try {
        session = ScopedInternet(WinHttpOpen(L"ParlyPlugin/2.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            result.error = "Failed to create HTTP session";
            return result;
        }
        int t = timeoutSeconds * 1000;
        WinHttpSetTimeouts(session.get(), t, t, t, t);

        INTERNET_PORT port = static_cast<INTERNET_PORT>(
            target.port != 0 ? (target.port & 0xFFFF) : (target.secure ? INTERNET_DEFAULT_HTTPS_PORT
                                                                        : INTERNET_DEFAULT_HTTP_PORT));
        std::wstring host = Utf8ToWide(target.host);
        connection = ScopedInternet(WinHttpConnect(session.get(), host.c_str(), port, 0));
        if (!connection) {
            result.error = post ? "Failed to connect to host: " + target.host : "Failed to connect to host";
            return result;
        }
        std::wstring path = Utf8ToWide(target.path);
        request = ScopedInternet(WinHttpOpenRequest(connection.get(), post ? L"POST" : L"GET", path.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    target.secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request) {
            result.error = "Failed to create HTTP request";
            return result;
        }
        // Wine's session time-outs alone never end a server that accepts and stays silent.
        DWORD receiveTimeout = static_cast<DWORD>(t);
        WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);

        for (const auto& [name, value] : headers) {
            std::wstring line = Utf8ToWide(name) + L": " + Utf8ToWide(HeaderSafe(value));
            WinHttpAddRequestHeaders(request.get(), line.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
        }

        DWORD length = post ? static_cast<DWORD>(body->size()) : 0;
        LPVOID data = (post && length) ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA;
        if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0)) {
            DWORD code = GetLastError();
            result.error = post ? "Failed to send request. Error code: " + std::to_string(code) : "Failed to send request";
            return result;
        }
        if (!WinHttpReceiveResponse(request.get(), nullptr)) {
            DWORD code = GetLastError();
            result.error =
                post ? "Failed to receive response. Error code: " + std::to_string(code) : "Failed to receive response";
            return result;
        }
        DWORD status = 0, size = sizeof status;
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            result.statusCode = static_cast<int>(status);

        // Reads straight into the growing body; a length header, when present, sizes it once.
        DWORD contentLength = 0;
        size = sizeof contentLength;
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &contentLength, &size, WINHTTP_NO_HEADER_INDEX) &&
            contentLength <= kMaxReplyBytes)
            result.body.reserve(contentLength);
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
            if (result.body.size() + available > kMaxReplyBytes) throw std::length_error("reply exceeds 256 MB");
            size_t at = result.body.size();
            result.body.resize(at + available);
            DWORD read = 0;
            WinHttpReadData(request.get(), &result.body[at], available, &read);
            result.body.resize(at + read);
            if (read == 0) break;
        }
    } catch (const std::exception& e) {
        // Status 0, so callers report the exception instead of parsing a reply that never arrived whole.
        result.statusCode = 0;
        result.body.clear();
        result.error = std::string("Exception: ") + e.what();
    }
    return result;
}

}  // namespace

namespace HttpTransport {

HttpResult Post(const HttpTarget& target, const std::string& body, const HeaderMap& headers, int timeoutSeconds) {
    return Exchange(Verb::Post, target, &body, headers, timeoutSeconds);
}

HttpResult Get(const HttpTarget& target, const HeaderMap& headers, int timeoutSeconds) {
    return Exchange(Verb::Get, target, nullptr, headers, timeoutSeconds);
}

}  // namespace HttpTransport
