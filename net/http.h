// One blocking HTTP exchange per call; every handle is opened and closed inside it.
#pragma once
#include <map>
#include <string>

struct HttpResult {
    int statusCode = 0;
    std::string body;
    std::string error;  // empty exactly when a reply was read
};

// Header name -> value, UTF-8; std::map keeps them in ascending byte order, which is the send order.
using HeaderMap = std::map<std::string, std::string>;

// Where a request goes: host without scheme or port; port 0 means 443/80 by `secure`.
struct HttpTarget {
    std::string host;
    int port = 0;
    bool secure = true;
    std::string path;
};

// The transport's text for an exchange that ran past its time-out; the one place it is worded.
std::string TimedOutText(int timeoutSeconds);

namespace HttpTransport {
// Each call ends within timeoutSeconds (plus the platform's rounding), never follows a redirect,
// and fails rather than returns a body cut short of its announced length.
HttpResult Post(const HttpTarget& target, const std::string& body, const HeaderMap& headers, int timeoutSeconds);
HttpResult Get(const HttpTarget& target, const HeaderMap& headers, int timeoutSeconds);
}  // namespace HttpTransport
