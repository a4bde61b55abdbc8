#include "session/dispatcher.h"

#include <cmath>
#include <string>

#include "async/progress.h"
#include "async/runner.h"
#include "async/stream_reveal.h"
#include "features/media.h"
#include "features/media_protocol.h"
#include "net/encoding.h"
#include "plugin/catalogue.h"
#include "plugin/host.h"
#include "plugin/lifecycle.h"
#include "providers/registry.h"
#include "session/history_file.h"
#include "session/settings.h"
#include "session/text_rules.h"

void Params::write(int i, const std::string& value) const {
    if (has(i)) SetHostVariable(raw[i], value);
}

namespace {

const char kNoProvider[] = "No provider initialized. Call ParlyInit first.";

}  // namespace

namespace {

// Stops an action before it sends: lastError says why and its result variable is emptied.
void Refuse(const Params& p, int resultIndex, const char* error) {
    ReplaceLastError(error);
    p.write(resultIndex, "");
}

bool HaveProvider() {
    std::lock_guard<std::mutex> hold(SessionLock());
    return g_session.settings.provider != kProviderNone;
}

template <typename Apply>
void SetField(Apply apply) {
    std::lock_guard<std::mutex> hold(SessionLock());
    apply(g_session.settings);
}

void SetNumber(const Params& p, int action) {
    if (!p.has(0)) return;
    std::string text = p.text(0);
    if (action == kParlySetTemp) {
        double v;
        // nan and inf parse as numbers, but no provider accepts them in a body.
        if (!ParseLeadingDouble(text, &v) || !std::isfinite(v)) return ReplaceLastError("Invalid temperature value");
        // Minus zero counts as below zero, so no body ever writes "-0.00".
        SetField([&](SessionSettings& s) { s.temperature = v <= 0.0 ? 0.0 : (v > 2.0 ? 2.0 : v); });
        return;
    }
    int v;
    if (action == kParlySetMaxTokens) {
        if (!ParseLeadingInt(text, &v)) return ReplaceLastError("Invalid max tokens value");
        SetField([&](SessionSettings& s) {
            s.maxTokens = v < 1 ? 1 : (v > 128000 ? 128000 : v);
            s.maxTokensSet = true;
        });
        return;
    }
    if (!ParseLeadingInt(text, &v)) return ReplaceLastError("Invalid timeout value");
    SetField([&](SessionSettings& s) { s.timeoutSeconds = v < 5 ? 5 : (v > 300 ? 300 : v); });
}

// Runs a blocking request between ShowProgress and CloseProgress; the window's Cancel ends it with
// `cancelledResult` and "Request cancelled".
template <typename Work>
std::string WithProgress(const char* text, const char* cancelledResult, Work work) {
    if (ProgressWanted()) ShowProgress(text);
    ForegroundRequest foreground;
    struct Closer {
        ~Closer() { CloseProgress(); }
    } closer;
    std::string result = work();
    if (!foreground.Cancelled()) return result;
    ReplaceLastError(kRequestCancelled);
    return cancelledResult;
}

// A callback name goes inside the quotes of the GoSub line the host runs: a quote, a line break or another
// control character would end that line's label early or start a second line.
bool IsPlainLabel(const std::string& name) {
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '"') return false;
    return true;
}

const char kBadCallback[] = "Invalid callback subroutine name: it must be a plain label, without quotes or line breaks";

// Sends the prompt (and the file beside it, when given) with the running conversation, streamed when
// streaming is on with a target; the answer goes to the variable at `resultIndex`.
void SendPrompt(const Params& p, const std::string& prompt, int resultIndex, const AttachmentRef& attachment) {
    std::string streamVariable;
    bool streaming;
    {
        std::lock_guard<std::mutex> hold(SessionLock());
        streaming = g_session.settings.streaming;
        streamVariable = g_session.settings.streamVariable;
    }
    if (!streaming || streamVariable.empty()) {
        p.write(resultIndex, WithProgress("Thinking...", "", [&] { return SendChat(prompt, nullptr, attachment); }));
        return;
    }
    // The reveal runs script events and background completions: keep this call's own variable names.
    const bool hasResult = p.has(resultIndex);
    const std::string resultVariable = p.text(resultIndex);
    // A script event may let go of the library while the answer is typed.
    LibraryHeldForHostCalls held;
    StreamedReply reply = SendAndReveal(prompt, streamVariable, attachment);
    // A failed stream takes back the part it had revealed, and reports the empty answer, never an earlier one.
    if (!reply.ok && reply.revealed) SetHostVariable(streamVariable.c_str(), "");
    if (hasResult) SetHostVariable(resultVariable.c_str(), reply.ok ? reply.raw : std::string());
}

void Send(const Params& p) {
    std::string prompt = p.text(0);
    if (prompt.empty()) return Refuse(p, 1, "Prompt cannot be empty");
    SendPrompt(p, prompt, 1, nullptr);
}

// Every refusal comes before the picture is read, and the picture before anything is sent.
void SendWithImage(const Params& p) {
    const std::string path = p.text(0), prompt = p.text(1);
    if (path.empty()) return Refuse(p, 2, "Image file path cannot be empty");
    if (prompt.empty()) return Refuse(p, 2, "Prompt cannot be empty");
    if (!HaveProvider()) return Refuse(p, 2, kNoProvider);
    AttachmentRef picture = LoadAttachment(path, AttachmentKind::Image);
    if (!picture) return p.write(2, "");
    SendPrompt(p, prompt, 2, picture);
}

void SendStream(const Params& p) {
    std::string prompt = p.text(0);
    std::string variable = p.text(1);
    if (prompt.empty()) return ReplaceLastError("Prompt cannot be empty");
    if (variable.empty()) return ReplaceLastError("Result variable cannot be empty");
    if (!HaveProvider()) return ReplaceLastError(kNoProvider);
    LibraryHeldForHostCalls held;
    // A failure, or an answer with nothing to type (line breaks alone, flattened away), leaves the empty text.
    const StreamedReply reply = SendAndReveal(prompt, variable);
    if (!reply.ok || !reply.revealed) SetHostVariable(variable.c_str(), "");
}

// The prompt, path and size of both image actions; false with lastError set when one is missing.
bool ReadImageParams(const Params& p, std::string* prompt, std::string* path, std::string* size) {
    *prompt = p.text(0);
    *path = p.text(1);
    *size = p.has(2) ? p.text(2) : std::string("1024x1024");
    if (prompt->empty()) ReplaceLastError("Image prompt cannot be empty");
    else if (path->empty()) ReplaceLastError("Output file path cannot be empty");
    else return true;
    return false;
}

void ImageGen(const Params& p) {
    std::string prompt, path, size;
    if (!ReadImageParams(p, &prompt, &path, &size)) return p.write(3, "ERROR");
    SessionSettings s = CopySettings();
    std::string status = WithProgress("Generating image...", "ERROR", [&] { return GenerateImage(s, prompt, size, path); });
    p.write(3, status);
}

void SendAsync(const Params& p) {
    std::string prompt = p.text(0);
    if (prompt.empty()) return ReplaceLastError("Prompt cannot be empty");
    if (!HaveProvider()) return ReplaceLastError(kNoProvider);
    if (!IsPlainLabel(p.text(2))) return ReplaceLastError(kBadCallback);
    StartAsyncChat(prompt, p.text(1), p.text(2));
}

void ImageGenAsync(const Params& p) {
    std::string prompt, path, size;
    if (!ReadImageParams(p, &prompt, &path, &size)) return;
    if (!IsPlainLabel(p.text(4))) return ReplaceLastError(kBadCallback);
    StartAsyncImage(prompt, path, size, p.text(3), p.text(4));
}

void Embedding(const Params& p) {
    std::string text = p.text(0);
    if (text.empty()) return Refuse(p, 1, "Text to embed cannot be empty");
    if (!HaveProvider()) return Refuse(p, 1, kNoProvider);
    SessionSettings s = CopySettings();
    std::string vector = WithProgress("Generating embedding...", "", [&] { return GetEmbedding(s, text); });
    p.write(1, vector);
}

// A PDF goes as a file of its own beside the prompt, to the providers that read PDFs.
void SendPdf(const Params& p, const std::string& path, const std::string& prompt) {
    int provider;
    {
        std::lock_guard<std::mutex> hold(SessionLock());
        provider = g_session.settings.provider;
    }
    const std::string refusal = PdfRefusal(provider);
    if (!refusal.empty()) return Refuse(p, 2, refusal.c_str());
    AttachmentRef pdf = LoadAttachment(path, AttachmentKind::Pdf);
    if (!pdf) return p.write(2, "");
    std::string reply = WithProgress("Analyzing document...", "", [&] { return SendChat(prompt, nullptr, pdf); });
    p.write(2, reply);
}

void SendWithDoc(const Params& p) {
    std::string path = p.text(0), prompt = p.text(1);
    if (path.empty()) return Refuse(p, 2, "Document file path cannot be empty");
    if (!HaveProvider()) return Refuse(p, 2, kNoProvider);
    if (IsPdfPath(path)) return SendPdf(p, path, prompt);
    std::string document = LoadDocument(path);
    if (document.empty()) return p.write(2, "");
    // Each part is judged on its own: a UTF-8 document stays UTF-8 beside a question typed in the ANSI code page.
    std::string combined = ComposeDocumentPrompt(HostTextToUtf8(document), HostTextToUtf8(prompt));
    document = std::string();
    std::string reply = WithProgress("Analyzing document...", "", [&] { return SendChat(combined); });
    p.write(2, reply);
}

void Init(const Params& p) {
    bool ok = InitProvider(p.text(0), p.text(1));
    p.write(2, ok ? "OK" : "ERROR");
}

template <std::string SessionSettings::*Field>
void SetText(const Params& p) {
    if (p.has(0)) SetField([&](SessionSettings& s) { s.*Field = p.text(0); });
}

template <bool SessionSettings::*Field>
void SetTruth(const Params& p) {
    if (p.has(0)) SetField([&](SessionSettings& s) { s.*Field = ParseTruthWord(p.text(0)); });
}

// A model the script names is sent as named, never replaced by a successor.
void SetModel(const Params& p) {
    if (p.has(0)) SetField([&](SessionSettings& s) {
        s.model = p.text(0);
        s.modelChosen = true;
    });
}

void SetTemp(const Params& p) { SetNumber(p, kParlySetTemp); }
void SetMaxTokens(const Params& p) { SetNumber(p, kParlySetMaxTokens); }
void SetTimeout(const Params& p) { SetNumber(p, kParlySetTimeout); }

void Reset(const Params&) {
    std::lock_guard<std::mutex> hold(SessionLock());
    ClearHistoryLocked();
    g_session.lastError.clear();
}

void GetError(const Params& p) { p.write(0, ReadLastError()); }
void GetModels(const Params& p) { p.write(0, ListModels()); }
void Cancel(const Params&) { RequestCancel(); }
void Busy(const Params& p) { p.write(0, IsBusy() ? "True" : "False"); }

void SetStreaming(const Params& p) {
    if (p.has(0)) SetField([&](SessionSettings& s) { s.streaming = ParseTruthWord(p.text(0)); });
    if (p.has(1)) SetField([&](SessionSettings& s) { s.streamVariable = p.text(1); });
}

void StopStream(const Params&) { AskStopStream(); }
void ClearHistoryOnly(const Params&) { ClearHistory(); }

const DispatchEntry kHandlers[] = {
    {kParlyInit, Init},
    {kParlySetEndpoint, SetText<&SessionSettings::endpoint>},
    {kParlySetModel, SetModel},
    {kParlySetSystem, SetText<&SessionSettings::systemPrompt>},
    {kParlySetTemp, SetTemp},
    {kParlySetMaxTokens, SetMaxTokens},
    {kParlySetMultiline, SetTruth<&SessionSettings::multiline>},
    {kParlySend, Send},
    {kParlyReset, Reset},
    {kParlyGetError, GetError},
    {kParlyGetModels, GetModels},
    {kParlySetTimeout, SetTimeout},
    {kParlyImageGen, ImageGen},
    {kParlySendAsync, SendAsync},
    {kParlyImageGenAsync, ImageGenAsync},
    {kParlyCancel, Cancel},
    {kParlyIsBusy, Busy},
    {kParlySetProgress, SetTruth<&SessionSettings::showProgress>},
    {kParlySetStreaming, SetStreaming},
    {kParlySendStream, SendStream},
    {kParlyStopStream, StopStream},
    {kParlyClearHistory, ClearHistoryOnly},
    {kParlyGetEmbedding, Embedding},
    {kParlySendWithDoc, SendWithDoc},
    {kParlySendWithImage, SendWithImage},
    {kParlyGetUsage, RunGetUsage},
    {kParlySaveHistory, RunSaveHistory},
    {kParlyLoadHistory, RunLoadHistory},
};

}  // namespace

const DispatchEntry* DispatchTable(size_t* count) {
    *count = sizeof(kHandlers) / sizeof(kHandlers[0]);
    return kHandlers;
}

void ExecuteAction(int actionId, char** params) {
    const ActionEntry* entry = FindAction(actionId);
    if (!entry) return;
    for (const DispatchEntry& h : kHandlers)
        if (h.id == actionId) return h.run(Params{params, entry->count});
}
