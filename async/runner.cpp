#include "async/runner.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "async/progress.h"
#include "async/stream_reveal.h"
#include "features/media.h"
#include "net/http.h"
#include "net/win_holders.h"
#include "plugin/host.h"
#include "plugin/lifecycle.h"
#include "providers/registry.h"
#include "session/settings.h"

namespace {

constexpr UINT_PTR kTimerId = 9999;
constexpr UINT kTimerIntervalMs = 100;
constexpr wchar_t kTimerClass[] = L"ParlyPluginAsyncTimer";
// Posted to the timer window when a result is stored, so delivery need not wait for the next tick.
constexpr UINT kWakeMessage = WM_APP + 1;
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
    // The worker's own copy of the settings (and, for a chat, the history), taken when the job starts.
    SessionSettings settings;
    ConversationHistory history;
    // When the worker stored its result, to measure how long delivery takes.
    std::chrono::steady_clock::time_point storedAt;
    // Counts starts and unloads: a worker whose generation has passed records nothing.
    unsigned generation = 0;
    // The conversation the job's request belongs to (see ConversationLocked).
    unsigned conversation = 0;
};

AsyncJob g_job;
// The window a stored result wakes; null while there is none (read by the worker, so atomic).
std::atomic<HWND> g_wakeWindow{nullptr};
// Only the timer delivers (the benchmark's figure of the old way).
std::atomic<bool> g_pollingOnly{false};
// The generation the worker on this thread was started with.
thread_local unsigned t_workerGeneration = 0;
std::atomic<int> g_insideOurWindows{0};
double g_lastDeliveryDelayMs = 0;
// The worker as a plain thread handle: nothing about it can end the process when the library goes away.
HANDLE g_worker = nullptr;
HWND g_timerWindow = nullptr;
bool g_timerActive = false;

// Waits for the last worker to end and forgets it (host's thread, never while the host has let go of us).
void JoinWorker() {
    if (!g_worker) return;
    WaitForSingleObject(g_worker, INFINITE);
    CloseHandle(g_worker);
    g_worker = nullptr;
}

// Records a worker's outcome; the caller holds the job lock.
void StoreLocked(const std::string& result, bool succeeded) {
    g_job.result = result;
    g_job.succeeded = succeeded;
    g_job.resultReady = true;
    g_job.busy = false;
    g_job.storedAt = std::chrono::steady_clock::now();
    g_job.finished.notify_all();
    HWND wake = g_wakeWindow.load();
    if (wake && !g_pollingOnly.load()) PostMessageW(wake, kWakeMessage, 0, 0);
}

// The worker's cancel check: its job was cancelled, replaced or left behind at unload.
bool WorkerJobPassed() {
    std::lock_guard<std::mutex> hold(g_job.lock);
    return t_workerGeneration != g_job.generation;
}

// What a worker needs from the record, copied under the lock when it starts.
struct JobInputs {
    unsigned conversation = 0;
    std::string prompt, outputPath, imageSize;
    SessionSettings settings;
    ConversationHistory history;
};

// Copies the inputs; false when the job was abandoned, or when a cancel came first
// (then with `cancelledResult` stored as the outcome).
bool TakeInputs(unsigned generation, JobInputs* in, const char* cancelledResult) {
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (generation != g_job.generation) return false;
    if (g_job.cancelRequested) {
        StoreLocked(cancelledResult, false);
        return false;
    }
    // The one worker of this job takes the history over rather than holding a second copy.
    *in = JobInputs{g_job.conversation, g_job.prompt,   g_job.outputPath,
                    g_job.imageSize,    g_job.settings, std::move(g_job.history)};
    return true;
}

void ChatJob(unsigned generation) {
    JobInputs in;
    if (!TakeInputs(generation, &in, "")) return;
    ChatOutcome outcome = RunChat(in.settings, in.history, in.prompt);
    ReleaseIdleCourier();  // so that nothing of ours but this thread still holds the library once it ends
    // Only the current job reports; its exchange joins the history only if its conversation is still going.
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (generation != g_job.generation) return;
    std::string answer = CommitChat(outcome, in.prompt, in.settings.multiline, in.conversation);
    StoreLocked(answer, !answer.empty());
}

void ImageJob(unsigned generation) {
    JobInputs in;
    if (!TakeInputs(generation, &in, "ERROR")) return;
    std::string bytes;
    // Nobody pays for an image that could not be saved; the failure comes back as every other one does.
    std::string failure = CheckOutputFolder(in.outputPath);
    bool fetched = failure.empty() && FetchImage(in.settings, in.prompt, in.imageSize, &bytes, &failure);
    ReleaseIdleCourier();
    // An abandoned job writes no file and leaves lastError to whoever came after; the lock keeps unload out meanwhile.
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (generation != g_job.generation) return;
    if (fetched) failure = WriteImageFile(in.outputPath, bytes);
    if (!failure.empty()) ReplaceLastError(failure);
    StoreLocked(failure.empty() ? "OK" : "ERROR", failure.empty());
}

// A worker that threw: the current job fails with the exception's text, delivered as usual.
void StoreFailure(unsigned generation, const char* what) noexcept {
    try {
        std::lock_guard<std::mutex> hold(g_job.lock);
        if (generation != g_job.generation) return;
        try {
            ReplaceLastError(std::string("Exception: ") + what);
        } catch (...) {
        }
        StoreLocked(g_job.kind == kImageJob ? "ERROR" : "", false);
    } catch (...) {
    }
}

template <void (*Body)(unsigned)>
DWORD WINAPI WorkerMain(LPVOID param) {
    const unsigned generation = static_cast<unsigned>(reinterpret_cast<UINT_PTR>(param));
    // A cancel ends the wait for the exchange at once; the exchange is left to finish on its own.
    t_workerGeneration = generation;
    SetHttpCancelCheck(WorkerJobPassed);
    try {
        Body(generation);
    } catch (const std::exception& e) {
        StoreFailure(generation, e.what());
    } catch (...) {
        StoreFailure(generation, "unknown");
    }
    // The reference taken at the start kept our code mapped even if the host let go of the library meanwhile.
    FreeLibraryAndExitThread(moduleInstance, 0);
}

void StopTimer() {
    if (g_timerWindow && g_timerActive) KillTimer(g_timerWindow, kTimerId);
    g_timerActive = false;
}

// How long a delivery waits, at most, for the finished worker and idle exchange threads to let go of the library.
constexpr DWORD kSettleMs = 50;

// True once no thread of ours holds the library except exchanges abandoned at their deadline. Only then does the
// library being still mapped prove that the host holds it: had the host let go, the last of our threads to end
// would have unloaded it, and the unload takes the timer window with it.
bool HostStillHoldsUs() {
    const ULONGLONG until = GetTickCount64() + kSettleMs;
    if (g_worker && WaitForSingleObject(g_worker, kSettleMs) != WAIT_OBJECT_0) return false;
    // A streamed send's reveal holds the library and its courier runs, so mapping proves nothing then; but the host's
    // thread is inside the host's own call to that action, which is waiting for it to return.
    if (RevealRunning()) return true;
    ReleaseIdleCourier();
    // A courier that was told to leave ends within a millisecond or two: yield rather than sleep a whole tick.
    while (!CouriersSettled()) {
        if (GetTickCount64() >= until) return false;
        if (!SwitchToThread()) Sleep(0);
    }
    return true;
}

void DeliverCompletion() {
    {
        std::lock_guard<std::mutex> hold(g_job.lock);
        if (!g_job.resultReady) return;
    }
    // Not yet decidable: the next tick asks again.
    if (!HostStillHoldsUs()) return;
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
    LibraryHeldForHostCalls held;
    StopTimer();
    CloseProgress();
    // The worker has stored its result and is ending; the next start or unload waits for it.
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
    if ((message == WM_TIMER && wParam == kTimerId) || message == kWakeMessage) {
        InsideOurWindow inside;
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
        g_wakeWindow = g_timerWindow;
    }
    if (SetTimer(g_timerWindow, kTimerId, kTimerIntervalMs, nullptr)) g_timerActive = true;
}

// Fills the job record for a new start; the caller has joined any earlier worker.
template <typename Fill>
unsigned BeginJob(int kind, Fill fill) {
    unsigned conversation = 0;
    ConversationHistory history;
    SessionSettings settings = CopySettings(kind == kChatJob ? &history : nullptr, &conversation);
    std::lock_guard<std::mutex> hold(g_job.lock);
    g_job.busy = true;
    g_job.cancelRequested = false;
    ++g_job.generation;
    g_job.conversation = conversation;
    g_job.kind = kind;
    g_job.result.clear();
    g_job.resultReady = false;
    g_job.succeeded = false;
    g_job.settings = std::move(settings);
    g_job.history = std::move(history);
    fill(g_job);
    return g_job.generation;
}

// Starts the worker with its own reference on the library, so it can finish even after an unload.
bool StartWorker(LPTHREAD_START_ROUTINE worker, unsigned generation) {
    HMODULE self = nullptr;
    g_worker = StartThreadHoldingLibrary(worker, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(generation)), &self);
    return g_worker != nullptr;
}

void Launch(const char* progressText, LPTHREAD_START_ROUTINE worker, unsigned generation) {
    if (ProgressWanted()) ShowProgress(progressText);
    StartTimer();
    if (!StartWorker(worker, generation)) {
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

// Gives a window of ours that another thread owns the system's procedure, which then closes it on that thread.
void Neutralise(HWND window) {
    if (!window || !IsWindow(window)) return;
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        DestroyWindow(window);
        return;
    }
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcW));
    PostMessageW(window, WM_CLOSE, 0, 0);
}

}  // namespace

double LastDeliveryDelayMs() { return g_lastDeliveryDelayMs; }

void StartAsyncChat(const std::string& prompt, const std::string& resultVar, const std::string& callbackSub) {
    JoinWorker();
    unsigned generation = BeginJob(kChatJob, [&](AsyncJob& job) {
        job.prompt = prompt;
        job.resultVar = resultVar;
        job.callbackSub = callbackSub;
    });
    Launch("Thinking...", WorkerMain<ChatJob>, generation);
}

void StartAsyncImage(const std::string& prompt, const std::string& outputPath, const std::string& imageSize,
                     const std::string& statusVar, const std::string& callbackSub) {
    JoinWorker();
    unsigned generation = BeginJob(kImageJob, [&](AsyncJob& job) {
        job.prompt = prompt;
        job.outputPath = outputPath;
        job.imageSize = imageSize;
        job.statusVar = statusVar;
        job.callbackSub = callbackSub;
    });
    Launch("Generating image...", WorkerMain<ImageJob>, generation);
}

void RequestCancel() {
    std::lock_guard<std::mutex> hold(g_job.lock);
    if (!g_job.busy) return;
    g_job.cancelRequested = true;
    // The job ends now: its worker records nothing from here on and leaves its exchange behind, as at a deadline.
    ++g_job.generation;
    ReplaceLastError(kRequestCancelled);
    StoreLocked(g_job.kind == kImageJob ? "ERROR" : "", false);
}

void DeliverByPollingOnly(bool polling) { g_pollingOnly = polling; }

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
    if (g_worker) {
        std::unique_lock<std::mutex> hold(g_job.lock);
        bool done = g_job.finished.wait_for(hold, kUnloadGrace, [] { return !g_job.busy; });
        if (done) {
            hold.unlock();
            JoinWorker();
        } else {
            // The request is still out: its own reference keeps our code mapped, and it ends on its own, recording nothing.
            ++g_job.generation;
            g_job.busy = false;
            hold.unlock();
            CloseHandle(g_worker);
            g_worker = nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> hold(g_job.lock);
        g_job.resultReady = false;
        g_job.kind = kNoJob;
    }
    if (g_timerWindow) {
        g_wakeWindow = nullptr;
        DestroyWindow(g_timerWindow);
        g_timerWindow = nullptr;
        // A DLL's window classes outlive it unless unregistered; a later load would find a stale procedure.
        UnregisterClassW(kTimerClass, moduleInstance);
    }
}

InsideOurWindow::InsideOurWindow() { ++g_insideOurWindows; }
InsideOurWindow::~InsideOurWindow() { --g_insideOurWindows; }

void ReleaseAsyncOnDetach(bool processExit) {
    // At process exit the other threads are gone already and windows go with the process.
    if (processExit) return;
    if (g_worker) {
        CloseHandle(g_worker);
        g_worker = nullptr;
    }
    HWND timer = g_timerWindow;
    g_timerWindow = nullptr;
    g_wakeWindow = nullptr;
    g_timerActive = false;
    Neutralise(timer);
    Neutralise(TakeProgressWindow());
    // A delivery already running on the host's thread finishes before our code goes (bounded: it may need the loader lock).
    for (int waited = 0; g_insideOurWindows.load() > 0 && waited < 2000; ++waited) Sleep(1);
}
