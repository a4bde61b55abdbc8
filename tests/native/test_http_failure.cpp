#include <gtest/gtest.h>

#include <string>

#include "net/http.h"

namespace {

HttpResult Failed(HttpFailure failure, unsigned long code = 0, const char* detail = "") {
    HttpResult r;
    r.failure = failure;
    r.systemError = code;
    r.detail = detail;
    return r;
}

// The texts scripts see in lastError after a client's prefix: POST names host and error number, GET does not.
TEST(HttpFailureText, EachFailureHasItsPostAndGetWording) {
    const struct {
        HttpResult result;
        const char* post;
        const char* get;
    } cases[] = {
        {Failed(HttpFailure::None), "", ""},
        {Failed(HttpFailure::Session), "Failed to create HTTP session", "Failed to create HTTP session"},
        {Failed(HttpFailure::Connect), "Failed to connect to host: api.example", "Failed to connect to host"},
        {Failed(HttpFailure::Request), "Failed to create HTTP request", "Failed to create HTTP request"},
        {Failed(HttpFailure::Send, 12029), "Failed to send request. Error code: 12029", "Failed to send request"},
        {Failed(HttpFailure::Receive, 4294967295ul), "Failed to receive response. Error code: 4294967295",
         "Failed to receive response"},
        {Failed(HttpFailure::TimedOut), "Request timed out after 7 seconds", "Request timed out after 7 seconds"},
        {Failed(HttpFailure::TooLarge), "Exception: reply exceeds 256 MB", "Exception: reply exceeds 256 MB"},
        {Failed(HttpFailure::Exception, 0, "std::bad_alloc"), "Exception: std::bad_alloc", "Exception: std::bad_alloc"},
        {Failed(HttpFailure::ProxyAuth, 0, "proxy.corp:3128"),
         "The proxy proxy.corp:3128 asks for a sign-in (407), which this plug-in cannot give",
         "The proxy proxy.corp:3128 asks for a sign-in (407), which this plug-in cannot give"},
        {Failed(HttpFailure::ProxySetting, 0, "socks=s:1080"),
         "The proxy setting socks=s:1080 cannot be used: this plug-in needs a proxy given as host:port",
         "The proxy setting socks=s:1080 cannot be used: this plug-in needs a proxy given as host:port"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribeHttpFailure(c.result, true, "api.example", 7), c.post);
        EXPECT_EQ(DescribeHttpFailure(c.result, false, "api.example", 7), c.get);
    }
}

}  // namespace
