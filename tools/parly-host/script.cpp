#include "tools/parly-host/script.h"

bool ParseScriptLine(const std::string& text, int number, ScriptLine* out, std::string* error) {
    ScriptLine line;
    line.number = number;
    size_t i = 0, n = text.size();
    std::vector<std::string> words;
    while (i < n) {
        while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
        if (i >= n) break;
        std::string word;
        if (text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c != '\\') {
                    word += c;
                    continue;
                }
                if (i >= n) break;
                char e = text[i++];
                switch (e) {
                    case 'n': word += '\n'; break;
                    case 't': word += '\t'; break;
                    case '"': word += '"'; break;
                    case '\\': word += '\\'; break;
                    default:
                        *error = std::string("unknown escape \\") + e;
                        return false;
                }
            }
            if (!closed) {
                *error = "unterminated quoted text";
                return false;
            }
        } else {
            while (i < n && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') word += text[i++];
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

std::string SubstituteVariables(const std::string& text, const std::map<std::string, std::string>& vars) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t open = text.find('[', i);
        if (open == std::string::npos) break;
        size_t close = text.find(']', open + 1);
        if (close == std::string::npos) break;
        out.append(text, i, open - i);
        auto it = vars.find(text.substr(open, close - open + 1));
        if (it != vars.end()) {
            out += it->second;
            i = close + 1;
        } else {
            out += '[';
            i = open + 1;
        }
    }
    out.append(text, i, std::string::npos);
    return out;
}
