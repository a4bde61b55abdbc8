// The idle loop of a program that plays the host: timers and background completions run only while it pumps.
#pragma once
#include <windows.h>

// Waits up to waitMs for a message to arrive, then dispatches every waiting one.
inline void PumpHostMessages(DWORD waitMs) {
    if (waitMs) MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Pumps until done() or ms milliseconds have passed, looking at done() every `slice` ms; true when done() came true.
template <typename Done>
bool PumpHostMessagesUntil(Done done, DWORD ms, DWORD slice = 20) {
    const DWORD start = GetTickCount();
    for (;;) {
        PumpHostMessages(0);
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        PumpHostMessages(ms - elapsed < slice ? ms - elapsed : slice);
        if (done()) return true;
    }
}
