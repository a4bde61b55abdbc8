// The host-style script language of parly-host: one command per line, quoted arguments.
// Quoted texts are taken literally (a backslash is an ordinary character, so Windows paths
// stay as written); characters that can't be typed inside quotes are written "[#N]" (byte N).
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ScriptLine {
    int number = 0;          // 1-based line in the file
    std::string command;     // first word; ":Name" lines are labels; empty for blank and comment lines
    std::vector<std::string> args;
};

// What the checker needs to know of one registered action.
struct ActionShape {
    int count = 0;           // parameters it takes
};

struct ScriptFault {
    int line;
    std::string text;
};

// Splits one line into command and arguments; false with `error` on an unterminated quote or a
// text glued to a closing quote. A word starting with ";" ends the line as a comment.
bool ParseScriptLine(const std::string& text, int number, ScriptLine* out, std::string* error);
// Replaces each "[Name]" whose variable exists by its value and each "[#N]" (1..255) by byte N; other text stays.
std::string SubstituteVariables(const std::string& text, const std::map<std::string, std::string>& vars);
// The same, with every piece (script text, a variable's value) passed through `piece` first.
std::string SubstituteVariables(const std::string& text, const std::map<std::string, std::string>& vars,
                                 const std::function<std::string(const std::string&)>& piece);
// Index of the parameter that names a callback subroutine, or -1.
int CallbackParameter(const std::string& action);
// Every fault of the whole script that can be found before it runs: unknown actions and commands,
// wrong parameter counts, GoSub, IfEmpty, IfEqual or callbacks naming no label, duplicate labels. Empty when it can run.
std::vector<ScriptFault> CheckScript(const std::vector<ScriptLine>& lines,
                                     const std::map<std::string, ActionShape>& actions);
