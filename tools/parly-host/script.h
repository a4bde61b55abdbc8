// The host-style script language of parly-host: one command per line, quoted arguments.
#pragma once
#include <map>
#include <string>
#include <vector>

struct ScriptLine {
    int number = 0;          // 1-based line in the file
    std::string command;     // first word; ":Name" lines are labels
    std::vector<std::string> args;
};

// Splits one line into command and arguments; false with `error` on an unterminated quote or bad escape.
bool ParseScriptLine(const std::string& text, int number, ScriptLine* out, std::string* error);
// Replaces each "[Name]" whose variable "[Name]" exists by its value; other text stays.
std::string SubstituteVariables(const std::string& text, const std::map<std::string, std::string>& vars);
