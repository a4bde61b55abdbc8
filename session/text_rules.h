// Reading truth words and numbers from script parameters. Pure.
#pragma once
#include <string>

// True for "true", "1" or "yes" after lower-casing A-Z; anything else is false.
bool ParseTruthWord(const std::string& text);
// Leading number of text like the standard text-to-double conversion, in the "C" format whatever the locale; false when none or out of range.
bool ParseLeadingDouble(const std::string& text, double* out);
// Leading base-10 32-bit integer like the standard text-to-int conversion; false when none or out of range.
bool ParseLeadingInt(const std::string& text, int* out);

// The word-by-word reveal: each write is the text so far up to the next space. The text may still be arriving:
// a piece is taken only once the space after it is there, or the text is complete, so the writes are the same
// whether the text came whole or in pieces.
struct RevealCursor {
    std::string acc;  // what the variable holds after the last write
    size_t pos = 0;   // where the next piece starts in the text
    // Moves to the next write (then in `acc`); false when none is ready yet, or all were made.
    bool Next(const std::string& text, bool complete);
};
