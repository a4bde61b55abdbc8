// Endpoint and redirection texts must parse or fail cleanly, never throw, and yield usable ports.
#include <cstddef>
#include <cstdint>
#include <string>

#include "providers/endpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Endpoint e;
    std::string error;
    if (ParseEndpointUrl(text, &e, &error)) {
        if (e.port < 0 || e.port > 65535) __builtin_trap();
    } else if (error.rfind("Invalid endpoint port: ", 0) != 0) {
        __builtin_trap();
    }
    Endpoint r;
    if (ParseRedirectUrl(text, &r)) {
        if (r.host.empty() || r.port < 1 || r.port > 65535) __builtin_trap();
    }
    return 0;
}
