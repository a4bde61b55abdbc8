#include "plugin/host.h"

HINSTANCE moduleInstance = nullptr;
HWND hostWindow = nullptr;
RegisterActionFn HostRegisterAction = nullptr;
SetVariableFn HostSetVariable = nullptr;
RunScriptFn HostRunScript = nullptr;
InterfaceAccessFn HostInterfaceAccess = nullptr;

void SetHostVariable(const char* name, const std::string& value) {
    if (HostSetVariable && name) HostSetVariable(name, value.c_str());
}

void StoreHostText(char** slot, const std::string& text) {
    if (!slot) return;
    HANDLE heap = GetProcessHeap();
    SIZE_T size = text.size() + 1;
    void* block = nullptr;
    // Only a block the default heap owns may be resized; anything else is left to its owner.
    if (*slot && HeapValidate(heap, 0, *slot))
        block = HeapReAlloc(heap, HEAP_ZERO_MEMORY, *slot, size);
    else
        block = HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
    if (!block) {
        *slot = nullptr;
        return;
    }
    // HeapReAlloc zero-fills only growth, so clear the whole block before the copy.
    ZeroMemory(block, size);
    CopyMemory(block, text.data(), text.size());
    *slot = static_cast<char*>(block);
}
