// Whatever a server sends, reading it as a model listing page, a refusal or a chat reply never throws,
// and a page that reads as a listing names no empty model.
#include <cstddef>
#include <cstdint>
#include <string>

#include "providers/chat_protocol.h"
#include "providers/model_list.h"
#include "providers/model_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (int provider = kProviderOpenAI; provider <= kProviderGrok; ++provider) {
        const ModelPage page = ReadModelListPage(provider, HttpResult{200, body, ""});
        if (page.ok != page.error.empty()) __builtin_trap();
        for (const std::string& id : page.models)
            if (id.empty()) __builtin_trap();
        const ChatOutcome chat = InterpretChatReply(provider, HttpResult{200, body, ""});
        if (chat.ok == chat.answer.empty() || chat.ok != chat.error.empty()) __builtin_trap();
    }
    const ParamRefusal refusal = ReadParamRefusal(400, body);
    if (refusal.param != 0 && refusal.param != kParamTemperature && refusal.param != kParamTokenLimit &&
        refusal.param != kParamResponseFormat && refusal.param != kParamStreamOptions)
        __builtin_trap();
    if (!refusal.replacement.empty() && refusal.param != kParamTokenLimit) __builtin_trap();
    return 0;
}
