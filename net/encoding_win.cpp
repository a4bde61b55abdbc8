#include <windows.h>

#include "net/encoding.h"
#include "net/json.h"

namespace {

// `text` in code page `codePage` as UTF-16; empty when it is empty or does not convert.
std::wstring ToWide(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// UTF-16 `text` in code page `codePage`; empty when it is empty or does not convert.
std::string FromWide(UINT codePage, const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) { return ToWide(CP_UTF8, text); }

std::string WideToUtf8(const std::wstring& text) { return FromWide(CP_UTF8, text); }

std::string EnvironmentText(const char* name) {
    const std::wstring wide = Utf8ToWide(name);
    // The platform's block, not the C runtime's copy of it, which misses what the host set after starting.
    std::wstring value(64, L'\0');
    for (int tries = 0; tries < 3; ++tries) {
        const DWORD n = GetEnvironmentVariableW(wide.c_str(), &value[0], static_cast<DWORD>(value.size()));
        if (n == 0) return std::string();
        if (n < value.size()) {
            value.resize(n);
            return WideToUtf8(value);
        }
        value.assign(n, L'\0');  // n counts the terminator when the buffer was short
    }
    return std::string();
}

std::string HostTextToUtf8(const std::string& text) {
    if (IsValidUtf8(text)) return text;
    std::wstring wide = ToWide(CP_ACP, text);
    return wide.empty() ? text : WideToUtf8(wide);
}

std::string Utf8ToAnsi(const std::string& text) { return FromWide(CP_ACP, Utf8ToWide(text)); }

namespace {

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool FolderExists(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos || PathExists(path.substr(0, slash + 1));
}

}  // namespace

std::wstring HostPathToWide(const std::string& path) {
    bool ascii = true;
    for (char c : path)
        if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    const std::wstring ansi = ToWide(CP_ACP, path);
    if (ascii || !IsValidUtf8(path)) return ansi;
    const std::wstring utf8 = ToWide(CP_UTF8, path);
    // Bytes that read both ways (ANSI C3 AB is also UTF-8 for one letter): the reading that names what exists, UTF-8 first.
    if (PathExists(utf8)) return utf8;
    if (PathExists(ansi)) return ansi;
    if (FolderExists(utf8) || !FolderExists(ansi)) return utf8;
    return ansi;
}
