// The "Thinking..." window and the word-by-word reveal, both on the host's thread.
#pragma once
#include <string>

// Whether the session wants the progress window shown.
bool ProgressWanted();
void ShowProgress(const std::string& text);
void CloseProgress();
// Forgets the progress window without destroying it and returns it (for a detach on another thread).
struct HWND__* TakeProgressWindow();
// The reveal's pause after each piece.
constexpr unsigned long kRevealPauseMs = 40;
// What lastError says after a request was cancelled.
constexpr char kRequestCancelled[] = "Request cancelled";

// A request that blocks the host's thread while the progress window shows it: for its lifetime the window's Cancel
// ends that request (the transport's waits ask ProgressCancelAsked), not the background job.
class ForegroundRequest {
  public:
    ForegroundRequest();
    ~ForegroundRequest();
    ForegroundRequest(const ForegroundRequest&) = delete;
    ForegroundRequest& operator=(const ForegroundRequest&) = delete;
    // True once the window's Cancel was pressed for this request.
    bool Cancelled() const;

  private:
    bool outerCancelled_;
};
// Dispatches the progress window's own messages (so its Cancel works while the host's thread waits) and says
// whether Cancel was pressed for the foreground request.
bool ProgressCancelAsked();

// Dispatches every message waiting for this thread's windows; false when it met the host's quit (posted again).
bool PumpHostMessages();
