#include "async/progress.h"

#include "plugin/host.h"

void ShowProgress(const std::string&) {}
void CloseProgress() {}
void RevealWordByWord(const std::string& reply, const std::string& variableName) {
    SetHostVariable(variableName.c_str(), reply);
}
