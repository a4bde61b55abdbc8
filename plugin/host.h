// The host's callbacks and window, kept process-wide once the host hands them over.
#pragma once
#include <windows.h>

#include <string>

#include "plugin/host_abi.h"

extern HINSTANCE moduleInstance;
extern HWND hostWindow;
extern RegisterActionFn HostRegisterAction;
extern SetVariableFn HostSetVariable;
extern RunScriptFn HostRunScript;
extern InterfaceAccessFn HostInterfaceAccess;

// Writes a host variable; only on the host's thread, and only when the host registered the callback.
void SetHostVariable(const char* name, const std::string& value);

// Puts text into a host-owned slot: reuses a process-heap block (exact length + 1, zero-filled) or allocates one; null on failure.
void StoreHostText(char** slot, const std::string& text);
