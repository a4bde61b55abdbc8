// Which optional members a request to one model carries: the rules for the model families we know,
// plus what a model refused earlier in this process. Pure: no I/O.
#pragma once
#include <string>
#include <vector>

// The members the plug-in adds on its own, and so may leave out when a model refuses them.
enum RequestParam : unsigned {
    kParamTemperature = 1,
    kParamTokenLimit = 2,
    kParamResponseFormat = 4,
    kParamStreamOptions = 8,
};

struct RequestShape {
    bool temperature = true;     // send the temperature
    bool tokenLimit = true;      // send the token limit
    std::string tokenLimitName;  // the member that carries the limit; empty: the protocol's own
    bool responseFormat = true;  // images: ask for Base64 with "response_format"
    bool streamOptions = true;   // streams: ask for the usage with "stream_options"
};

// True for models that reason before they answer and count that against the token limit.
bool IsReasoningModel(int provider, const std::string& model);
// True for OpenAI's reasoning families (o-series, gpt-5 and later): no temperature, "max_completion_tokens".
bool IsOpenAIReasoningFamily(const std::string& model);

// The shape of a request to `model`: the family rules, then what the model refused before.
// `limitSet` says whether a script chose the token limit (the plug-in's own default is left out for reasoning models).
RequestShape ShapeFor(int provider, const std::string& model, bool limitSet);

struct ParamRefusal {
    unsigned param = 0;       // one RequestParam, or 0 when the reply refuses none of ours
    std::string replacement;  // for the token limit: the member the provider names instead, if any
};
// Reads a 400/422 reply that names one of our own members as unsupported or unknown.
ParamRefusal ReadParamRefusal(int status, const std::string& body);
// True when `refusal` changes what `shape` would send (so a resend can differ from the refused request).
bool RefusalApplies(const RequestShape& shape, const ParamRefusal& refusal);
// Remembers, until ForgetParamRefusals, that `model` of `provider` refused that member.
void RememberParamRefusal(int provider, const std::string& model, const ParamRefusal& refusal);
// Forgets every remembered refusal and every healed default (unload).
void ForgetParamRefusals();

// True when a reply refuses the request's model as unknown or retired, in the provider's own words.
bool IsRetiredModelRefusal(int provider, int status, const std::string& body);
// The family of a model: its lower-case name split at - / . : _ with the version numbers and date stamps
// taken out ("claude-sonnet-5-5" -> "claude-sonnet", "openai/gpt-oss-120b" -> "openai-gpt-oss-b").
std::string ModelFamily(const std::string& model);
// The listed model of `model`'s family with the highest version above its own; empty when none is listed.
std::string PickSuccessor(const std::string& model, const std::vector<std::string>& listed);
// Up to `count` of `listed`, newest (highest version, then undated) first; ties keep the listing's order.
std::vector<std::string> NewestModels(const std::vector<std::string>& listed, size_t count);
// Remembers, until unload, the model that took over from the plug-in's own default for `provider`.
void RememberHealedDefault(int provider, const std::string& model);
// The model that took over from `provider`'s own default, or empty.
std::string HealedDefault(int provider);
