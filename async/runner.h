// The single background job: a worker thread and a timer window that delivers on the host's thread.
#pragma once
#include <string>

void StartAsyncChat(const std::string& prompt, const std::string& resultVar, const std::string& callbackSub);
void StartAsyncImage(const std::string& prompt, const std::string& outputPath, const std::string& imageSize,
                     const std::string& statusVar, const std::string& callbackSub);
// Ends the running job at once: the empty text (images: ERROR) and "Request cancelled" are delivered as a failure,
// and nothing its server sends later is recorded.
void RequestCancel();
// True: only the timer delivers, as before results woke the host's thread (for the benchmark's side-by-side figure).
void DeliverByPollingOnly(bool polling);
bool IsBusy();
// Stops the background work for unload: cancel, stop the timer, join the worker, destroy the window.
void ShutdownAsync();
// The library is being detached without message 2: let go of the worker and of our windows so nothing calls into unmapped code.
void ReleaseAsyncOnDetach(bool processExit);
// Marks the host's thread as running inside one of our window procedures, so a detach on another thread waits for it.
struct InsideOurWindow {
    InsideOurWindow();
    ~InsideOurWindow();
};
// Milliseconds between the worker storing the last delivered result and its variable write.
double LastDeliveryDelayMs();
