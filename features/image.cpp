#include <windows.h>

#include <cstdio>

#include "features/media.h"
#include "features/media_protocol.h"
#include "net/http.h"

namespace {

// Writes bytes to a temporary file beside the target and moves it into place only when all of it is on disk.
std::string WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".parly-%lu-%lu.tmp", GetCurrentProcessId(), GetTickCount());
    std::string temp = path + suffix;
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file) return "Failed to create output file: " + path;
    bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = (std::fflush(file) == 0) && written;
    written = (std::fclose(file) == 0) && written;
    if (written && MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return "";
    DeleteFileA(temp.c_str());
    return "Failed to write output file: " + path;
}

}  // namespace

std::string GenerateImage(const SessionSettings& s, const std::string& prompt, const std::string& size,
                          const std::string& outputPath) {
    ImageRequest request = BuildImageRequest(s, prompt, size);
    if (!request.ok) {
        ReplaceLastError(request.error);
        return "ERROR";
    }
    HttpResult reply = HttpTransport::Post(request.target, request.body, request.headers, s.timeoutSeconds);
    ImageOutcome outcome = InterpretImageReply(reply);
    reply = HttpResult();  // the encoded reply is no longer needed while the file is written
    if (!outcome.ok) {
        ReplaceLastError(outcome.error);
        return "ERROR";
    }
    std::string failure = WriteFileAtomically(outputPath, outcome.bytes);
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
