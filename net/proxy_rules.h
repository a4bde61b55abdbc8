// How the user's Internet settings route one request: the proxy list, the bypass list, loopback. Pure text rules.
#pragma once
#include <string>
#include <string_view>

// The proxy for one scheme from an Internet-settings proxy text: "host:port", "http://host:port" or per-scheme
// entries such as "http=a:8080;https=b:8443". Returned as "host:port" (the form WinHTTP accepts); empty when the
// text names no proxy for that scheme, which means the request goes direct.
std::string ProxyForScheme(std::string_view proxyText, bool secure);

// True when the bypass list (entries split by ';', ',' or white space; "*" wildcards; "<local>" for names without
// a dot; an optional scheme prefix and ":port" suffix) says the request to host:port goes direct.
bool BypassesProxy(std::string_view bypassList, std::string_view host, int port, bool secure);

// True for names and addresses of this machine's loopback: localhost, 127.0.0.0/8 and ::1.
bool IsLoopbackHost(std::string_view host);
