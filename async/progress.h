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
// Dispatches every message waiting for this thread's windows; false when it met the host's quit (posted again).
bool PumpHostMessages();
