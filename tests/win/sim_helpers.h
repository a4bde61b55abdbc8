// Small helpers shared by the Wine tests that drive the plug-in against the provider simulator.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/win/rig.h"

namespace simtest {

// A JSON string literal (quotes included) for building simulator overrides; non-ASCII bytes pass as they are.
inline std::string JsonStr(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline std::string Base64(const std::string& bytes) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (i + 1 == bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Queues one canned reply: this status and exactly these body bytes.
inline void NextReply(int status, const std::string& body) {
    Sim::Next("{\"status\":" + std::to_string(status) + ",\"body_b64\":\"" + Base64(body) + "\"}");
}

// Queues one normal provider reply whose answer text is `content`.
inline void NextContent(const std::string& content) { Sim::Next("{\"content\":" + JsonStr(content) + "}"); }

inline size_t CountOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + needle.size())) ++n;
    return n;
}

inline bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The header lines of a recorded request ("Name: value"), without the request line.
inline std::vector<std::string> HeaderLines(const std::string& head) {
    std::vector<std::string> lines;
    size_t start = head.find("\r\n");
    while (start != std::string::npos) {
        start += 2;
        size_t end = head.find("\r\n", start);
        lines.push_back(head.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end;
    }
    return lines;
}

inline std::string RequestLine(const std::string& head) { return head.substr(0, head.find("\r\n")); }

// The header lines the plug-in chose, in sending order (the platform's own lines left out).
inline std::vector<std::string> OwnHeaderLines(const std::string& head) {
    std::vector<std::string> own;
    for (const std::string& line : HeaderLines(head)) {
        std::string name = line.substr(0, line.find(':'));
        if (name == "User-Agent" || name == "Host" || name == "Content-Length" || name == "Connection" ||
            name == "Cache-Control" || name == "Accept")
            continue;
        own.push_back(line);
    }
    return own;
}

// Sets an environment variable for the lifetime of the object (the plug-in reads it at each request).
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name.c_str());
        had_ = old != nullptr;
        if (old) old_ = old;
        _putenv((name + "=" + value).c_str());
    }
    ~ScopedEnv() { _putenv((name_ + "=" + (had_ ? old_ : std::string())).c_str()); }

  private:
    std::string name_, old_;
    bool had_ = false;
};

// An error text without the sentence a time-out or an unreachable host adds after it (the host and port asked).
inline std::string BeforeHint(const std::string& error) {
    for (const char* hint : {". No reply came from ", ". Nothing answered at ", ". The name in "}) {
        const size_t at = error.find(hint);
        if (at != std::string::npos) return error.substr(0, at);
    }
    return error;
}

// A loopback address nothing listens on, so connecting is refused at once.
inline std::string ClosedUrl() { return "http://127.0.0.1:1"; }

struct Provider {
    const char* initName;
    const char* says;        // how the simulator's answer names the provider
    const char* redirectVar;  // PARLY_*_URL, or nullptr for Ollama
    const char* errorPrefix;
};

inline const std::vector<Provider>& AllProviders() {
    static const std::vector<Provider> all = {
        {"OpenAI", "OpenAI", "PARLY_OPENAI_URL", "OpenAI API error ("},
        {"Claude", "Claude", "PARLY_CLAUDE_URL", "Claude API error ("},
        {"Google", "Gemini", "PARLY_GEMINI_URL", "Google API error ("},
        {"Ollama", "Ollama", nullptr, "Ollama error ("},
        {"OpenRouter", "OpenRouter", "PARLY_OPENROUTER_URL", "OpenRouter error ("},
        {"Groq", "Groq", "PARLY_GROQ_URL", "Groq error ("},
        {"Grok", "Grok", "PARLY_GROK_URL", "Grok error ("},
    };
    return all;
}

inline const Provider& ProviderNamed(const std::string& initName) {
    for (const Provider& p : AllProviders())
        if (initName == p.initName) return p;
    throw std::runtime_error("no provider " + initName);
}

// Selects a provider against the simulator (Ollama through its endpoint); asserts the init said OK.
inline void Select(PluginRig& rig, const std::string& initName, const std::string& key = "k1") {
    if (initName == "Ollama") rig.Exec("ParlySetEndpoint", {Sim::BaseUrl()});
    rig.Exec("ParlyInit", {initName, key, "[InitStatus]"});
    ASSERT_EQ(rig.Var("[InitStatus]"), "OK") << initName << ": " << rig.LastError();
}

// Base fixture: a fresh plug-in, a clean simulator, every fixed provider host pointed at the simulator.
class SimFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        Sim::Reset();
        Sim::RedirectAll();
    }
    void TearDown() override { Sim::ClearRedirects(); }
    PluginRig rig;
};

}  // namespace simtest
