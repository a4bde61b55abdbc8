// How the user's Internet settings route one request: the proxy list, the bypass list, loopback. Pure text rules.
#pragma once
#include <string>
#include <string_view>

// The proxy for one scheme from an Internet-settings proxy text: "host:port", "http://host:port" or per-scheme
// entries such as "http=a:8080;https=b:8443"; a "user:password@" before the host is dropped, never sent.
// Returned as "host:port" (the form WinHTTP accepts). Empty when the text names no proxy for that scheme (the
// request goes direct), or when the one it names cannot be used (SOCKS, HTTPS, no number for a port): then
// *unusable receives that entry, without its user name and password, so the request fails instead.
std::string ProxyForScheme(std::string_view proxyText, bool secure, std::string* unusable);

// True when the bypass list (entries split by ';', ',' or white space; "*" wildcards; "<local>" for names without
// a dot; an optional scheme prefix and ":port" suffix) says the request to host:port goes direct.
bool BypassesProxy(std::string_view bypassList, std::string_view host, int port, bool secure);

// True for names and addresses of this machine's loopback: localhost (no trailing dot, no subdomain), 127.0.0.0/8 in every spelling the resolver
// reads as a number ("127.1", "0x7f.0.0.1", "2130706433"), ::1 in any spelling and ::ffff:127.x.x.x; brackets allowed.
bool IsLoopbackHost(std::string_view host);
