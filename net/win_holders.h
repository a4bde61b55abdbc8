// Small owners for Win32 and WinHTTP handles, closed once, in reverse order of creation, and the library-holding thread start.
#pragma once
#include <windows.h>
#include <winhttp.h>

// Owns one handle that `Close` releases; null and INVALID_HANDLE_VALUE both mean "nothing owned".
template <BOOL(WINAPI* Close)(void*)>
class ScopedOwner {
  public:
    explicit ScopedOwner(void* h = nullptr) : h_(h) {}
    ~ScopedOwner() { reset(); }
    ScopedOwner(const ScopedOwner&) = delete;
    ScopedOwner& operator=(const ScopedOwner&) = delete;
    ScopedOwner& operator=(ScopedOwner&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            other.h_ = nullptr;
        }
        return *this;
    }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    void* get() const { return h_; }
    void reset() {
        if (valid()) Close(h_);
        h_ = nullptr;
    }

  private:
    void* h_;
};

using ScopedHandle = ScopedOwner<CloseHandle>;
using ScopedInternet = ScopedOwner<WinHttpCloseHandle>;

// Starts `routine` on a thread that holds its own reference on the library containing it, so the library stays
// mapped while the thread runs, even after the host lets go of it; the thread ends with
// FreeLibraryAndExitThread(*module). Null, with no reference kept, when no thread could be started.
inline HANDLE StartThreadHoldingLibrary(LPTHREAD_START_ROUTINE routine, void* param, HMODULE* module) {
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(routine), module))
        return nullptr;
    HANDLE thread = CreateThread(nullptr, 0, routine, param, 0, nullptr);
    if (!thread) FreeLibrary(*module);
    return thread;
}
