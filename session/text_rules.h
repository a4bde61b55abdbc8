// Reading truth words and numbers from script parameters. Pure.
#pragma once
#include <string>

// True for "true", "1" or "yes" after lower-casing A-Z; anything else is false.
bool ParseTruthWord(const std::string& text);
// Leading number of text like the standard text-to-double conversion, in the "C" format whatever the locale; false when none or out of range.
bool ParseLeadingDouble(const std::string& text, double* out);
// Leading base-10 32-bit integer like the standard text-to-int conversion; false when none or out of range.
bool ParseLeadingInt(const std::string& text, int* out);
