#include "async/stream_reveal.h"

#include <windows.h>

#include <memory>

#include "async/progress.h"
#include "net/http.h"
#include "net/json.h"
#include "plugin/host.h"
#include "plugin/lifecycle.h"
#include "providers/chat_protocol.h"
#include "providers/chat_stream.h"
#include "providers/model_rules.h"
#include "providers/provider_table.h"
#include "providers/registry.h"
#include "session/settings.h"
#include "session/text_rules.h"

namespace {

// How long one wait for the network lasts before the deadline and the stop are looked at again.
constexpr DWORD kWaitSliceMs = 50;
// WinHTTP's "connection reset": the transport's number for a reply that ended short.
constexpr unsigned long kCutReplyError = 12030;

// Streamed sends running on the host's thread (nested ones from host events too), and the stops asked so far:
// a reveal ends when a stop came after it started, so a send started after a stop is not ended by it.
unsigned g_revealsRunning = 0;
unsigned g_stopsAsked = 0;

struct RevealRunningScope {
    RevealRunningScope() { ++g_revealsRunning; }
    ~RevealRunningScope() { --g_revealsRunning; }
};

// One streamed exchange as the reveal sees it: what has arrived, flattened as the variable shows it.
class Arrival {
  public:
    Arrival(int provider, StreamProtocol protocol, bool multiline, const RequestShape& shape, int scriptTimeout,
            HttpStream* http)
        : provider_(provider), multiline_(multiline), shape_(shape), scriptTimeout_(scriptTimeout), http_(http),
          stream_(protocol) {
        if (http_) return;
        // No time was left to send in.
        HttpResult reply;
        reply.failure = HttpFailure::TimedOut;
        reply.error = DescribeHttpFailure(reply, true, std::string(), scriptTimeout_);
        Settle(InterpretChatReply(provider_, reply));
    }
    ~Arrival() { CloseStream(http_); }

    // Takes what the network has brought; once the answer is all there (or failed) the exchange is closed.
    // A refusal of a member not in `resent` closes it too, for a resend (see Refusal).
    void Absorb(unsigned resent = ~0u) {
        if (!http_) return;
        bytes_.clear();
        const bool finished = TakeStream(http_, &bytes_, &state_);
        // A resend's time-out is what was left of the script's; the text names the script's.
        if (finished && state_.result.failure == HttpFailure::TimedOut)
            state_.result.error = DescribeHttpFailure(state_.result, true, std::string(), scriptTimeout_);
        if (kind_ == Kind::Unknown && state_.headersKnown)
            kind_ = state_.statusCode == 200 && IsStreamContentType(stream_.protocol, state_.contentType) ? Kind::Stream
                                                                                                          : Kind::Whole;
        if (kind_ == Kind::Stream) {
            FeedChatStream(&stream_, bytes_);
            flat_ += FlattenLineBreaks(std::string_view(stream_.answer).substr(flattened_), multiline_);
            flattened_ = stream_.answer.size();
            if (!stream_.broken && !stream_.ended && !finished) return;
            HttpResult reply;
            reply.statusCode = state_.statusCode;
            // Whatever the connection does after the end marker or an error event no longer matters.
            if (finished && !stream_.broken && !stream_.ended) reply = std::move(state_.result);
            Settle(InterpretChatStream(provider_, stream_, reply));
        } else {
            whole_ += bytes_;  // an error status, or a gateway that ignored the stream: read whole, as ever
            if (!finished) return;
            HttpResult reply = std::move(state_.result);
            if (reply.error.empty() && !JsonTopLevelCloses(whole_)) {
                // As the transport judges a whole reply: a JSON value that opens and never closes was cut.
                reply = HttpResult();
                reply.failure = HttpFailure::Receive;
                reply.systemError = kCutReplyError;
                reply.error = DescribeHttpFailure(reply, true, std::string(), 0);
            }
            if (reply.error.empty()) reply.body.swap(whole_);
            // A model that refuses a member we add on our own gets the request once more without it.
            refusal_ = ReadParamRefusal(reply.statusCode, reply.body);
            if (refusal_.param && !(resent & refusal_.param) && RefusalApplies(shape_, refusal_)) {
                Close();
                return;
            }
            refusal_ = ParamRefusal();
            retired_ = IsRetiredModelRefusal(provider_, reply.statusCode, reply.body);
            ChatOutcome outcome = InterpretChatReply(provider_, reply);
            if (outcome.ok) flat_ = FlattenLineBreaks(outcome.answer, multiline_);
            Settle(std::move(outcome));
        }
    }
    // Waits for news from the network (no message pump), at most one slice.
    void Wait() {
        if (http_) WaitStream(http_, kWaitSliceMs);
    }
    // The event to watch beside the message queue; null once the exchange is closed.
    HANDLE Signal() const { return http_ ? static_cast<HANDLE>(StreamSignal(http_)) : nullptr; }
    // Ends the exchange early; the provider stops generating when its connection closes.
    void Close() {
        CloseStream(http_);
        http_ = nullptr;
    }
    // Ends it for a cancel: one still waiting for its server counts against the bound, as at a deadline.
    void Abandon() {
        CloseStream(http_, true);
        http_ = nullptr;
    }

    // The member the provider refused, when the request should be sent again without it; else param 0.
    const ParamRefusal& Refusal() const { return refusal_; }
    // True when the request failed because the provider refused its model as unknown or retired.
    bool Retired() const { return failed_ && retired_; }
    // Adds a sentence after the error text.
    void AddHint(const std::string& hint) { error_ = WithHint(error_, hint); }
    bool Complete() const { return complete_; }
    bool Failed() const { return failed_; }
    const std::string& Flat() const { return flat_; }
    const std::string& Error() const { return error_; }
    // The raw answer: whole once complete, else as far as the stream has brought it.
    const std::string& Raw() const { return complete_ ? answer_ : stream_.answer; }
    // What the provider reported of the exchange's tokens and stop reason; nothing for an answer cut short.
    ChatUsage Usage() const { return complete_ ? usage_ : ChatUsage(); }

  private:
    enum class Kind { Unknown, Stream, Whole };
    void Settle(ChatOutcome outcome) {
        Close();
        if (outcome.ok) {
            complete_ = true;
            answer_ = std::move(outcome.answer);
            usage_ = std::move(outcome.usage);
        } else {
            failed_ = true;
            error_ = std::move(outcome.error);
        }
    }
    int provider_;
    bool multiline_;
    RequestShape shape_;
    int scriptTimeout_;
    ParamRefusal refusal_;
    HttpStream* http_;
    ChatStream stream_;
    HttpStreamState state_;
    Kind kind_ = Kind::Unknown;
    std::string bytes_, whole_, flat_, answer_, error_;
    ChatUsage usage_;
    size_t flattened_ = 0;  // how much of the stream's answer is in flat_
    bool complete_ = false, failed_ = false, retired_ = false;
};

// Waits for the network or a message for the host's thread, then dispatches the messages; false on the host's quit.
bool WaitPumping(const Arrival& arrival) {
    HANDLE signal = arrival.Signal();
    MsgWaitForMultipleObjectsEx(signal ? 1 : 0, signal ? &signal : nullptr, kWaitSliceMs, QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    return PumpHostMessages();
}

}  // namespace

void AskStopStream() {
    if (g_revealsRunning) ++g_stopsAsked;
}

bool RevealRunning() { return g_revealsRunning > 0; }

StreamedReply SendAndReveal(const std::string& prompt, const std::string& variable, const AttachmentRef& attachment) {
    StreamedReply out;
    RevealRunningScope running;
    const unsigned stopsBefore = g_stopsAsked;
    const ChatStart start = BeginLiveChat();
    // The body is built from the live history under the lock; again for a resend without a refused member.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(start.timeoutSeconds);
    std::unique_ptr<Arrival> sending;
    std::string error;
    auto send = [&]() -> bool {
        ChatRequest request;
        {
            std::lock_guard<std::mutex> hold(SessionLock());
            request = BuildChatRequest(g_session.settings, g_session.conversation.history, prompt, true, attachment);
        }
        if (!request.ok) {
            error = request.error;
            return false;
        }
        // Every request of this send shares the one time-out: a resend gets what is left of it.
        const int left = SecondsLeft(deadline);
        sending.reset(new Arrival(start.provider, FindProvider(start.provider)->stream, start.multiline, request.shape,
                                  start.timeoutSeconds,
                                  left == 0 ? nullptr
                                            : HttpTransport::OpenStream(request.target, std::move(request.body),
                                                                        request.headers, left)));
        return true;
    };
    if (!send()) {
        ReplaceLastError(error);
        return out;
    }
    if (ProgressWanted()) ShowProgress("Thinking...");
    // Until the first piece the progress window's Cancel ends this request.
    std::unique_ptr<ForegroundRequest> foreground(new ForegroundRequest);
    const unsigned unloads = HostUnloadCount();
    RevealCursor cursor;
    bool recorded = false, stopped = false;
    auto record = [&](const std::string& answer, const ChatUsage& usage) {
        // An answer from before ParlyInit, ParlyReset, ParlyClearHistory or unload joins no history.
        if (!recorded && !answer.empty()) {
            AppendExchange(start.conversation, prompt, answer, attachment);
            StoreUsage(usage);
        }
        recorded = true;
    };

    // Until the first piece the host waits, as for any synchronous request, with the progress window up.
    bool piece = false, healed = false;
    std::string model = start.model;  // what the request names, for the memory of refused members
    unsigned resent = 0;  // each refused member is resent at most once
    for (;;) {
        sending->Absorb(resent);
        // A retired default gives way to its listed successor once; any other model's error names those served.
        if (sending->Retired() && !healed) {
            healed = true;
            std::string served;
            if (AfterRetiredModel(CopySettings(), model, deadline, &served)) {
                model = HealedDefault(start.provider);
                resent = 0;
                if (!send()) {
                    CloseProgress();
                    ReplaceLastError(error);
                    return out;
                }
                continue;
            }
            // A Cancel pressed while the listing was read ended it: the send is cancelled, not refused.
            if (ProgressCancelAsked()) {
                CloseProgress();
                ReplaceLastError(kRequestCancelled);
                return out;
            }
            sending->AddHint(served);
        }
        const ParamRefusal refusal = sending->Refusal();
        if (refusal.param) {
            RememberParamRefusal(start.provider, model, refusal);
            resent |= refusal.param;
            if (!send()) {
                CloseProgress();
                ReplaceLastError(error);
                return out;
            }
            continue;
        }
        if (sending->Complete()) record(sending->Raw(), sending->Usage());
        if (sending->Failed() || (piece = cursor.Next(sending->Flat(), sending->Complete())) || sending->Complete())
            break;
        // The progress window's Cancel ends the request here, before anything is typed.
        if (ProgressCancelAsked()) {
            sending->Abandon();
            CloseProgress();
            ReplaceLastError(kRequestCancelled);
            return out;
        }
        sending->Wait();
    }
    CloseProgress();
    foreground.reset();
    Arrival& arrival = *sending;

    // Then one write per piece, a pause and the host's messages after each, waiting for the network between.
    while (piece) {
        SetHostVariable(variable.c_str(), cursor.acc);
        out.revealed = true;
        Sleep(kRevealPauseMs);
        if (!PumpHostMessages()) {
            stopped = true;
            break;
        }
        piece = false;
        for (;;) {
            if (g_stopsAsked != stopsBefore || HostUnloadCount() != unloads) {
                stopped = true;
                break;
            }
            arrival.Absorb();
            if (arrival.Complete()) record(arrival.Raw(), arrival.Usage());
            if (arrival.Failed() || (piece = cursor.Next(arrival.Flat(), arrival.Complete())) || arrival.Complete())
                break;
            if (!WaitPumping(arrival)) {
                stopped = true;
                break;
            }
        }
        if (stopped) break;
    }

    if (stopped && !arrival.Complete() && !arrival.Failed()) {
        // Stopped while the answer was still coming: close the exchange and keep what had come.
        arrival.Close();
        record(arrival.Raw(), arrival.Usage());
        out.ok = true;
        out.raw = arrival.Raw();
        return out;
    }
    if (arrival.Failed()) {
        ReplaceLastError(arrival.Error());
        return out;
    }
    out.ok = true;
    out.raw = arrival.Raw();
    return out;
}
