// The eight entry points the host calls, and the library's entry routine.
#include <exception>

#include "async/runner.h"
#include "editor/editor.h"
#include "plugin/catalogue.h"
#include "plugin/host.h"
#include "plugin/lifecycle.h"
#include "session/dispatcher.h"
#include "session/settings.h"

namespace {

const char kPluginName[] = "Parly Plugin";
const char kMakerLine[] = "Parly Plugin project";
const char kDescription[] =
    "Multi-provider Parly integration: OpenAI, Claude, Google Gemini, Ollama, OpenRouter, Groq, and Grok (xAI). "
    "Send prompts, receive AI responses, and generate AI images.";

// Runs one entry point's work so that no C++ exception ever reaches the host.
template <typename Fn>
BOOL Guarded(Fn&& fn, BOOL onException) {
    try {
        return fn();
    } catch (const std::exception& e) {
        try {
            ReplaceLastError(std::string("Exception: ") + e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            ReplaceLastError("Exception: unknown");
        } catch (...) {
        }
    }
    return onException;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    moduleInstance = instance;
    // Nothing else under the loader lock: no threads, no windows.
    if (reason == DLL_PROCESS_ATTACH) ApplyLoadDefaults();
    // Unloaded (or the process ending) without message 2: nothing of ours may outlive the library.
    if (reason == DLL_PROCESS_DETACH) ReleaseAsyncOnDetach(reserved != nullptr);
    return TRUE;
}

void __stdcall nbInitPlugIn(HWND window, char** namePtr, char** makerPtr, char** descriptionPtr) {
    Guarded([&] {
        hostWindow = window;
        BeginHostSession();
        StoreHostText(namePtr, kPluginName);
        StoreHostText(makerPtr, kMakerLine);
        StoreHostText(descriptionPtr, kDescription);
        return TRUE;
    }, TRUE);
}

void __stdcall nbRegisterPlugIn(RegisterActionFn registerAction, void*, void*,
                                                      SetVariableFn setVariable) {
    Guarded([&] {
        HostSetVariable = setVariable;
        HostRegisterAction = registerAction;
        if (!HostRegisterAction) return TRUE;
        for (size_t i = 0; i < kCatalogueSize; ++i) {
            const ActionEntry& e = kCatalogue[i];
            HostRegisterAction(e.id, e.name, e.hint, e.kinds, e.count, e.count);
        }
        return TRUE;
    }, TRUE);
}

BOOL __stdcall nbEditAction(int actionId, char** params) {
    return Guarded([&] { return EditAction(actionId, params) ? TRUE : FALSE; }, FALSE);
}

BOOL __stdcall nbExecAction(int actionId, char** params) {
    Guarded([&] {
        ExecuteAction(actionId, params);
        return TRUE;
    }, TRUE);
    return TRUE;
}

void __stdcall nbMessage(int code, int) {
    Guarded([&] {
        HandleHostMessage(code);
        return TRUE;
    }, TRUE);
}

void __stdcall nbAbout() {
    Guarded([] {
        ShowAboutBox();
        return TRUE;
    }, TRUE);
}

void __stdcall nbRegisterScriptProcessor(RunScriptFn runScript) {
    HostRunScript = runScript;
}

void __stdcall nbRegisterInterfaceAccess(InterfaceAccessFn interfaceAccess) {
    HostInterfaceAccess = interfaceAccess;
}

}  // extern "C"
