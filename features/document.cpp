#include <windows.h>

#include <memory>
#include <vector>

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

AttachmentRef LoadAttachment(const std::string& path, AttachmentKind kind) {
    const bool pdf = kind == AttachmentKind::Pdf;
    const char* what = pdf ? "PDF" : "Image";
    ScopedHandle file(CreateFileW(HostPathToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        ReplaceLastError("Cannot open file: " + path);
        return nullptr;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) {
        ReplaceLastError("File is empty or cannot determine size: " + path);
        return nullptr;
    }
    const unsigned long long length = static_cast<unsigned long long>(size.QuadPart);
    if (length > (pdf ? kPdfFileLimit : kImageFileLimit)) {
        ReplaceLastError(std::string(what) + " file is larger than " + (pdf ? "32" : "20") + " MB: " + path);
        return nullptr;
    }
    auto out = std::make_shared<Attachment>();
    out->fileName = HostTextToUtf8(FileNameOf(path));
    out->base64.reserve(Base64Length(static_cast<size_t>(length)));
    // Read and encoded a slice at a time, so the file's bytes are never held whole beside their encoding.
    constexpr DWORD kSlice = 3u << 20;
    std::vector<unsigned char> slice(static_cast<size_t>(length < kSlice ? length : kSlice));
    unsigned long long done = 0;
    while (done < length) {
        const DWORD wanted = static_cast<DWORD>(length - done < kSlice ? length - done : kSlice);
        DWORD got = 0;
        if (!ReadFile(file.get(), slice.data(), wanted, &got, nullptr) || got != wanted) {
            ReplaceLastError("Failed to read file: " + path);
            return nullptr;
        }
        if (done == 0) {
            const char* type = pdf ? (StartsAsPdf(slice.data(), got) ? "application/pdf" : nullptr)
                                   : SniffImageType(slice.data(), got);
            if (!type) {
                ReplaceLastError(pdf ? "Not a PDF file (it does not begin with %PDF-): " + path
                                     : "Unsupported image format (PNG, JPEG, GIF or WebP expected): " + path);
                return nullptr;
            }
            out->mediaType = type;
        }
        AppendBase64(out->base64, slice.data(), got);
        done += got;
    }
    return out;
}
