#include "net/proxy_rules.h"

#include <algorithm>
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

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Where an entry's value starts: after a leading "scheme=" of a scheme the settings know, so a password's
// "word=" is no scheme.
size_t ValueStart(std::string_view entry) {
    for (std::string_view scheme : {"http=", "https=", "ftp=", "gopher=", "socks="})
        if (StartsWith(entry, scheme)) return scheme.size();
    return 0;
}

// The proxy text's entries, a piece before a later '@' of the same entry joined to it: a password may hold a
// separator, and no piece of it may be shown, used as a host, or read as an entry of its own.
std::vector<std::string> ProxyEntries(std::string_view text) {
    const std::vector<std::string> pieces = Entries(text);
    std::vector<std::string> out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        size_t last = i;
        for (size_t j = i + 1; j < pieces.size() && ValueStart(pieces[j]) == 0; ++j)
            if (pieces[j].find('@') != std::string::npos) last = j;
        std::string entry = pieces[i];
        for (size_t j = i + 1; j <= last; ++j) entry += ";" + pieces[j];
        out.push_back(entry);
        i = last;
    }
    return out;
}

// The entry without a "user:password@" before its host, so neither is ever shown or sent.
std::string WithoutUserInfo(std::string_view entry) {
    const size_t at = entry.rfind('@');
    if (at == std::string_view::npos) return std::string(entry);
    size_t start = ValueStart(entry), k = start;
    while (k < at && IsAsciiLetter(entry[k])) ++k;
    if (entry.substr(k, 3) == "://") start = k + 3;
    if (start > at) return std::string(entry);
    return std::string(entry.substr(0, start)) + std::string(entry.substr(at + 1));
}

// A proxy value (no user info) as "host:port", port 80 when none is given; empty when it is not a plain host and port.
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
        const std::string_view port = value.substr(colon + 1);
        if (colon == 0 || !AllDigits(port) || port.size() > 5) return std::string();
        const int number = std::stoi(std::string(port));
        if (number < 1 || number > 65535) return std::string();
        return std::string(value);
    }
    if (value.find(':') != std::string_view::npos && value[0] != '[') return std::string();  // a bare IPv6 address
    return std::string(value) + ":80";
}

// The proxy an entry names after its first `skip` bytes; empty for an empty value (no proxy) and for one that
// cannot be used, which *unusable then names.
std::string UsableProxy(const std::string& entry, size_t skip, std::string* unusable) {
    const std::string_view value = std::string_view(entry).substr(skip);
    if (value.empty()) return std::string();
    std::string proxy = NormalizedProxy(WithoutUserInfo(value));
    if (proxy.empty()) *unusable = WithoutUserInfo(entry);
    if (proxy.empty() && unusable->empty()) *unusable = "(no host)";  // "user:password@" and nothing after it
    return proxy;
}

// One part of a numeric IPv4 text as the resolver reads it: decimal, octal after a leading 0, hex after 0x.
bool AddressPart(std::string_view text, unsigned long long* value) {
    unsigned base = 10;
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 32) return false;
    unsigned long long v = 0;
    for (char c : text) {
        const char l = AsciiLower(c);
        const unsigned digit = (c >= '0' && c <= '9') ? c - '0' : (l >= 'a' && l <= 'f') ? l - 'a' + 10 : 99;
        if (digit >= base) return false;
        v = v * base + digit;
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = v;
    return true;
}

// An IPv4 address in any form the resolver takes as a number without asking a name server: one to four parts,
// the last filling the bytes left ("127.1", "0x7f.0.0.1", "2130706433").
bool LooseIpv4(std::string_view text, unsigned long* address) {
    unsigned long long parts[4];
    size_t count = 0;
    for (size_t at = 0;;) {
        size_t end = text.find('.', at);
        if (end == std::string_view::npos) end = text.size();
        if (count == 4 || !AddressPart(text.substr(at, end - at), &parts[count])) return false;
        ++count;
        if (end == text.size()) break;
        at = end + 1;
    }
    unsigned long long result = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF) return false;
        result |= parts[i] << (24 - 8 * i);
    }
    const unsigned long long lastMax = 0xFFFFFFFFull >> (8 * (count - 1));
    if (parts[count - 1] > lastMax) return false;
    *address = static_cast<unsigned long>(result | parts[count - 1]);
    return true;
}

// A strict dotted quad ("127.0.0.1"), as it may end an IPv6 text.
bool DottedQuad(std::string_view text, unsigned char out[4]) {
    size_t at = 0;
    for (int n = 0; n < 4; ++n) {
        size_t end = text.find('.', at);
        if (end == std::string_view::npos) end = text.size();
        if ((n < 3) == (end == text.size())) return false;
        const std::string_view part = text.substr(at, end - at);
        if (!AllDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        const int value = std::stoi(std::string(part));
        if (value > 255) return false;
        out[n] = static_cast<unsigned char>(value);
        at = end + 1;
    }
    return true;
}

// Appends the bytes of a run of colon-separated hex groups (the last may be a dotted quad); false when malformed.
bool Ipv6Groups(std::string_view run, std::vector<unsigned char>* bytes) {
    if (run.empty()) return true;
    for (size_t at = 0;;) {
        size_t end = run.find(':', at);
        if (end == std::string_view::npos) end = run.size();
        const std::string_view group = run.substr(at, end - at);
        if (end == run.size() && group.find('.') != std::string_view::npos) {
            unsigned char quad[4];
            if (!DottedQuad(group, quad)) return false;
            bytes->insert(bytes->end(), quad, quad + 4);
            return true;
        }
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (char c : group) {
            const char l = AsciiLower(c);
            if (c >= '0' && c <= '9') value = value * 16 + (c - '0');
            else if (l >= 'a' && l <= 'f') value = value * 16 + (l - 'a' + 10);
            else return false;
        }
        bytes->push_back(static_cast<unsigned char>(value >> 8));
        bytes->push_back(static_cast<unsigned char>(value & 0xFF));
        if (end == run.size()) return true;
        at = end + 1;
    }
}

// The sixteen bytes of an IPv6 text: hex groups, one "::" at most, a dotted quad in the last 32 bits.
bool Ipv6Bytes(std::string_view text, unsigned char out[16]) {
    const size_t gap = text.find("::");
    std::vector<unsigned char> head, tail;
    if (gap == std::string_view::npos) {
        if (!Ipv6Groups(text, &head) || head.size() != 16) return false;
    } else {
        if (text.find("::", gap + 1) != std::string_view::npos) return false;
        // A dotted quad may only end the text, never stand before the "::".
        const std::string_view before = text.substr(0, gap);
        if (before.find('.') != std::string_view::npos) return false;
        if (!Ipv6Groups(before, &head) || !Ipv6Groups(text.substr(gap + 2), &tail)) return false;
        if (head.size() + tail.size() > 14) return false;
    }
    for (size_t i = 0; i < 16; ++i) out[i] = 0;
    for (size_t i = 0; i < head.size(); ++i) out[i] = head[i];
    for (size_t i = 0; i < tail.size(); ++i) out[16 - tail.size() + i] = tail[i];
    return true;
}

}  // namespace

std::string ProxyForScheme(std::string_view proxyText, bool secure, std::string* unusable) {
    unusable->clear();
    const std::string wanted = secure ? "https=" : "http=";
    const std::vector<std::string> entries = ProxyEntries(proxyText);
    const std::string* general = nullptr;
    const std::string* socks = nullptr;
    for (const std::string& entry : entries) {
        if (StartsWith(entry, wanted)) return UsableProxy(entry, wanted.size(), unusable);
        if (ValueStart(entry) == 0) {
            if (!general) general = &entry;
        } else {
            if (!socks && StartsWith(entry, "socks=")) socks = &entry;
        }
    }
    // An entry without a scheme serves every scheme without its own; with neither, direct unless SOCKS is to carry it.
    if (general) return UsableProxy(*general, 0, unusable);
    if (socks && socks->size() > 6) *unusable = WithoutUserInfo(*socks);
    return std::string();
}

bool BypassesProxy(std::string_view bypassList, std::string_view hostText, int port, bool secure) {
    std::string host = AsciiLower(hostText);
    while (!host.empty() && host.back() == '.') host.pop_back();
    if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
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
    // No trailing dot and no "*.localhost": the resolver asks a name server for those, which may answer anything.
    std::string host = AsciiLower(hostText);
    // Brackets hold only an IPv6 address; "[127.0.0.1]" or "[localhost]" is a name the resolver cannot read as one.
    if (host.size() > 1 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.find(':') == std::string::npos) return false;
    }
    if (host == "localhost") return true;
    unsigned long v4 = 0;
    if (LooseIpv4(host, &v4)) return (v4 >> 24) == 127;
    unsigned char v6[16];
    if (!Ipv6Bytes(host, v6)) return false;
    const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};  // ::ffff:a.b.c.d is IPv4 a.b.c.d
    return std::equal(v6, v6 + 16, loopback) || (std::equal(v6, v6 + 12, mapped) && v6[12] == 127);
}
