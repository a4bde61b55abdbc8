// One blocking HTTP exchange per call; every handle is opened and closed inside it.
#pragma once
#include <chrono>
#include <map>
#include <string>

// What stopped an exchange before a whole reply was read.
enum class HttpFailure {
    None,       // a reply was read (any status)
    Session,    // the session could not be opened
    Connect,    // the connection object could not be made
    Request,    // the request object could not be made, or redirects could not be turned off
    Send,       // sending failed (refused, unreachable, TLS refused); systemError says why
    Receive,    // waiting for or reading the reply failed, or it ended short of its length; systemError says why
    TimedOut,   // the whole exchange ran past its time-out
    TooLarge,   // the reply is longer than the transport keeps in memory
    Exception,  // an allocation or other standard exception; `detail` holds its message
    ProxyAuth,  // the user's proxy asked for a sign-in (407); `detail` names the proxy
    ProxySetting,  // the user's proxy setting names a proxy that cannot be used; `detail` is that entry; nothing was sent
    NoThread,   // no thread could be started for the exchange; nothing was sent
    Backlog,    // too many abandoned exchanges are still waiting for their servers; nothing was sent
    Cancelled,  // the caller's cancel check said stop; the exchange was abandoned as at a deadline
};

// Most exchanges abandoned at their deadline that may still wait for their servers; past it, requests are refused.
constexpr long kMaxAbandonedExchanges = 4;

struct HttpResult {
    int statusCode = 0;
    std::string body;
    std::string error;              // DescribeHttpFailure's text; empty exactly when a reply was read
    HttpFailure failure = HttpFailure::None;
    unsigned long systemError = 0;  // the platform's error number for Send and Receive
    std::string detail;             // the exception's message for Exception, the proxy for ProxyAuth
    std::string proxy;              // "host:port" of the proxy the request went through; empty: straight
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

// Largest reply kept in memory; a longer one is the TooLarge failure.
constexpr unsigned long long kMaxReplyBytes = 256ull * 1024u * 1024u;

// The one place a transport failure is worded: POST texts carry the host and the error number, GET texts do not.
std::string DescribeHttpFailure(const HttpResult& result, bool post, const std::string& host, int timeoutSeconds);

// What an error reply says: the provider's message under `key`, else the transport's text, else the whole body;
// a bad escape counts as no message.
std::string ErrorDetail(const HttpResult& reply, const char* key);

// Whole seconds left of a deadline, rounded up so a request never gets less than remains; 0 once it has passed.
inline int SecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
}

namespace HttpTransport {
// Each call ends within timeoutSeconds (plus the platform's rounding), never follows a redirect,
// and fails rather than returns a body cut short of its announced length. The body is lent to the
// exchange and is back in `body` on return, unless the exchange was abandoned at its deadline.
HttpResult Post(const HttpTarget& target, std::string& body, const HeaderMap& headers, int timeoutSeconds);
HttpResult Get(const HttpTarget& target, const HeaderMap& headers, int timeoutSeconds);
}  // namespace HttpTransport

// A POST whose reply is handed over as it arrives (a chat stream), on the same courier and deadline as Post.
struct HttpStream;

// What a streamed exchange has delivered so far.
struct HttpStreamState {
    bool headersKnown = false;  // the status and the type below are the reply's
    int statusCode = 0;
    std::string contentType;
    bool finished = false;      // the exchange is over; `result` says how (its body came through TakeStream)
    HttpResult result;
};

namespace HttpTransport {
// Starts the exchange; never null. The body goes with the exchange.
HttpStream* OpenStream(const HttpTarget& target, std::string&& body, const HeaderMap& headers, int timeoutSeconds);
}  // namespace HttpTransport

// Waits up to `ms` for news (headers, bytes, the end); never past the exchange's deadline.
void WaitStream(HttpStream* stream, unsigned long ms);
// The event that is set while news waits to be taken, for a wait that also watches the message queue.
void* StreamSignal(HttpStream* stream);
// Appends the bytes arrived since the last call to *bytes and updates *state; true once finished. A stream
// past its deadline (plus the platform's grace) is finished as timed out here, even while its read still blocks.
bool TakeStream(HttpStream* stream, std::string* bytes, HttpStreamState* state);
// Lets go of the exchange; one still running closes its connection at its next read, so the provider stops.
// Only `abandon` (a cancel) counts one still running against the bound of abandoned exchanges: an answer that is
// complete, or that the script stopped, does not
// (past 32 such streams still running, it does).
void CloseStream(HttpStream* stream, bool abandon = false);

// Asked on the calling thread between short slices of a wait for an exchange; true ends the wait at once as
// HttpFailure::Cancelled, the exchange then abandoned as at its deadline. Null (the default) never cancels.
using HttpCancelCheck = bool (*)();
void SetHttpCancelCheck(HttpCancelCheck check);

// At unload: the thread waiting for the next exchange leaves now, one still running an exchange as soon as it ends.
void DismissIdleCourier();
// The thread waiting for the next exchange leaves now, so it holds the library no longer than needed.
void ReleaseIdleCourier();
// True when no exchange thread holds the library, apart from those abandoned (deadline, cancel) and streams let go
// of with their answer complete or stopped.
bool CouriersSettled();
