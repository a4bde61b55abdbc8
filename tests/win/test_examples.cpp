// Every script example of README.md and docs/guide.md runs as written in parly-host against the simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win/rig.h"

namespace {

struct Example {
    std::string file;
    int line;  // of the opening fence
    std::string text;
};

std::string SourcePath(const std::string& relative) {
    const char* root = std::getenv("PARLY_SOURCE_DIR");
    std::string path = std::string("Z:") + (root ? root : "") + "/" + relative;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// The fenced blocks of a Markdown file, with the fence's own indentation taken off their lines.
std::vector<Example> FencedBlocks(const std::string& file) {
    std::vector<Example> blocks;
    std::istringstream in(ReadFileBytes(SourcePath(file)));
    std::string line;
    int number = 0;
    bool inside = false;
    size_t indent = 0;
    Example current;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(' ');
        bool fence = first != std::string::npos && line.compare(first, 3, "```") == 0;
        if (fence && !inside) {
            inside = true;
            indent = first;
            current = Example{file, number, ""};
        } else if (fence) {
            inside = false;
            blocks.push_back(current);
        } else if (inside) {
            size_t cut = std::min(indent, line.find_first_not_of(' ') == std::string::npos ? line.size()
                                                                                             : line.find_first_not_of(' '));
            current.text += line.substr(cut) + "\n";
        }
    }
    return blocks;
}

std::string FirstWord(const std::string& text) {
    std::istringstream in(text);
    std::string word;
    in >> word;
    return word;
}

enum class Kind { Script, Shell, Output, Unknown };

Kind Classify(const std::string& text) {
    static const std::set<std::string> hostCommands = {"SetVar", "Print",   "Wait",  "GoSub", "Return",  "IfEmpty",
                                                       "IfEqual", "Exit", "Message", "Edit", "About", "ListActions"};
    static const std::set<std::string> shell = {"make", "wine", "python3", "set", "parly-host.exe", "curl"};
    const std::string word = FirstWord(text);
    if (word.rfind("Parly", 0) == 0 || hostCommands.count(word) || word[0] == ';' || word[0] == ':') return Kind::Script;
    if (shell.count(word)) return Kind::Shell;
    if (word.find(".parly:") != std::string::npos) return Kind::Output;
    return Kind::Unknown;
}

// An example may only reach the simulator: none sends a request to an Ollama server elsewhere.
bool SendsBeyondLoopback(const std::string& text) {
    size_t at = text.find("ParlySetEndpoint \"");
    if (at == std::string::npos) return false;
    std::string endpoint = text.substr(at + 18, text.find('"', at + 18) - at - 18);
    if (endpoint.find("127.0.0.1") != std::string::npos || endpoint.find("localhost") != std::string::npos) return false;
    for (const char* request : {"ParlySend", "ParlyGetModels", "ParlyGetEmbedding", "ParlyImageGen"})
        if (text.find(std::string(request) + " ") != std::string::npos) return true;
    return false;
}

bool HasLineStarting(const std::string& text, const std::string& word) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (FirstWord(line) == word) return true;
    return false;
}

// The example with the plug-in's last error printed where its main part ends: before its first
// Exit or label, or at its end. Lines before that point keep their numbers.
std::string WithLastErrorShown(const std::string& text) {
    const std::string check = "ParlyGetError \"[ExampleLastError]\"\nPrint \"last error: [ExampleLastError]|\"\n";
    std::istringstream in(text);
    std::string line, out;
    bool placed = false;
    while (std::getline(in, line)) {
        const std::string word = FirstWord(line);
        if (!placed && (word == "Exit" || (!word.empty() && word[0] == ':'))) {
            out += check;
            placed = true;
        }
        out += line + "\n";
    }
    return placed ? out : out + check;
}

// The parly-host options an example names in a comment line "; parly-host --event 1000:PressStop".
std::vector<std::string> HostOptions(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> options;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, second, option;
        words >> first >> second;
        if (first != ";" || second != "parly-host") continue;
        while (words >> option) options.push_back(option);
    }
    return options;
}

bool IsPng(const std::string& path) {
    bool exists = false;
    std::string bytes = ReadFileBytes(path, &exists);
    return exists && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

TEST(DocumentExamples, EveryScriptInTheReadmeAndTheGuideRunsAsWritten) {
    // The folders and the document the guide's examples name.
    CreateDirectoryA("C:\\Images", nullptr);
    CreateDirectoryA("C:\\Docs", nullptr);
    WriteFileBytes("C:\\Docs\\minutes.txt", "Minutes of the planning meeting.\r\nDecided: ship the plug-in in May.\r\n");
    for (const char* png : {"C:\\Images\\lighthouse.png", "C:\\Images\\boat.png"}) DeleteFileA(png);
    WriteFileBytes("C:\\Images\\photo.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string(48, 'p'));

    const std::string dir = ScratchDir("examples");
    int scripts = 0;
    Sim::RedirectAll();
    for (const char* file : {"README.md", "docs/guide.md"}) {
        std::vector<Example> blocks = FencedBlocks(file);
        EXPECT_GT(blocks.size(), 3u) << file << " was not found or holds no examples";
        for (const Example& example : blocks) {
            const std::string where = example.file + ":" + std::to_string(example.line);
            SCOPED_TRACE(where + "\n" + example.text);
            const Kind kind = Classify(example.text);
            EXPECT_NE(kind, Kind::Unknown) << "an example that is neither a script, a command nor output";
            if (kind != Kind::Script) continue;
            ASSERT_FALSE(SendsBeyondLoopback(example.text)) << "an example would send to a server beyond loopback";
            ++scripts;
            Sim::Reset();
            const std::string path = dir + "\\example-" + std::to_string(scripts) + ".parly";
            WriteFileBytes(path, WithLastErrorShown(example.text));
            int code = -1;
            const std::string out = RunHost(path, HostOptions(example.text), &code);
            EXPECT_EQ(code, 0) << out;
            // A whole example (one that chooses its provider) leaves no error behind: it did what it shows.
            if (HasLineStarting(example.text, "ParlyInit")) EXPECT_NE(out.find("last error: |"), std::string::npos) << out;
            else EXPECT_NE(out.find("last error: "), std::string::npos) << out;
            EXPECT_EQ(out.find("parly-host:"), std::string::npos) << "an error or a warning\n" << out;
            EXPECT_EQ(out.find(".parly:"), std::string::npos) << "a script error\n" << out;
        }
    }
    Sim::ClearRedirects();
    EXPECT_GE(scripts, 25);
    // The guide's paths reached the plug-in as written: the images are where the examples name them.
    EXPECT_TRUE(IsPng("C:\\Images\\lighthouse.png"));
    EXPECT_TRUE(IsPng("C:\\Images\\boat.png"));
}

}  // namespace
