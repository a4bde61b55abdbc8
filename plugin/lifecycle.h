// What the host's notifications do to the plug-in's process-wide state.
#pragma once

// Host message: only code 2 (unload) acts: background work stopped, history cleared, provider none.
void HandleHostMessage(int code);
// How many unload messages the host has sent in this mapping; a reveal that sees it change ends (host's thread only).
unsigned HostUnloadCount();

// The host's nbInitPlugIn. Called once per load, so a second call means the host let go of the library
// without message 2 and loaded it again while a worker kept it mapped: the new load starts from the load state.
void BeginHostSession();

// Keeps our code mapped while the host's thread runs in it and the host may let go of the library meanwhile (its
// callbacks, or script events dispatched from our message pump). The reference is given back from a thread that runs
// no code of ours, so no return lands in freed code.
class LibraryHeldForHostCalls {
  public:
    LibraryHeldForHostCalls();
    ~LibraryHeldForHostCalls();
    LibraryHeldForHostCalls(const LibraryHeldForHostCalls&) = delete;
    LibraryHeldForHostCalls& operator=(const LibraryHeldForHostCalls&) = delete;

  private:
    void* held_ = nullptr;  // our HMODULE
};
