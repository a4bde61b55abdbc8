#include "async/runner.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "async/progress.h"
#include "features/media.h"
#include "plugin/host.h"
#include "providers/registry.h"
#include "session/settings.h"

namespace {

constexpr UINT_PTR kTimerId = 9999;
constexpr UINT kTimerIntervalMs = 100;
constexpr wchar_t kTimerClass[] = L"ParlyPluginAsyncTimer";
// How long unload waits for a running request before leaving it to finish on its own.
constexpr auto kUnloadGrace = std::chrono::milliseconds(200);

enum JobKind { kNoJob = 0, kChatJob = 1, kImageJob = 2 };

struct AsyncJob {
    std::mutex lock;
    std::condition_variable finished;
    bool busy = false;
    bool cancelRequested = false;
    int kind = kNoJob;
    std::string prompt;
    std::string resultVar;
    std::string callbackSub;
    std::string outputPath;
    std::string imageSize;
    std::string statusVar;
    std::string result;
    bool resultReady = false;
    bool succeeded = false;
    // The worker's own copy of the settings, taken when the job starts.
    SessionSettings settings;
    // When the worker stored its result, to measure how long delivery takes.
    std::chrono::steady_clock::time_point storedAt;
    // Counts starts and unloads: a worker whose generation has passed records nothing.
    unsigned generation = 0;
};

AsyncJob g_job;
double g_lastDeliveryDelayMs = 0;
std::thread g_worker;
HWND g_timerWindow = nullptr;
bool g_timerActive = false;

// Records a worker's outcome; the caller holds the job lock.
void StoreLocked(const std::string& result, bool succeeded) {
    g_job.result = result;
    g_job.succeeded = succeeded;
    g_job.resultReady = true;
    g_job.busy = false;
    g_job.storedAt = std::chrono::steady_clock::now();
    g_job.finished.notify_all();
}

// What a worker needs from the record, copied under the lock when it starts.
struct JobInputs {
    unsigned generation = 0;
    std::string prompt, outputPath, imageSize;
    SessionSettings settings;
};

// Copies the inputs; false when a cancel came first, with `cancelledResult` stored as the outcome.
bool TakeInputs(JobInputs* in, const char* cancelledResult) {
    std::lock_guard<std::mutex> hold(g_job.lock);
    *in = JobInputs{g_job.generation, g_job.prompt, g_job.outputPath, g_job.imageSize, g_job.settings};
    if (!g_job.cancelRequested) return true;
    StoreLocked(cancelledResult, false);
    return false;
}

void ChatWorker() {
    JobInputs in;
    if (!TakeInputs(&in, "")) return;
    ChatOutcome outcome;
    try {
        outcome = RunChat(in.settings, in.prompt);
    } catch (const std::exception& e) {
        outcome = ChatOutcome{false, "", std::string("Exception: ") + e.what()};
    }
    // The exchange is recorded in the session only while this job is still the current one.
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (in.generation != g_job.generation) return;
    std::string answer = CommitChat(outcome, in.prompt, in.settings.multiline);
    StoreLocked(answer, !answer.empty());
}

void ImageWorker() {
    JobInputs in;
    if (!TakeInputs(&in, "ERROR")) return;
    std::string status;
    try {
        status = GenerateImage(in.settings, in.prompt, in.imageSize, in.outputPath);
    } catch (const std::exception& e) {
        ReplaceLastError(std::string("Exception: ") + e.what());
        status = "ERROR";
    }
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (in.generation == g_job.generation) StoreLocked(status, status == "OK");
}

void StopTimer() {
    if (g_timerWindow && g_timerActive) KillTimer(g_timerWindow, kTimerId);
    g_timerActive = false;
}

void DeliverCompletion() {
    int kind;
    std::string resultVar, statusVar, callbackSub, result;
    bool succeeded;
    std::chrono::steady_clock::time_point storedAt;
    {
        std::lock_guard<std::mutex> hold(g_job.lock);
        if (!g_job.resultReady) return;
        kind = g_job.kind;
        resultVar = g_job.resultVar;
        statusVar = g_job.statusVar;
        callbackSub = g_job.callbackSub;
        result = g_job.result;
        succeeded = g_job.succeeded;
        storedAt = g_job.storedAt;
        g_job.resultReady = false;
        g_job.kind = kNoJob;
    }
    StopTimer();
    CloseProgress();
    if (g_worker.joinable()) g_worker.join();
    if (kind == kChatJob && !resultVar.empty()) SetHostVariable(resultVar.c_str(), result);
    if (kind == kImageJob && !statusVar.empty()) SetHostVariable(statusVar.c_str(), result);
    g_lastDeliveryDelayMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - storedAt).count();
    if (!succeeded) {
        std::lock_guard<std::mutex> hold(SessionLock());
        if (g_session.lastError.empty()) g_session.lastError = "Request cancelled or failed";
    }
    if (!callbackSub.empty() && HostRunScript) {
        std::string line = "GoSub \"" + callbackSub + "\"";
        HostRunScript(line.c_str());
    }
}

LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
        try {
            DeliverCompletion();
        } catch (const std::exception& e) {
            ReplaceLastError(std::string("Exception: ") + e.what());
        } catch (...) {
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void StartTimer() {
    if (g_timerActive) return;
    if (!g_timerWindow) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = TimerWindowProc;
        wc.hInstance = moduleInstance;
        wc.lpszClassName = kTimerClass;
        RegisterClassW(&wc);  // an earlier registration of ours is fine
        g_timerWindow = CreateWindowExW(0, kTimerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, moduleInstance,
                                        nullptr);
        if (!g_timerWindow) return;
    }
    if (SetTimer(g_timerWindow, kTimerId, kTimerIntervalMs, nullptr)) g_timerActive = true;
}

// Fills the job record for a new start; the caller has joined any earlier worker.
template <typename Fill>
void BeginJob(int kind, Fill fill) {
    SessionSettings settings = SnapshotSettings(true);
    std::lock_guard<std::mutex> hold(g_job.lock);
    g_job.busy = true;
    g_job.cancelRequested = false;
    ++g_job.generation;
    g_job.kind = kind;
    g_job.result.clear();
    g_job.resultReady = false;
    g_job.succeeded = false;
    g_job.settings = std::move(settings);
    fill(g_job);
}

void Launch(const char* progressText, void (*worker)()) {
    if (ProgressWanted()) ShowProgress(progressText);
    StartTimer();
    try {
        g_worker = std::thread(worker);
    } catch (const std::exception&) {
        // No worker: nothing will ever be delivered, so undo what the start set up.
        {
            std::lock_guard<std::mutex> hold(g_job.lock);
            g_job.busy = false;
            g_job.kind = kNoJob;
        }
        StopTimer();
        CloseProgress();
        ReplaceLastError("Failed to start background request");
    }
}

}  // namespace

double LastDeliveryDelayMs() { return g_lastDeliveryDelayMs; }

void StartAsyncChat(const std::string& prompt, const std::string& resultVar, const std::string& callbackSub) {
    if (g_worker.joinable()) g_worker.join();
    BeginJob(kChatJob, [&](AsyncJob& job) {
        job.prompt = prompt;
        job.resultVar = resultVar;
        job.callbackSub = callbackSub;
    });
    Launch("Thinking...", ChatWorker);
}

void StartAsyncImage(const std::string& prompt, const std::string& outputPath, const std::string& imageSize,
                     const std::string& statusVar, const std::string& callbackSub) {
    if (g_worker.joinable()) g_worker.join();
    BeginJob(kImageJob, [&](AsyncJob& job) {
        job.prompt = prompt;
        job.outputPath = outputPath;
        job.imageSize = imageSize;
        job.statusVar = statusVar;
        job.callbackSub = callbackSub;
    });
    Launch("Generating image...", ImageWorker);
}

void RequestCancel() {
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (g_job.busy) g_job.cancelRequested = true;
}

bool IsBusy() {
    std::lock_guard<std::mutex> hold(g_job.lock);
    return g_job.busy;
}

void ShutdownAsync() {
    {
        std::lock_guard<std::mutex> hold(g_job.lock);
        if (g_job.busy) g_job.cancelRequested = true;
    }
    StopTimer();
    // Our dialog procedure must not outlive the library.
    CloseProgress();
    if (g_worker.joinable()) {
        std::unique_lock<std::mutex> hold(g_job.lock);
        bool done = g_job.finished.wait_for(hold, kUnloadGrace, [] { return !g_job.busy; });
        if (done) {
            hold.unlock();
            g_worker.join();
        } else {
            // The request is still out: keep our code mapped for it and let it end on its own, recording nothing.
            ++g_job.generation;
            g_job.busy = false;
            hold.unlock();
            HMODULE self = nullptr;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<LPCWSTR>(&ShutdownAsync), &self);
            g_worker.detach();
        }
    }
    {
        std::lock_guard<std::mutex> hold(g_job.lock);
        g_job.resultReady = false;
        g_job.kind = kNoJob;
    }
    if (g_timerWindow) {
        DestroyWindow(g_timerWindow);
        g_timerWindow = nullptr;
        // A DLL's window classes outlive it unless unregistered; a later load would find a stale procedure.
        UnregisterClassW(kTimerClass, moduleInstance);
    }
}
