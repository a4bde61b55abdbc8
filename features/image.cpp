#include <windows.h>

#include <chrono>
#include <cwchar>

#include "features/media.h"
#include "features/media_protocol.h"
#include "net/encoding.h"
#include "net/http.h"

namespace {

// A temporary file in the target's folder, created exclusively; its name is never longer than the target's,
// so any target path that can be opened gives a temporary path that can be opened too.
HANDLE CreateTemporaryBeside(const std::wstring& target, std::wstring* temp) {
    static unsigned counter = 0;
    const size_t slash = target.find_last_of(L"\\/:");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
    const std::wstring name = target.substr(folder.size());
    const size_t length = name.size() < 12 ? (name.empty() ? 1 : name.size()) : 12;
    const wchar_t digits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 64; ++attempt) {
        unsigned n = GetTickCount() * 31u + GetCurrentProcessId() * 7u + counter++;
        // A one-character name has room for one varying character and no marker.
        std::wstring candidate = length > 1 ? L"~" : L"";
        while (candidate.size() < length) {
            candidate += digits[n % 36];
            n = n / 36 + 0x9E3779B9u * static_cast<unsigned>(candidate.size());
        }
        if (_wcsicmp(candidate.c_str(), name.c_str()) == 0) continue;
        *temp = folder + candidate;
        HANDLE file = CreateFileW(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

std::string WriteImageFile(const std::string& path, const std::string& bytes) {
    return WriteWholeFile(path, bytes.data(), bytes.size());
}

std::string WriteWholeFile(const std::string& path, const void* data, size_t size) {
    const std::wstring target = HostPathToWide(path);
    // A read-only file is the author's to keep; a rename over it would not ask.
    const DWORD existing = target.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(target.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY))
        return "Failed to write output file: " + path;
    std::wstring temp;
    HANDLE file = target.empty() ? INVALID_HANDLE_VALUE : CreateTemporaryBeside(target, &temp);
    if (file == INVALID_HANDLE_VALUE) return "Failed to create output file: " + path;
    // Written whole, then moved into place, so an existing file survives every failure.
    DWORD written = 0;
    bool ok = size == 0 || (WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size);
    ok = FlushFileBuffers(file) && ok;
    ok = CloseHandle(file) && ok;
    if (ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return "";
    DeleteFileW(temp.c_str());
    return "Failed to write output file: " + path;
}

std::string CheckOutputFolder(const std::string& path) {
    const std::wstring target = HostPathToWide(path);
    const size_t slash = target.find_last_of(L"\\/:");
    if (target.empty()) return "Failed to create output file: " + path;
    // A target that is itself a folder, or read-only, could never be replaced by the image.
    const DWORD existing = GetFileAttributesW(target.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return "Failed to write output file: " + path;
    if (slash == std::wstring::npos || target[slash] == L':') return "";  // the current folder, or a drive's
    // The folder with its separator: "\", "C:\", "\\?\C:\" and a share's "\\server\share\" name their roots.
    const std::wstring folder = target.substr(0, slash + 1);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "Failed to create output file: " + path;
    return "";
}

bool FetchImage(const SessionSettings& s, const std::string& prompt, const std::string& size,
                std::string* bytes, std::string* error) {
    HttpResult reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.timeoutSeconds);
    for (bool resent = false;; resent = true) {
        ImageRequest request = BuildImageRequest(s, prompt, size);
        if (!request.ok) {
            *error = request.error;
            return false;
        }
        // The resend gets what is left of the one time-out; a time-out's text names the script's.
        if (const int seconds = SecondsLeft(deadline)) {
            reply = HttpTransport::Post(request.target, request.body, request.headers, seconds);
        } else {
            reply = HttpResult();
            reply.failure = HttpFailure::TimedOut;
        }
        if (reply.failure == HttpFailure::TimedOut)
            reply.error = DescribeHttpFailure(reply, true, request.target.host, s.timeoutSeconds);
        // An image model that refuses "response_format" is asked once more without it, and remembered.
        const ParamRefusal refusal = ReadParamRefusal(reply.statusCode, reply.body);
        if (resent || refusal.param != kParamResponseFormat || !RefusalApplies(request.shape, refusal)) break;
        RememberParamRefusal(s.provider, request.model, refusal);
    }
    ImageOutcome outcome = InterpretImageReply(std::move(reply));  // the image takes the reply's place
    if (!outcome.ok) {
        *error = outcome.error;
        return false;
    }
    *bytes = std::move(outcome.bytes);
    return true;
}

std::string GenerateImage(const SessionSettings& s, const std::string& prompt, const std::string& size,
                          const std::string& outputPath) {
    std::string bytes;
    // Nobody pays for an image that could not be saved.
    std::string failure = CheckOutputFolder(outputPath);
    if (failure.empty() && FetchImage(s, prompt, size, &bytes, &failure)) failure = WriteImageFile(outputPath, bytes);
    if (!failure.empty()) {
        ReplaceLastError(failure);
        return "ERROR";
    }
    return "OK";
}

std::string GetEmbedding(const SessionSettings& s, const std::string& text) {
    EmbeddingRequest request = BuildEmbeddingRequest(s, text);
    if (!request.ok) {
        ReplaceLastError(request.error);
        return "";
    }
    HttpResult reply = HttpTransport::Post(request.target, request.body, request.headers, s.timeoutSeconds);
    EmbeddingOutcome outcome = InterpretEmbeddingReply(reply);
    if (!outcome.ok) {
        ReplaceLastError(outcome.error);
        return "";
    }
    return outcome.vector;
}
