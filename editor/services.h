// What the edit dialogs call on: help texts, the host's variable picker, the connection test.
#pragma once
#include <windows.h>

struct HelpEntry {
    const char* title;
    const char* text;  // "\n" breaks lines
};

// The help panel's title and text for an edit dialog; "Parly Action" and no text for any other id.
HelpEntry HelpFor(int dialogId);

// Offers the edit's variable name (without brackets) to the host's picker and puts the choice back in brackets.
void PickVariable(HWND edit);

// Tries the provider and key typed in the Init dialog with one short prompt; the session is left as it was.
void TestConnection(HWND dialog);

constexpr char kTestPrompt[] = "Say hello in exactly 5 words.";
