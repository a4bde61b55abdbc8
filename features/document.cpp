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
    DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE || size == 0) {
        ReplaceLastError("File is empty or cannot determine size: " + path);
        return "";
    }
    DWORD wanted = size < kDocumentLimit ? size : static_cast<DWORD>(kDocumentLimit);
    std::string text(wanted, '\0');
    DWORD got = 0;
    BOOL ok = ReadFile(file.get(), text.data(), wanted, &got, nullptr);
    file.reset();
    if (!ok || got == 0) {
        ReplaceLastError("Failed to read file: " + path);
        return "";
    }
    text.resize(got);
    if (size > kDocumentLimit) {
        // The cut may fall inside a character; never send half of one.
        text.resize(WholeUtf8Length(text));
        text += kTruncationMarker;
    }
    return text;
}
