#include <windows.h>

#include "features/media.h"
#include "features/media_protocol.h"
#include "net/encoding.h"
#include "net/json.h"
#include "net/win_holders.h"

std::string LoadDocument(const std::string& path) {
    std::string refusal = CheckDocumentExtension(path);
    if (!refusal.empty()) {
        ReplaceLastError(refusal);
        return "";
    }
    ScopedHandle file(CreateFileW(HostPathToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        ReplaceLastError("Cannot open file: " + path);
        return "";
    }
    // The whole 64-bit size: a file of 4 GiB and more must still be seen as too long, not as its low bits.
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) {
        ReplaceLastError("File is empty or cannot determine size: " + path);
        return "";
    }
    const bool cut = static_cast<unsigned long long>(size.QuadPart) > kDocumentLimit;
    const DWORD wanted = cut ? static_cast<DWORD>(kDocumentLimit) : static_cast<DWORD>(size.QuadPart);
    std::string text(wanted, '\0');
    DWORD got = 0;
    BOOL ok = ReadFile(file.get(), text.data(), wanted, &got, nullptr);
    file.reset();
    if (!ok || got == 0) {
        ReplaceLastError("Failed to read file: " + path);
        return "";
    }
    text.resize(got);
    if (cut) {
        // The cut may fall inside a character; never send half of one.
        text.resize(WholeUtf8Length(text));
        text += kTruncationMarker;
    }
    return text;
}
