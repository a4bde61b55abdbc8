// What the host's notifications do to the plug-in's process-wide state.
#pragma once

// Host message: only code 2 (unload) acts: background work stopped, history cleared, provider none.
void HandleHostMessage(int code);
