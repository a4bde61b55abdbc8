#include "async/runner.h"

void StartAsyncChat(const std::string&, const std::string&, const std::string&) {}
void StartAsyncImage(const std::string&, const std::string&, const std::string&, const std::string&,
                     const std::string&) {}
void RequestCancel() {}
bool IsBusy() { return false; }
void ShutdownAsync() {}
