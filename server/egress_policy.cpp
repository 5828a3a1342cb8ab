// The address policy: which destinations the engine may reach.
#include "egress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

// A refused range: the first `bits` bits of `prefix`.
struct Range {
    const char* prefix;
    int bits;
    const char* name;
};

// Destinations inside the operator's network or nobody's: the engine is
// kept from them unless --allow-host names them.
static const Range IPV4_REFUSED[] = {
    {"0.0.0.0", 8, "unspecified"},
    {"10.0.0.0", 8, "private"},
    {"100.64.0.0", 10, "carrier-grade NAT"},
    {"127.0.0.0", 8, "loopback"},
    {"169.254.0.0", 16, "link-local"},
    {"172.16.0.0", 12, "private"},
    {"192.0.0.0", 24, "reserved"},
    {"192.0.2.0", 24, "documentation"},
    {"192.168.0.0", 16, "private"},
    {"198.18.0.0", 15, "benchmarking"},
    {"198.51.100.0", 24, "documentation"},
    {"203.0.113.0", 24, "documentation"},
    {"224.0.0.0", 4, "multicast"},
    {"240.0.0.0", 4, "reserved"},  // with the broadcast address 255.255.255.255
};

static const Range IPV6_REFUSED[] = {
    {"::", 128, "unspecified"},
    {"::1", 128, "loopback"},
    {"::", 96, "IPv4-compatible"},
    {"64:ff9b:1::", 48, "private"},  // local-use NAT64
    {"100::", 64, "discard"},
    {"2001:db8::", 32, "documentation"},
    {"fc00::", 7, "private"},
    {"fe80::", 10, "link-local"},
    {"fec0::", 10, "site-local"},
    {"ff00::", 8, "multicast"},
};

// IPv6 prefixes that carry an IPv4 address a gateway would connect to: the
// embedded address is checked as well. (prefix, bits, byte offset of the
// IPv4 address.)
struct Embedding {
    const char* prefix;
    int bits;
    int offset;
};
static const Embedding IPV6_EMBEDDED[] = {
    {"64:ff9b::", 96, 12},  // NAT64
    {"2002::", 16, 2},      // 6to4
};

static bool parse_literal(const char* text, int family, uint8_t* out)
{
    return inet_pton(family, text, out) == 1;
}

static bool prefix_match(const uint8_t* a, const uint8_t* prefix, int bits)
{
    int whole = bits / 8, rest = bits % 8;
    if (memcmp(a, prefix, size_t(whole)) != 0)
        return false;
    if (rest == 0)
        return true;
    uint8_t mask = uint8_t(0xff << (8 - rest));
    return (a[whole] & mask) == (prefix[whole] & mask);
}

bool egress_parse_address(const std::string& text, EgressAddress* out)
{
    std::string t = text;
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        t = t.substr(1, t.size() - 2);
    EgressAddress a;
    if (t.find(':') == std::string::npos) {
        // Only the dotted quad: inet_aton's "127.1" or "2130706433" forms are
        // names here (the engine, too, sends them in their canonical form).
        if (!parse_literal(t.c_str(), AF_INET, a.bytes))
            return false;
        a.family = AF_INET;
    } else {
        // A zone ("fe80::1%eth0") is not taken: inet_pton refuses it.
        if (!parse_literal(t.c_str(), AF_INET6, a.bytes))
            return false;
        a.family = AF_INET6;
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (memcmp(a.bytes, mapped, 12) == 0) {
            memmove(a.bytes, a.bytes + 12, 4);
            memset(a.bytes + 4, 0, 12);
            a.family = AF_INET;
        }
    }
    *out = a;
    return true;
}

bool egress_address_from_sockaddr(const sockaddr* sa, EgressAddress* out)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
    else
        return false;
    return egress_parse_address(text, out);
}

std::string egress_address_text(const EgressAddress& a)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (a.family != AF_INET && a.family != AF_INET6)
        return std::string();
    inet_ntop(a.family, a.bytes, text, sizeof text);
    return text;
}

static const char* refused_v4(const uint8_t* b)
{
    for (const Range& r : IPV4_REFUSED) {
        uint8_t p[4];
        parse_literal(r.prefix, AF_INET, p);
        if (prefix_match(b, p, r.bits))
            return r.name;
    }
    return nullptr;
}

const char* egress_refused_range(const EgressAddress& a)
{
    if (a.family == AF_INET)
        return refused_v4(a.bytes);
    if (a.family != AF_INET6)
        return "unspecified";
    for (const Range& r : IPV6_REFUSED) {
        uint8_t p[16];
        parse_literal(r.prefix, AF_INET6, p);
        if (prefix_match(a.bytes, p, r.bits))
            return r.name;
    }
    for (const Embedding& e : IPV6_EMBEDDED) {
        uint8_t p[16];
        parse_literal(e.prefix, AF_INET6, p);
        if (prefix_match(a.bytes, p, e.bits)) {
            if (refused_v4(a.bytes + e.offset))
                return refused_v4(a.bytes + e.offset);
        }
    }
    return nullptr;
}

std::string egress_normal_host(const std::string& host)
{
    std::string h = host;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    while (!h.empty() && h.back() == '.')
        h.pop_back();
    for (auto& c : h)
        c = char(tolower((unsigned char)c));
    return h;
}

// A port in decimal, 1 to 65535.
static bool parse_port(const std::string& s, int* port)
{
    if (s.empty() || s.size() > 5)
        return false;
    long v = 0;
    for (char c : s) {
        if (!isdigit((unsigned char)c))
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535)
        return false;
    *port = int(v);
    return true;
}

// A host name as the engine sends it: letters, digits, '-', '_' and dots.
static bool valid_name(const std::string& h)
{
    if (h.empty() || h.size() > 253)
        return false;
    for (char c : h)
        if (!isalnum((unsigned char)c) && c != '-' && c != '.' && c != '_')
            return false;
    return true;
}

bool egress_parse_allow(const std::string& text, EgressAllow* out, std::string* error)
{
    EgressAllow a;
    std::string host = text, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            *error = "no closing bracket in " + text;
            return false;
        }
        host = text.substr(1, close - 1);
        std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                *error = "unexpected text after the address in " + text;
                return false;
            }
            port = rest.substr(1);
            if (port.empty()) {
                *error = "no port after the colon in " + text;
                return false;
            }
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) {
            *error = "no port after the colon in " + text;
            return false;
        }
    }
    if (!port.empty() && !parse_port(port, &a.port)) {
        *error = "not a port: " + port;
        return false;
    }
    a.host = egress_normal_host(host);
    if (!egress_parse_address(a.host, &a.address)) {
        a.address = EgressAddress();
        if (!valid_name(a.host)) {
            *error = "not a host name or address: " + text;
            return false;
        }
    } else {
        a.host = egress_address_text(a.address);
    }
    *out = a;
    return true;
}

static bool same_address(const EgressAddress& x, const EgressAddress& y)
{
    if (x.family != y.family || x.family == 0)
        return false;
    return memcmp(x.bytes, y.bytes, x.family == AF_INET ? 4 : 16) == 0;
}

bool egress_permits(const EgressPolicy& policy, const std::string& host, int port, const EgressAddress& a,
                    std::string* why)
{
    std::string h = egress_normal_host(host);
    for (const EgressAllow& e : policy.allow) {
        if (e.port != 0 && e.port != port)
            continue;
        if (e.address.family != 0 ? same_address(e.address, a) : e.host == h)
            return true;
    }
    const char* range = egress_refused_range(a);
    if (range) {
        if (why)
            *why = range;
        return false;
    }
    return true;
}
