// ParlyGetUsage, ParlySaveHistory and ParlyLoadHistory: the dispatcher's handlers for them.
// Each has the dispatcher's handler shape, void Run...(const Params& p), and reads p as the catalogue declares:
//   RunGetUsage(p):     p[0] input-tokens variable, p[1] output-tokens variable, p[2] stop-reason variable
//   RunSaveHistory(p):  p[0] file, p[1] status variable ("OK" or "ERROR")
//   RunLoadHistory(p):  p[0] file, p[1] status variable ("OK" or "ERROR")
#pragma once

#include "session/dispatcher.h"

// Writes the last successful exchange's token counts and stop reason into the variables given.
void RunGetUsage(const Params& p);
// Saves the system prompt and the conversation to the file, replacing it whole or not at all.
void RunSaveHistory(const Params& p);
// Replaces the system prompt and the conversation with the file's; a file that cannot be read changes nothing.
void RunLoadHistory(const Params& p);
