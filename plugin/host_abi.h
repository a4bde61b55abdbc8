// The host's plug-in interface: callback and entry-point types and the host's named codes.
// Shared by the plug-in and by every program that plays the host (parly-host, tests, screenshots).
#pragma once
#include <windows.h>

// Callbacks the host hands to the plug-in.
typedef void(__stdcall* RegisterActionFn)(int id, const char* name, const char* hint, const unsigned char* kinds,
                                          int count, int count2);
typedef void(__stdcall* SetVariableFn)(const char* name, const char* value);
typedef void(__stdcall* RunScriptFn)(const char* line);
typedef unsigned char(__stdcall* InterfaceAccessFn)(int code, char** slot);

// The plug-in's eight exports, as the host calls them (export names carry a leading underscore).
typedef void(__stdcall* NbInitPlugInFn)(HWND window, char** namePtr, char** makerPtr, char** descriptionPtr);
typedef void(__stdcall* NbRegisterPlugInFn)(RegisterActionFn registerAction, void*, void*, SetVariableFn setVariable);
typedef BOOL(__stdcall* NbEditActionFn)(int actionId, char** params);
typedef BOOL(__stdcall* NbExecActionFn)(int actionId, char** params);
typedef void(__stdcall* NbMessageFn)(int code, int param);
typedef void(__stdcall* NbAboutFn)();
typedef void(__stdcall* NbRegisterScriptProcessorFn)(RunScriptFn runScript);
typedef void(__stdcall* NbRegisterInterfaceAccessFn)(InterfaceAccessFn interfaceAccess);

// nbMessage code: the host is about to unload the plug-in.
constexpr int kHostMessageUnload = 2;
// Interface-access code: let the author pick a variable; its name comes back in the slot.
constexpr int kInterfacePickVariable = 14;
// Room the host gives the picker's slot, terminating zero included.
constexpr int kPickVariableSlotSize = 256;
