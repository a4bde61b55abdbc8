// A chat answer asked for as a stream and revealed word by word as it arrives, on the host's thread.
#pragma once
#include <string>

#include "session/settings.h"

struct StreamedReply {
    bool ok = false;        // an answer came: whole, or as far as it had come when a stop ended the reveal
    std::string raw;        // that answer, raw (before the multiline setting)
    bool revealed = false;  // at least one piece was written into the variable
};

// Sends the prompt asking for a stream, reveals the answer into `variable` piece by piece as it arrives (one
// space-separated piece a write, 40 ms and a message pump apart), and records the exchange in the history once:
// whole on success, as far as it came on a stop. A failure leaves its text in lastError. `attachment`, when
// given, goes beside the prompt and stays with its turn.
StreamedReply SendAndReveal(const std::string& prompt, const std::string& variable,
                            const AttachmentRef& attachment = nullptr);

// Asks every reveal running now to stop (ParlyStopStream); a reveal that starts later is not stopped by it.
void AskStopStream();
// True while the host's thread is inside a streamed send (host's thread only).
bool RevealRunning();
