// Design-time editing of one placed action, and the about box.
#pragma once

// Runs the action's dialog; true when confirmed (slots rewritten), false when cancelled.
bool EditAction(int actionId, char** params);
void ShowAboutBox();
