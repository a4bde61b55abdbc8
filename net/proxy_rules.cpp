#include "net/proxy_rules.h"

#include <vector>

#include "net/ascii.h"

namespace {

bool IsEntrySeparator(char c) { return c == ';' || c == ',' || IsAsciiSpace(c); }

// The non-empty entries of a list, lower-cased.
std::vector<std::string> Entries(std::string_view list) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && IsEntrySeparator(list[at])) ++at;
        size_t end = at;
        while (end < list.size() && !IsEntrySeparator(list[end])) ++end;
        if (end > at) out.push_back(AsciiLower(list.substr(at, end - at)));
        at = end;
    }
    return out;
}

bool StartsWith(std::string_view text, std::string_view head) { return text.substr(0, head.size()) == head; }

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// "*" matches any run of characters; everything else matches itself (both sides already lower-cased).
bool GlobMatches(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// A proxy as "host:port" (port 80 when none is given); empty when it is not a plain host and port.
std::string NormalizedProxy(std::string_view value) {
    if (StartsWith(value, "http://")) value.remove_prefix(7);
    while (!value.empty() && value.back() == '/') value.remove_suffix(1);
    if (value.empty() || value.find("://") != std::string_view::npos) return std::string();
    for (char c : value) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' ||
                           c == ':' || c == '[' || c == ']';
        if (!plain) return std::string();
    }
    const size_t close = value.rfind(']');
    const size_t colon = value.rfind(':');
    const bool hasPort = colon != std::string_view::npos && (close == std::string_view::npos || colon > close) &&
                         (value[0] == '[' || value.find(':') == colon);
    if (hasPort) {
        if (!AllDigits(value.substr(colon + 1)) || colon == 0) return std::string();
        return std::string(value);
    }
    if (value.find(':') != std::string_view::npos && value[0] != '[') return std::string();  // a bare IPv6 address
    return std::string(value) + ":80";
}

// Four decimal parts of 0..255; *first gets the first.
bool IsIpv4(std::string_view text, int* first) {
    int parts = 0;
    for (size_t at = 0;;) {
        size_t end = text.find('.', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view part = text.substr(at, end - at);
        if (!AllDigits(part) || part.size() > 3) return false;
        const int value = std::stoi(std::string(part));
        if (value > 255) return false;
        if (parts++ == 0) *first = value;
        if (end == text.size()) break;
        if (parts == 4) return false;
        at = end + 1;
    }
    return parts == 4;
}

}  // namespace

std::string ProxyForScheme(std::string_view proxyText, bool secure) {
    const std::string wanted = secure ? "https=" : "http=";
    std::string general;
    for (const std::string& entry : Entries(proxyText)) {
        if (StartsWith(entry, wanted)) return NormalizedProxy(std::string_view(entry).substr(wanted.size()));
        if (entry.find('=') == std::string::npos && general.empty()) general = NormalizedProxy(entry);
    }
    // Per-scheme entries without one for this scheme mean this scheme goes direct.
    return proxyText.find('=') != std::string_view::npos ? std::string() : general;
}

bool BypassesProxy(std::string_view bypassList, std::string_view hostText, int port, bool secure) {
    std::string host = AsciiLower(hostText);
    while (!host.empty() && host.back() == '.') host.pop_back();
    for (std::string entry : Entries(bypassList)) {
        if (entry == "<local>") {
            if (host.find_first_of(".:") == std::string::npos) return true;
            continue;
        }
        if (entry.front() == '<') continue;  // "<-loopback>" and the like: loopback is never proxied anyway
        const size_t scheme = entry.find("://");
        if (scheme != std::string::npos) {
            if (entry.compare(0, scheme, secure ? "https" : "http") != 0) continue;
            entry.erase(0, scheme + 3);
        }
        std::string_view pattern(entry);
        const size_t close = pattern.rfind(']');
        const size_t colon = pattern.rfind(':');
        if (colon != std::string_view::npos && (close == std::string_view::npos || colon > close) &&
            (pattern[0] == '[' || pattern.find(':') == colon)) {
            const std::string_view portText = pattern.substr(colon + 1);
            if (portText != "*" && (!AllDigits(portText) || portText.size() > 5 || std::stoi(std::string(portText)) != port))
                continue;
            pattern = pattern.substr(0, colon);
        }
        if (pattern.size() > 1 && pattern.front() == '[' && pattern.back() == ']') pattern = pattern.substr(1, pattern.size() - 2);
        if (!pattern.empty() && GlobMatches(pattern, host)) return true;
    }
    return false;
}

bool IsLoopbackHost(std::string_view hostText) {
    std::string host = AsciiLower(hostText);
    while (!host.empty() && host.back() == '.') host.pop_back();
    if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "localhost" || (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0)) return true;
    int first = -1;
    if (IsIpv4(host, &first)) return first == 127;
    if (host == "::1" || host == "0:0:0:0:0:0:0:1") return true;
    if (StartsWith(host, "::ffff:") && IsIpv4(std::string_view(host).substr(7), &first)) return first == 127;
    return false;
}
