// The balancer's configuration file and the client's query.
#include "balancer/balancer.h"

#include <cerrno>
#include <cstring>
#include <cctype>
#include <fstream>
#include <sstream>

// Bounds on what a configuration may hold; far beyond any real one, they keep
// a wrong file (a disk image named by mistake) from being taken in whole.
static const size_t MAX_CONFIG_BYTES = 1 << 20;
static const size_t MAX_SERVERS = 256;
static const size_t MAX_WORD = 255;  // what the client's start address holds

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

static std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) i++;
        size_t start = i;
        while (i < line.size() && !is_space(line[i])) i++;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Decimal digits only, at most 9 of them (no sign, no overflow).
static bool parse_number(const std::string& text, long& value, bool allow_empty) {
    if (text.empty()) {
        value = 0;
        return allow_empty;
    }
    if (text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool config_parse_version(const std::string& text, Version& version) {
    size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    return parse_number(text.substr(0, dot), version.major, false) &&
           parse_number(text.substr(dot + 1), version.minor, true);
}

int config_compare_versions(const Version& a, const Version& b) {
    if (a.major != b.major) return a.major < b.major ? -1 : 1;
    if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
    return 0;
}

bool config_parse_query(const std::string& query, ClientQuery& out) {
    // The customer name comes first and may itself hold a '+': the version
    // is what follows the last one.
    size_t plus = query.rfind('+');
    if (plus == std::string::npos) return false;
    if (!config_parse_version(query.substr(plus + 1), out.version)) return false;
    out.customer = query.substr(0, plus);
    return true;
}

// A host name or dotted address as the client can hold and resolve it.
static bool valid_host(const std::string& host) {
    if (host.empty() || host.size() > 127) return false;
    for (unsigned char c : host) {
        if (!(isalnum(c) || c == '.' || c == '-' || c == '_')) return false;
    }
    return true;
}

bool config_parse(const std::string& text, BalancerConfig& config, std::string& error) {
    config = BalancerConfig();
    bool has_start = false;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        number++;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::vector<std::string> w = split_words(line);
        if (w.empty()) continue;
        const std::string& d = w[0];
        if (d != "server" && d != "start" && d != "minimum-version") return fail("unknown directive \"" + d + "\"");
        if (w.size() != 2) return fail("\"" + d + "\" takes exactly one value");
        const std::string& v = w[1];
        if (d == "server") {
            if (!valid_host(v)) return fail("\"" + v + "\" is not a host name or address");
            if (config.servers.size() >= MAX_SERVERS) return fail("more than 256 servers");
            config.servers.push_back(v);
        } else if (d == "start") {
            if (has_start) return fail("a second \"start\"");
            if (v.size() > MAX_WORD) return fail("the start address is longer than 255 characters");
            if (v.compare(0, 7, "http://") == 0) return fail("the start address is written without \"http://\"");
            config.start = v;
            has_start = true;
        } else {
            if (config.has_minimum) return fail("a second \"minimum-version\"");
            if (!config_parse_version(v, config.minimum) || v.back() == '.')
                return fail("\"" + v + "\" is not a version MAJOR.MINOR");
            config.has_minimum = true;
        }
    }
    if (config.servers.empty()) {
        error = "no \"server\" line";
        return false;
    }
    if (!has_start) {
        error = "no \"start\" line";
        return false;
    }
    return true;
}

bool config_read(const std::string& path, BalancerConfig& config, std::string& error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::string text;
    char buf[4096];
    while (f.read(buf, sizeof buf) || f.gcount() > 0) {
        text.append(buf, (size_t)f.gcount());
        if (text.size() > MAX_CONFIG_BYTES) {
            error = path + " is larger than 1 MB";
            return false;
        }
    }
    if (f.bad()) {
        error = "cannot read " + path;
        return false;
    }
    if (!config_parse(text, config, error)) {
        error = path + " " + error;
        return false;
    }
    return true;
}
