// Token counts and stop reasons read from chat replies and stream events, in each protocol's shape. Pure: no I/O.
#pragma once
#include <string_view>

#include "providers/chat_stream.h"
#include "session/settings.h"

// The usage a whole reply of `protocol`'s shape reports; "" for each part it does not give.
ChatUsage ReadReplyUsage(StreamProtocol protocol, std::string_view body);
// Folds what one stream event (or one whole reply) reports into *usage: each part it gives replaces the
// earlier value, a part it leaves out or gives as null keeps it.
void FoldUsage(StreamProtocol protocol, std::string_view json, ChatUsage* usage);
