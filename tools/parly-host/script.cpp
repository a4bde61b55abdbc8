#include "tools/parly-host/script.h"

#include <algorithm>
#include <climits>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// "[#N]" at text[at] with N from 1 to 255: sets *byte and *length.
bool CharacterReference(const std::string& text, size_t at, char* byte, size_t* length) {
    if (text.compare(at, 2, "[#") != 0) return false;
    size_t i = at + 2;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - at < 5) value = value * 10 + (text[i++] - '0');
    if (i == at + 2 || i >= text.size() || text[i] != ']' || value < 1 || value > 255) return false;
    *byte = static_cast<char>(value);
    *length = i + 1 - at;
    return true;
}

// A whole number that fits an int, so the host's atoi reads it as written.
bool IsNumber(const std::string& s) {
    size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
    if (i >= s.size() || s.size() > 11) return false;
    long long value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return value <= (s[0] == '-' ? -static_cast<long long>(INT_MIN) : INT_MAX);
}

struct HostCommand {
    const char* name;
    int least, most;   // argument counts
    bool numeric;      // its arguments are whole numbers
    const char* usage;
};

const HostCommand kHostCommands[] = {
    {"SetVar", 2, 2, false, "SetVar \"[Name]\" \"value\""},
    {"Print", 0, INT_MAX, false, "Print \"text\""},
    {"Wait", 0, 1, true, "Wait milliseconds"},
    {"GoSub", 1, 1, false, "GoSub \"Name\""},
    {"IfEmpty", 3, 3, false, "IfEmpty \"text\" GoSub \"Name\""},
    {"IfEqual", 4, 4, false, "IfEqual \"text\" \"other\" GoSub \"Name\""},
    {"Return", 0, 0, false, "Return"},
    {"Exit", 0, 1, true, "Exit [code]"},
    {"Message", 1, 1, true, "Message code"},
    {"Edit", 1, INT_MAX, false, "Edit ActionName \"p1\" ..."},
    {"About", 0, 0, false, "About"},
    {"ListActions", 0, 0, false, "ListActions"},
};

const HostCommand* FindHostCommand(const std::string& name) {
    for (const HostCommand& c : kHostCommands)
        if (name == c.name) return &c;
    return nullptr;
}

std::string Plural(int n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

}  // namespace

bool ParseScriptLine(const std::string& text, int number, ScriptLine* out, std::string* error) {
    ScriptLine line;
    line.number = number;
    size_t i = 0, n = text.size();
    while (i < n && IsSpace(text[i])) ++i;
    // Whole-line comments: ";", "#" or "//" first.
    if (i < n && (text[i] == '#' || text.compare(i, 2, "//") == 0)) {
        *out = line;
        return true;
    }
    std::vector<std::string> words;
    while (i < n) {
        while (i < n && IsSpace(text[i])) ++i;
        if (i >= n || text[i] == ';') break;
        std::string word;
        if (text[i] == '"') {
            size_t close = text.find('"', i + 1);
            if (close == std::string::npos) {
                *error = "unterminated quoted text";
                return false;
            }
            word = text.substr(i + 1, close - i - 1);
            i = close + 1;
            if (i < n && !IsSpace(text[i])) {
                *error = "text right after a closing quote (inside quotes, write a quote as [#34])";
                return false;
            }
        } else {
            while (i < n && !IsSpace(text[i])) {
                if (text[i] == '"') {
                    *error = "a quote inside the word '" + word + "' (quote the whole parameter)";
                    return false;
                }
                word += text[i++];
            }
        }
        words.push_back(word);
    }
    if (!words.empty()) {
        line.command = words[0];
        line.args.assign(words.begin() + 1, words.end());
    }
    *out = line;
    return true;
}

std::string SubstituteVariables(const std::string& text, const std::map<std::string, std::string>& vars,
                                 const std::function<std::string(const std::string&)>& piece) {
    std::string out, plain;
    auto flush = [&] {
        if (!plain.empty()) out += piece ? piece(plain) : plain;
        plain.clear();
    };
    size_t i = 0;
    while (i < text.size()) {
        char byte = 0;
        size_t length = 0;
        if (text[i] != '[') {
            plain += text[i++];
        } else if (CharacterReference(text, i, &byte, &length)) {
            plain += byte;
            i += length;
        } else {
            size_t close = text.find(']', i + 1);
            auto it = close == std::string::npos ? vars.end() : vars.find(text.substr(i, close - i + 1));
            if (it == vars.end()) {
                plain += text[i++];
                continue;
            }
            flush();
            out += piece ? piece(it->second) : it->second;
            i = close + 1;
        }
    }
    flush();
    return out;
}

std::string SubstituteVariables(const std::string& text, const std::map<std::string, std::string>& vars) {
    return SubstituteVariables(text, vars, nullptr);
}

int CallbackParameter(const std::string& action) {
    if (action == "ParlySendAsync") return 2;
    if (action == "ParlyImageGenAsync") return 4;
    return -1;
}

std::vector<ScriptFault> CheckScript(const std::vector<ScriptLine>& lines,
                                     const std::map<std::string, ActionShape>& actions) {
    std::vector<ScriptFault> faults;
    std::map<std::string, int> labels;
    for (const ScriptLine& line : lines) {
        if (line.command.empty() || line.command[0] != ':') continue;
        std::string name = line.command.substr(1);
        if (name.empty()) faults.push_back({line.number, "a label needs a name after ':'"});
        else if (!line.args.empty()) faults.push_back({line.number, "a label line holds only the label ':" + name + "'"});
        auto [it, fresh] = labels.emplace(name, line.number);
        if (!fresh) faults.push_back({line.number, "label ':" + name + "' already defined on line " + std::to_string(it->second)});
    }
    // A name with a variable reference in it is known only when the line runs.
    auto needLabel = [&](const ScriptLine& line, const std::string& name, const std::string& what) {
        if (name.empty() || name.find('[') != std::string::npos || labels.count(name)) return;
        faults.push_back({line.number, "no subroutine '" + name + "'" + what + " (no line ':" + name + "')"});
    };
    auto checkAction = [&](const ScriptLine& line, const std::string& name, size_t first) {
        auto it = actions.find(name);
        if (it == actions.end()) {
            faults.push_back({line.number, "unknown action or command '" + name + "'"});
            return;
        }
        int given = static_cast<int>(line.args.size() - first);
        if (given > it->second.count) {
            faults.push_back({line.number, name + " takes " + Plural(it->second.count, "parameter") + ", not " +
                                               std::to_string(given)});
            return;
        }
        int callback = CallbackParameter(name);
        if (first == 0 && callback >= 0 && callback < given)
            needLabel(line, line.args[callback], " (the callback of " + name + ")");
    };
    for (const ScriptLine& line : lines) {
        const std::string& c = line.command;
        if (c.empty() || c[0] == ':') continue;
        const HostCommand* host = FindHostCommand(c);
        if (!host) {
            checkAction(line, c, 0);
            continue;
        }
        int given = static_cast<int>(line.args.size());
        if (given < host->least || given > host->most) {
            faults.push_back({line.number, std::string(c) + " takes " +
                                               (host->least == host->most ? Plural(host->least, "parameter")
                                                                          : "at most " + Plural(host->most, "parameter")) +
                                               ", not " + std::to_string(given) + ": " + host->usage});
            continue;
        }
        if (host->numeric && given > 0 && !IsNumber(line.args[0])) {
            faults.push_back({line.number, c + " needs a whole number, not '" + line.args[0] + "': " + host->usage});
            continue;
        }
        // A negative wait would pump for about 49 days once made a DWORD.
        if (c == "Wait" && given > 0 && line.args[0][0] == '-') {
            faults.push_back({line.number, "Wait needs 0 or more milliseconds, not '" + line.args[0] + "': " + host->usage});
            continue;
        }
        if (c == "SetVar" && (line.args[0].size() < 3 || line.args[0].front() != '[' || line.args[0].back() != ']'))
            faults.push_back({line.number, "SetVar names its variable in brackets, such as \"[Name]\", not '" +
                                               line.args[0] + "'"});
        // Only a callback may be empty (no callback); an empty GoSub target would fail only once reached.
        const bool jumps = c == "GoSub" || c == "IfEmpty" || c == "IfEqual";
        if (jumps && line.args.back().empty())
            faults.push_back({line.number, c + " needs the name of a subroutine: " + host->usage});
        else if (c == "GoSub") needLabel(line, line.args[0], "");
        if (c == "IfEmpty" || c == "IfEqual") {
            if (line.args[given - 2] != "GoSub")
                faults.push_back({line.number, c + " ends with GoSub \"Name\", not '" + line.args[given - 2] + "': " +
                                                   host->usage});
            else if (!line.args.back().empty())
                needLabel(line, line.args[given - 1], "");
        }
        if (c == "Edit") checkAction(line, line.args[0], 1);
    }
    std::stable_sort(faults.begin(), faults.end(), [](const ScriptFault& a, const ScriptFault& b) { return a.line < b.line; });
    return faults;
}
