// Small owners for Win32 and WinHTTP handles, closed once, in reverse order of creation.
#pragma once
#include <windows.h>
#include <winhttp.h>

class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    void reset() {
        if (valid()) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE h_;
};

class ScopedInternet {
  public:
    explicit ScopedInternet(HINTERNET h = nullptr) : h_(h) {}
    ~ScopedInternet() { reset(); }
    ScopedInternet(const ScopedInternet&) = delete;
    ScopedInternet& operator=(const ScopedInternet&) = delete;
    ScopedInternet& operator=(ScopedInternet&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            other.h_ = nullptr;
        }
        return *this;
    }
    explicit operator bool() const { return h_ != nullptr; }
    HINTERNET get() const { return h_; }
    void reset() {
        if (h_) WinHttpCloseHandle(h_);
        h_ = nullptr;
    }

  private:
    HINTERNET h_;
};
