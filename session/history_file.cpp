// Placeholders until usage and conversation files are built: every call reports that it is not there yet.
#include "session/history_file.h"

#include "session/settings.h"

void RunGetUsage(std::string* input, std::string* output, std::string* stop) {
    input->clear();
    output->clear();
    stop->clear();
    ReplaceLastError("Not implemented");
}

std::string RunSaveHistory(const std::string&) {
    ReplaceLastError("Not implemented");
    return "ERROR";
}

std::string RunLoadHistory(const std::string&) {
    ReplaceLastError("Not implemented");
    return "ERROR";
}
