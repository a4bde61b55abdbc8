#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <vector>

#include "net/encoding.h"
#include "net/http.h"
#include "net/json.h"
#include "net/proxy_win.h"
#include "net/win_holders.h"
#include "plugin/version.h"

namespace {

// A reply that ends before its Content-Length has no platform error of its own; this is WinHTTP's "connection reset".
constexpr DWORD kCutReplyError = ERROR_WINHTTP_CONNECTION_ERROR;
constexpr DWORD kSocketTimeoutError = 10060;  // WSAETIMEDOUT, what Wine reports for a receive time-out

enum class Verb { Post, Get };

// A line break inside a value (say, in a pasted API key) would start a header of its own.
std::string HeaderSafe(const std::string& value) {
    if (value.find_first_of("\r\n") == std::string::npos) return value;
    std::string clean;
    for (char c : value)
        if (c != '\r' && c != '\n') clean += c;
    return clean;
}

// The one deadline of an exchange: every blocking step gets only the time that is left of it.
class Deadline {
  public:
    Deadline(ULONGLONG end, DWORD total) : end_(end), timeoutsMs_(total) {}
    // The deadline `seconds` from now; the session's four time-outs are set to the same whole span.
    static Deadline After(int seconds) {
        const DWORD total = static_cast<DWORD>(seconds) * 1000u;
        return Deadline(GetTickCount64() + total, total);
    }
    ULONGLONG End() const { return end_; }
    bool Passed() const { return GetTickCount64() >= end_; }
    DWORD RemainingMs() const {
        const ULONGLONG now = GetTickCount64();
        return now >= end_ ? 1 : static_cast<DWORD>(end_ - now);
    }
    // Narrows the request's own time-outs to what is left, so the next blocking call cannot outlast the deadline.
    // Each setting costs a round trip under Wine, so it is renewed only once it is a quarter second too generous.
    void Apply(HINTERNET request) const {
        const DWORD left = RemainingMs();
        if (responseMs_ == 0 || responseMs_ - left >= kRenewAfterMs) {
            // Wine's per-request time-outs alone never end a wait for the reply headers.
            DWORD receive = left;
            WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
            responseMs_ = left;
        }
        if (timeoutsMs_ - left >= kRenewAfterMs) {
            const int ms = static_cast<int>(left);
            WinHttpSetTimeouts(request, ms, ms, ms, ms);
            timeoutsMs_ = left;
        }
    }

  private:
    static constexpr DWORD kRenewAfterMs = 250;
    ULONGLONG end_;
    mutable DWORD timeoutsMs_;      // the four time-outs the request has now (at first the session's)
    mutable DWORD responseMs_ = 0;  // the reply-header time-out last set; 0 before the first
};

// Automatic redirects would resend the body and the key headers to whatever host a reply names.
bool RefuseRedirects(HINTERNET request) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    const bool byPolicy = WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    DWORD feature = WINHTTP_DISABLE_REDIRECTS;
    const bool byFeature = WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
    return byPolicy || byFeature;
}

bool IsTimeoutError(DWORD code) { return code == ERROR_WINHTTP_TIMEOUT || code == kSocketTimeoutError; }

// Marks the result failed at one step: no status, no body; past the deadline (or on a platform time-out) it is the time-out.
HttpResult& Fail(HttpResult& result, HttpFailure failure, DWORD code, const Deadline& deadline) {
    result.statusCode = 0;
    result.body.clear();
    const bool late = (failure == HttpFailure::Send || failure == HttpFailure::Receive) &&
                      (IsTimeoutError(code) || deadline.Passed());
    result.failure = late ? HttpFailure::TimedOut : failure;
    result.systemError = late ? 0 : code;
    return result;
}

// 1xx, 204 and 304 replies end with their headers, whatever length they announce.
bool CarriesNoBody(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

// True when the reply names a transfer coding: its chunks then frame the body, and a length header beside them means nothing.
bool HasTransferCoding(HINTERNET request) {
    DWORD size = 0;
    const BOOL read = WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                                          WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    return read || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// The caller's side of a streamed exchange: the reply's status, type and bytes, handed over as they arrive.
struct StreamTap {
    SRWLOCK lock = SRWLOCK_INIT;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: something waits to be taken
    std::string pending;  // bytes not yet taken; guarded by lock
    bool headersKnown = false;
    int status = 0;
    std::string contentType;
    LONG stopped = 0;  // the caller let go: the exchange closes at its next read
    StreamTap() = default;
    StreamTap(const StreamTap&) = delete;
    StreamTap& operator=(const StreamTap&) = delete;
    ~StreamTap() {
        if (ready) CloseHandle(ready);
    }
    bool Stopped() { return InterlockedCompareExchange(&stopped, 0, 0) != 0; }
    void Headers(int code, const std::string& type) {
        AcquireSRWLockExclusive(&lock);
        headersKnown = true;
        status = code;
        contentType = type;
        ReleaseSRWLockExclusive(&lock);
        SetEvent(ready);
    }
    // Moves the bytes read into `pending`, leaving `bytes` empty.
    void Hand(std::string& bytes) {
        AcquireSRWLockExclusive(&lock);
        if (pending.empty()) pending.swap(bytes);
        else pending += bytes;
        ReleaseSRWLockExclusive(&lock);
        bytes.clear();
        SetEvent(ready);
    }
};

std::string ContentTypeOf(HINTERNET request) {
    wchar_t type[256] = {};
    DWORD size = sizeof type - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, type, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return std::string();
    return WideToUtf8(type);
}

// Reads the whole body into result.body, or hands each read to `tap`; false with the failure recorded.
bool ReadBody(HINTERNET request, const Deadline& deadline, HttpResult& result, StreamTap* tap = nullptr) {
    // A length header, when present, sizes the body once, must be met, and is refused at once when too long.
    DWORD contentLength = 0, size = sizeof contentLength;
    const bool announced = !CarriesNoBody(result.statusCode) && !HasTransferCoding(request) &&
                           WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                               WINHTTP_HEADER_NAME_BY_INDEX, &contentLength, &size,
                                               WINHTTP_NO_HEADER_INDEX) != FALSE;
    if (announced && contentLength > kMaxReplyBytes) {
        Fail(result, HttpFailure::TooLarge, 0, deadline);
        return false;
    }
    if (announced && !tap) result.body.reserve(contentLength);
    // Under chunked transfer a read of all that is available waits for the next chunk; one byte less returns at once.
    const bool oneShort = tap && HasTransferCoding(request);
    unsigned long long total = 0;
    for (;;) {
        if (tap && tap->Stopped()) {
            Fail(result, HttpFailure::Receive, ERROR_WINHTTP_OPERATION_CANCELLED, deadline);
            return false;
        }
        if (deadline.Passed()) {
            Fail(result, HttpFailure::Receive, ERROR_WINHTTP_TIMEOUT, deadline);
            return false;
        }
        deadline.Apply(request);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            Fail(result, HttpFailure::Receive, GetLastError(), deadline);
            return false;
        }
        if (available == 0) break;
        if (oneShort && available > 1) --available;
        if (total + available > kMaxReplyBytes) {
            Fail(result, HttpFailure::TooLarge, 0, deadline);
            return false;
        }
        const size_t at = result.body.size();
        result.body.resize(at + available);
        DWORD read = 0;
        if (!WinHttpReadData(request, &result.body[at], available, &read)) {
            Fail(result, HttpFailure::Receive, GetLastError(), deadline);
            return false;
        }
        result.body.resize(at + read);
        total += read;
        if (tap) tap->Hand(result.body);
        if (read == 0) break;
    }
    // Without a length the platform may take a closed connection for the end (Wine does, even before a chunked
    // reply's last chunk), so a JSON value that opens and never closes is a cut reply too. A streamed reply was
    // handed over as it came; its reader knows its end marker.
    const bool cut = announced ? total < contentLength : (!tap && !JsonTopLevelCloses(result.body));
    if (cut) {
        Fail(result, HttpFailure::Receive, kCutReplyError, deadline);
        return false;
    }
    return true;
}

// The proxy answered 407: the failure names the proxy, and nothing is retried.
HttpResult& FailProxyAuth(HttpResult& result, const ProxyRoute& route) {
    result.statusCode = 0;
    result.body.clear();
    result.failure = HttpFailure::ProxyAuth;
    result.systemError = 0;
    result.detail = route.proxy;
    return result;
}

// One attempt at the exchange, on whichever thread runs it; every failure is a value in the result.
// *delivered turns true once the server may have acted on the request: the reply's headers arrived, or a request was
// sent whole into a tunnel opened for it a moment ago, where no stale connection can be to blame for what follows.
HttpResult ExchangeOnce(Verb verb, const HttpTarget& target, const std::string* body, const HeaderMap& headers,
                        int timeoutSeconds, const Deadline& deadline, bool* delivered, StreamTap* tap) {
    HttpResult result;
    const bool post = (verb == Verb::Post);
    // Declared in creation order so they close request -> connection -> session on every path.
    ScopedInternet session, connection, request;
    try {
        const ProxyRoute route = RouteFor(target, deadline.RemainingMs());
        if (!route.unusable.empty()) {  // never go direct past a proxy the user set
            Fail(result, HttpFailure::ProxySetting, 0, deadline);
            result.detail = route.unusable;
            return result;
        }
        if (route.viaProxy) result.proxy = route.proxy;
        session = ScopedInternet(OpenRouteSession(route));
        if (!session) return Fail(result, HttpFailure::Session, 0, deadline);
        int t = timeoutSeconds * 1000;
        WinHttpSetTimeouts(session.get(), t, t, t, t);

        INTERNET_PORT port = static_cast<INTERNET_PORT>(
            target.port != 0 ? (target.port & 0xFFFF) : (target.secure ? INTERNET_DEFAULT_HTTPS_PORT
                                                                        : INTERNET_DEFAULT_HTTP_PORT));
        std::wstring host = Utf8ToWide(target.host);
        connection = ScopedInternet(WinHttpConnect(session.get(), host.c_str(), port, 0));
        if (!connection) return Fail(result, HttpFailure::Connect, 0, deadline);
        // Through a proxy, HTTPS opens its tunnel with a key-less request first and sends the real one inside it.
        const bool tunnelled = route.viaProxy && target.secure;
        TunnelTurn turn(tunnelled, deadline.RemainingMs());
        bool tunnelOpen = false;
        struct TunnelGuard {  // a tunnel opened for a request that is never sent is closed, not left to the pool
            HINTERNET connection;
            const bool& open;
            ~TunnelGuard() {
                if (open) RetireTunnel(connection);
            }
        } tunnelGuard{connection.get(), tunnelOpen};
        if (tunnelled) {
            if (!turn.held()) return Fail(result, HttpFailure::Send, ERROR_WINHTTP_TIMEOUT, deadline);
            const TunnelOutcome tunnel = OpenTunnel(connection.get(), deadline.RemainingMs());
            if (tunnel.status == 407 || (tunnel.error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR &&
                                         ProxyWantsSignIn(route, deadline.RemainingMs())))
                return FailProxyAuth(result, route);
            if (tunnel.error) return Fail(result, HttpFailure::Send, tunnel.error, deadline);
            tunnelOpen = true;
        }
        std::wstring path = Utf8ToWide(target.path);
        request = ScopedInternet(WinHttpOpenRequest(connection.get(), post ? L"POST" : L"GET", path.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    target.secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request || !RefuseRedirects(request.get())) return Fail(result, HttpFailure::Request, 0, deadline);

        for (const auto& [name, value] : headers) {
            std::wstring line = Utf8ToWide(name) + L": " + Utf8ToWide(HeaderSafe(value));
            WinHttpAddRequestHeaders(request.get(), line.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
        }
        // A tunnel kept after this request could carry another provider's request, key and all, to this host.
        // Some WinHTTP versions keep it despite the header unless keep-alive is switched off on the request too.
        if (tunnelled) {
            WinHttpAddRequestHeaders(request.get(), L"Connection: close", static_cast<DWORD>(-1),
                                     WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
            DWORD feature = WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_REDIRECTS;
            WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
        }

        DWORD length = post ? static_cast<DWORD>(body->size()) : 0;
        LPVOID data = (post && length) ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA;
        // Waiting for the tunnel turn and its first request may have used the whole deadline; a request sent now
        // would reach the provider after the script was told it timed out.
        if (deadline.Passed()) return Fail(result, HttpFailure::Send, ERROR_WINHTTP_TIMEOUT, deadline);
        deadline.Apply(request.get());
        const BOOL sent = WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0);
        const DWORD sendError = sent ? 0 : GetLastError();
        tunnelOpen = false;  // the request took the tunnel, whatever became of it
        turn.Release();
        if (!sent) return Fail(result, HttpFailure::Send, sendError, deadline);
        if (tunnelled) *delivered = true;
        if (deadline.Passed()) return Fail(result, HttpFailure::Send, ERROR_WINHTTP_TIMEOUT, deadline);
        deadline.Apply(request.get());
        if (!WinHttpReceiveResponse(request.get(), nullptr))
            return Fail(result, HttpFailure::Receive, GetLastError(), deadline);
        DWORD status = 0, size = sizeof status;
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            result.statusCode = static_cast<int>(status);
        *delivered = true;
        if (route.viaProxy && result.statusCode == 407) return FailProxyAuth(result, route);
        if (tap) tap->Headers(result.statusCode, ContentTypeOf(request.get()));
        ReadBody(request.get(), deadline, result, tap);
    } catch (const std::exception& e) {
        // Status 0, so callers report the exception instead of parsing a reply that never arrived whole.
        Fail(result, HttpFailure::Exception, 0, deadline);
        result.detail = e.what();
    }
    return result;
}

// A kept connection that the server closed just as the request went out: reset, aborted, closed or answered
// with nothing. A refused connection, an unknown name, a certificate or a time-out is not among them.
bool IsStaleConnectionError(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_CONNECTION_ERROR:       // 12030
        case 12031:                                // connection reset, as WinINet numbers it
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:  // 12152
        case 10053:                                // WSAECONNABORTED
        case 10054:                                // WSAECONNRESET
            return true;
        default:
            return false;
    }
}

// The exchange, tried a second time on a new connection only when the first died of a stale connection before
// any byte of a reply, and only while the deadline allows.
HttpResult Exchange(Verb verb, const HttpTarget& target, const std::string* body, const HeaderMap& headers,
                    int timeoutSeconds, const Deadline& deadline, StreamTap* tap = nullptr) {
    bool delivered = false;
    HttpResult result = ExchangeOnce(verb, target, body, headers, timeoutSeconds, deadline, &delivered, tap);
    const bool stale = (result.failure == HttpFailure::Send || result.failure == HttpFailure::Receive) &&
                       IsStaleConnectionError(result.systemError);
    if (delivered || !stale || deadline.Passed()) return result;
    // The new session starts from the whole span again, so the second attempt narrows its request's time-outs
    // (the reply-header wait among them) afresh rather than trusting what was set on the first request.
    const Deadline again(deadline.End(), static_cast<DWORD>(timeoutSeconds) * 1000u);
    return ExchangeOnce(verb, target, body, headers, timeoutSeconds, again, &delivered, tap);
}

// One exchange handed to a courier thread, so a server that keeps every single read short cannot hold the
// caller past the deadline; whoever lets go last (caller or courier) frees it.
struct Job {
    Verb verb;
    HttpTarget target;
    std::string body;  // lent by the caller for the exchange, handed back when it finishes in time
    HeaderMap headers;
    int timeoutSeconds;
    Deadline deadline;
    HttpResult result;
    // Slim lock and condition variable: waking the caller costs no round trip to the Wine server.
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE finishedChanged = CONDITION_VARIABLE_INIT;
    bool finished = false;   // `result` is final
    bool abandoned = false;  // its caller stopped waiting at the deadline; counted in g_abandoned
    bool released = false;   // its caller let go of a complete or stopped stream; counted in g_released
    LONG owners = 2;
    std::unique_ptr<StreamTap> tap = nullptr;  // streamed exchanges only
};

// Exchanges abandoned at their deadline that still run; changes only atomically.
LONG g_abandoned = 0;
// Streams let go of with their answer complete or stopped that still run: not held against the bound.
LONG g_released = 0;
// The calling thread's cancel check (see SetHttpCancelCheck).
thread_local HttpCancelCheck t_cancelCheck = nullptr;
// How often a wait with a cancel check asks it.
constexpr DWORD kCancelSliceMs = 15;

bool CancelAsked() { return t_cancelCheck && t_cancelCheck(); }

void Release(Job* job) {
    if (InterlockedDecrement(&job->owners) == 0) delete job;
}

void RunJob(Job* job) {
    try {
        job->result = Exchange(job->verb, job->target, job->verb == Verb::Post ? &job->body : nullptr, job->headers,
                               job->timeoutSeconds, job->deadline, job->tap.get());
    } catch (...) {
        job->result = HttpResult();
        job->result.failure = HttpFailure::Exception;
        job->result.detail = "unknown";
    }
}

// Marks the job's result final and wakes its caller; an abandoned job no longer counts against the bound.
void FinishJob(Job* job) {
    AcquireSRWLockExclusive(&job->lock);
    job->finished = true;
    if (job->abandoned) InterlockedDecrement(&g_abandoned);
    if (job->released) InterlockedDecrement(&g_released);
    ReleaseSRWLockExclusive(&job->lock);
    WakeAllConditionVariable(&job->finishedChanged);
    if (job->tap) SetEvent(job->tap->ready);
}

// Counts a job its caller let go of before it finished as abandoned, once, until it finishes.
void AbandonJob(Job* job) {
    AcquireSRWLockExclusive(&job->lock);
    if (!job->finished && !job->abandoned) {
        job->abandoned = true;
        InterlockedIncrement(&g_abandoned);
    }
    ReleaseSRWLockExclusive(&job->lock);
}

// Streams let go of that may still wait for their servers before further ones count as abandoned: each keeps a
// thread and a connection, so a server that holds every one must not add them without end.
constexpr LONG kMaxReleasedStreams = 32;

// Counts a stream its caller let go of with its answer complete or stopped, once, until it finishes; false when
// kMaxReleasedStreams are out already (the caller then counts it as abandoned).
bool ReleaseJob(Job* job) {
    AcquireSRWLockExclusive(&job->lock);
    bool counted = job->finished || job->abandoned || job->released;
    if (!counted && InterlockedCompareExchange(&g_released, 0, 0) < kMaxReleasedStreams) {
        job->released = true;
        InterlockedIncrement(&g_released);
        counted = true;
    }
    ReleaseSRWLockExclusive(&job->lock);
    return counted;
}

// Waits until the courier has finished the job, `ms` have passed or the thread's cancel check said stop (then
// *cancelled); true when it finished uncancelled, otherwise one still running is counted as abandoned until it finishes.
bool AwaitJob(Job* job, DWORD ms, bool* cancelled) {
    const ULONGLONG until = GetTickCount64() + ms;
    const bool checking = t_cancelCheck != nullptr;
    AcquireSRWLockExclusive(&job->lock);
    for (ULONGLONG now = GetTickCount64(); !job->finished && now < until; now = GetTickCount64()) {
        const DWORD left = static_cast<DWORD>(until - now);
        const DWORD slice = checking && left > kCancelSliceMs ? kCancelSliceMs : left;
        SleepConditionVariableSRW(&job->finishedChanged, &job->lock, slice, 0);
        if (!checking || job->finished) continue;
        // The check may pump a window: never with the job's lock held.
        ReleaseSRWLockExclusive(&job->lock);
        *cancelled = CancelAsked();
        AcquireSRWLockExclusive(&job->lock);
        if (*cancelled) break;
    }
    const bool finished = job->finished;
    if (!finished) {
        job->abandoned = true;
        InterlockedIncrement(&g_abandoned);
    }
    ReleaseSRWLockExclusive(&job->lock);
    // A cancel taken while the check pumped stands even if the reply came meanwhile: the caller already reports it.
    return finished && !*cancelled;
}

// A thread that runs exchanges one after another and waits a little for the next, so a conversation does not pay
// for a new thread per request. It holds a reference on the library, so an abandoned exchange can finish after an
// unload; the reference goes when the courier leaves.
struct Courier {
    CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;  // a job was handed over, or the courier was dismissed
    Job* job = nullptr;                                 // guarded by g_courierLock
    HMODULE module = nullptr;
    unsigned dismissals = 0;                            // g_dismissals when it took its job; guarded by g_courierLock
};

// How long an idle courier waits for the next exchange before it leaves.
constexpr DWORD kCourierLingerMs = 2000;

SRWLOCK g_courierLock = SRWLOCK_INIT;
Courier* g_idleCourier = nullptr;  // at most one waits; guarded by g_courierLock
unsigned g_dismissals = 0;         // unloads so far; guarded by g_courierLock

// The courier threads' handles, guarded by g_courierLock. A thread's handle is signalled only once its
// FreeLibraryAndExitThread is over, so a courier counts as holding the library until its reference is really gone.
struct CourierThreads {
    std::vector<HANDLE> handles;
    ~CourierThreads() {
        for (HANDLE h : handles) CloseHandle(h);
    }
    // Forgets the threads that have ended and returns how many still run; the caller holds g_courierLock.
    size_t Running() {
        size_t kept = 0;
        for (HANDLE h : handles) {
            if (h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0)
                CloseHandle(h);
            else
                handles[kept++] = h;
        }
        handles.resize(kept);
        return kept;
    }
};
CourierThreads g_courierThreads;

// Offers the courier for the next exchange; false when it should leave instead: one idle courier is enough,
// and one that was busy at an unload leaves at once, so the library can go.
bool OfferCourier(Courier* courier) {
    AcquireSRWLockExclusive(&g_courierLock);
    const bool offered = !g_idleCourier && courier->dismissals == g_dismissals;
    if (offered) {
        courier->job = nullptr;
        g_idleCourier = courier;
    }
    ReleaseSRWLockExclusive(&g_courierLock);
    return offered;
}

// Waits, once offered, for the next job; null when the courier lingered out or was dismissed.
Job* AwaitHandOver(Courier* courier) {
    AcquireSRWLockExclusive(&g_courierLock);
    const ULONGLONG until = GetTickCount64() + kCourierLingerMs;
    // A taker sets the job and a dismissal clears g_idleCourier, both under the lock.
    while (!courier->job && g_idleCourier == courier) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until) {
            g_idleCourier = nullptr;
            break;
        }
        SleepConditionVariableSRW(&courier->wake, &g_courierLock, static_cast<DWORD>(until - now), 0);
    }
    Job* next = courier->job;
    ReleaseSRWLockExclusive(&g_courierLock);
    return next;
}

DWORD WINAPI CourierThread(void* param) {
    Courier* courier = static_cast<Courier*>(param);
    HMODULE module = courier->module;
    for (Job* job = courier->job; job;) {
        RunJob(job);
        // Offered before its caller wakes, so a caller that sends again at once finds this courier waiting.
        const bool offered = OfferCourier(courier);
        FinishJob(job);
        Release(job);
        job = offered ? AwaitHandOver(courier) : nullptr;
    }
    delete courier;
    FreeLibraryAndExitThread(module, 0);
}

// Hands the job to the idle courier, or to a new one; false when no thread could be had.
bool Dispatch(Job* job) {
    AcquireSRWLockExclusive(&g_courierLock);
    Courier* idle = g_idleCourier;
    g_idleCourier = nullptr;
    if (idle) {
        idle->job = job;
        WakeConditionVariable(&idle->wake);
    }
    const unsigned dismissals = g_dismissals;
    ReleaseSRWLockExclusive(&g_courierLock);
    if (idle) return true;
    std::unique_ptr<Courier> courier(new Courier);
    courier->job = job;
    courier->dismissals = dismissals;
    // A place for the thread's handle first (null while it starts, counted as running), so that nothing can
    // fail once the courier owns the job.
    AcquireSRWLockExclusive(&g_courierLock);
    bool placed = false;
    try {
        g_courierThreads.Running();
        g_courierThreads.handles.push_back(nullptr);
        placed = true;
    } catch (...) {
    }
    ReleaseSRWLockExclusive(&g_courierLock);
    if (!placed) return false;
    HANDLE thread = StartThreadHoldingLibrary(CourierThread, courier.get(), &courier->module);
    if (thread) courier.release();
    AcquireSRWLockExclusive(&g_courierLock);
    auto& handles = g_courierThreads.handles;
    const auto place = std::find(handles.begin(), handles.end(), nullptr);
    if (thread)
        *place = thread;
    else
        handles.erase(place);
    ReleaseSRWLockExclusive(&g_courierLock);
    return thread != nullptr;
}

// Waits for the exchange a little past the deadline, so the exchange's own, more precise failure wins.
constexpr DWORD kAbandonGraceMs = 500;

HttpResult Bounded(Verb verb, const HttpTarget& target, std::string* body, const HeaderMap& headers,
                   int timeoutSeconds) {
    const Deadline deadline = Deadline::After(timeoutSeconds);
    HttpResult refused;
    if (CancelAsked()) {
        refused.failure = HttpFailure::Cancelled;
        return refused;
    }
    // Each abandoned exchange keeps a thread, its handles and the library; past the bound none is added.
    if (InterlockedCompareExchange(&g_abandoned, 0, 0) >= kMaxAbandonedExchanges) {
        refused.failure = HttpFailure::Backlog;
        return refused;
    }
    std::unique_ptr<Job> owned(new Job{verb, target, std::string(), headers, timeoutSeconds, deadline, HttpResult()});
    if (body) owned->body.swap(*body);
    if (!Dispatch(owned.get())) {
        // Inline, only WinHTTP's own time-outs would apply, and a trickling server renews them with every byte.
        if (body) body->swap(owned->body);
        refused.failure = HttpFailure::NoThread;
        return refused;
    }
    Job* job = owned.release();
    HttpResult result;
    bool cancelled = false;
    if (AwaitJob(job, deadline.RemainingMs() + kAbandonGraceMs, &cancelled)) {
        result = std::move(job->result);
        if (body) body->swap(job->body);
    } else {
        result.failure = cancelled ? HttpFailure::Cancelled : HttpFailure::TimedOut;
    }
    Release(job);
    return result;
}

// Lending the request to its thread may fail to allocate; that, too, is an "Exception: " failure, not a throw.
HttpResult Transport(Verb verb, const HttpTarget& target, std::string* body, const HeaderMap& headers,
                     int timeoutSeconds) {
    HttpResult result;
    try {
        result = Bounded(verb, target, body, headers, timeoutSeconds);
    } catch (const std::exception& e) {
        result = HttpResult();
        result.failure = HttpFailure::Exception;
        result.detail = e.what();
    }
    result.error = DescribeHttpFailure(result, verb == Verb::Post, target.host, timeoutSeconds);
    return result;
}

}  // namespace

namespace HttpTransport {

HttpResult Post(const HttpTarget& target, std::string& body, const HeaderMap& headers, int timeoutSeconds) {
    return Transport(Verb::Post, target, &body, headers, timeoutSeconds);
}

HttpResult Get(const HttpTarget& target, const HeaderMap& headers, int timeoutSeconds) {
    return Transport(Verb::Get, target, nullptr, headers, timeoutSeconds);
}

}  // namespace HttpTransport

struct HttpStream {
    Job* job;
    bool done = false;  // the final state was handed out
};

namespace HttpTransport {

HttpStream* OpenStream(const HttpTarget& target, std::string&& body, const HeaderMap& headers, int timeoutSeconds) {
    const Deadline deadline = Deadline::After(timeoutSeconds);
    std::unique_ptr<Job> owned(
        new Job{Verb::Post, target, std::move(body), headers, timeoutSeconds, deadline, HttpResult()});
    owned->tap.reset(new StreamTap);
    std::unique_ptr<HttpStream> stream(new HttpStream{owned.get()});
    // As for Post: past the bound of abandoned exchanges, or without a thread (or an event), nothing is sent.
    HttpFailure refused = HttpFailure::None;
    if (!owned->tap->ready) refused = HttpFailure::NoThread;
    else if (InterlockedCompareExchange(&g_abandoned, 0, 0) >= kMaxAbandonedExchanges) refused = HttpFailure::Backlog;
    else if (!Dispatch(owned.get())) refused = HttpFailure::NoThread;
    if (refused != HttpFailure::None) {
        owned->result.failure = refused;
        owned->finished = true;
        owned->owners = 1;
    }
    owned.release();
    return stream.release();
}

}  // namespace HttpTransport

void WaitStream(HttpStream* stream, unsigned long ms) {
    const ULONGLONG giveUp = stream->job->deadline.End() + kAbandonGraceMs, now = GetTickCount64();
    const ULONGLONG left = giveUp > now ? giveUp - now : 0;
    WaitForSingleObject(stream->job->tap->ready, static_cast<DWORD>(left < ms ? left : ms));
}

void* StreamSignal(HttpStream* stream) { return stream->job->tap->ready; }

bool TakeStream(HttpStream* stream, std::string* bytes, HttpStreamState* state) {
    Job* job = stream->job;
    StreamTap* tap = job->tap.get();
    // Reset before looking, so news that comes while we look sets it again.
    ResetEvent(tap->ready);
    AcquireSRWLockShared(&job->lock);
    const bool finished = !stream->done && job->finished;
    ReleaseSRWLockShared(&job->lock);
    AcquireSRWLockExclusive(&tap->lock);
    if (bytes->empty()) bytes->swap(tap->pending);
    else *bytes += tap->pending;
    tap->pending.clear();
    state->headersKnown = tap->headersKnown;
    state->statusCode = tap->status;
    state->contentType = tap->contentType;
    ReleaseSRWLockExclusive(&tap->lock);
    if (stream->done) return true;
    if (finished) {
        state->result = std::move(job->result);
    } else if (GetTickCount64() >= job->deadline.End() + kAbandonGraceMs) {
        InterlockedExchange(&tap->stopped, 1);
        AbandonJob(job);
        state->result = HttpResult();
        state->result.failure = HttpFailure::TimedOut;
    } else {
        return false;
    }
    state->result.error = DescribeHttpFailure(state->result, true, job->target.host, job->timeoutSeconds);
    state->finished = stream->done = true;
    return true;
}

void CloseStream(HttpStream* stream, bool abandon) {
    if (!stream) return;
    InterlockedExchange(&stream->job->tap->stopped, 1);
    // A read still blocked after a cancel counts against the bound, as at a deadline, until the server lets go;
    // one whose answer is complete or stopped is only waited for before a delivery (CouriersSettled), up to a cap.
    if (!stream->done) {
        if (abandon || !ReleaseJob(stream->job)) AbandonJob(stream->job);
    }
    Release(stream->job);
    delete stream;
}

void ReleaseIdleCourier() {
    AcquireSRWLockExclusive(&g_courierLock);
    if (Courier* idle = g_idleCourier) {
        g_idleCourier = nullptr;
        idle->job = nullptr;
        WakeConditionVariable(&idle->wake);
    }
    ReleaseSRWLockExclusive(&g_courierLock);
}

bool CouriersSettled() {
    AcquireSRWLockExclusive(&g_courierLock);
    const size_t running = g_courierThreads.Running();
    ReleaseSRWLockExclusive(&g_courierLock);
    const LONG leftBehind =
        InterlockedCompareExchange(&g_abandoned, 0, 0) + InterlockedCompareExchange(&g_released, 0, 0);
    return running <= static_cast<size_t>(leftBehind);
}

void DismissIdleCourier() {
    AcquireSRWLockExclusive(&g_courierLock);
    ++g_dismissals;
    if (Courier* idle = g_idleCourier) {
        g_idleCourier = nullptr;
        idle->job = nullptr;
        WakeConditionVariable(&idle->wake);
    }
    ReleaseSRWLockExclusive(&g_courierLock);
}

void SetHttpCancelCheck(HttpCancelCheck check) { t_cancelCheck = check; }
