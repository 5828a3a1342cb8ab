// The HTTP request parser.
#include "http.h"

#include <cctype>
#include <cstring>

void http_reset(HttpParser& p)
{
    p = HttpParser();
}

static bool fail(HttpParser& p, const char* why)
{
    p.state = HTTP_ERROR;
    p.error = why;
    return false;
}

static bool is_token(const std::string& s)
{
    if (s.empty() || s.size() > 16)
        return false;
    for (unsigned char c : s)
        if (!isupper(c))
            return false;
    return true;
}

// A line may hold printable bytes, tabs and (in targets and values) 8-bit
// bytes; anything else below 0x20 is refused.
static bool clean_line(const std::string& s)
{
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    return true;
}

static bool request_line(HttpParser& p)
{
    const std::string& l = p.line;
    if (!clean_line(l))
        return fail(p, "control bytes in the request line");
    size_t a = l.find(' ');
    size_t b = a == std::string::npos ? a : l.find(' ', a + 1);
    if (a == std::string::npos || b == std::string::npos || l.find(' ', b + 1) != std::string::npos)
        return fail(p, "malformed request line");
    p.req.method = l.substr(0, a);
    p.req.target = l.substr(a + 1, b - a - 1);
    p.req.version = l.substr(b + 1);
    if (!is_token(p.req.method))
        return fail(p, "malformed method");
    if (p.req.target.empty())
        return fail(p, "empty target");
    if (p.req.version.compare(0, 7, "HTTP/1.") != 0 || p.req.version.size() != 8 || !isdigit((unsigned char)p.req.version[7]))
        return fail(p, "unsupported protocol version");
    p.state = HTTP_HEADERS;
    return true;
}

static std::string lower(std::string s)
{
    for (auto& c : s)
        c = char(tolower((unsigned char)c));
    return s;
}

static std::string trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return std::string();
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

static bool header_line(HttpParser& p)
{
    const std::string& l = p.line;
    if (l.empty()) {
        if (p.req.content_length > 0) {
            p.state = HTTP_BODY;
            p.req.body.reserve(size_t(p.req.content_length));
        } else {
            p.state = HTTP_DONE;
        }
        return true;
    }
    if (++p.header_count > HTTP_MAX_HEADER_COUNT)
        return fail(p, "too many header lines");
    if (!clean_line(l))
        return fail(p, "control bytes in a header line");
    size_t colon = l.find(':');
    if (colon == std::string::npos || colon == 0)
        return fail(p, "malformed header line");
    std::string name = lower(l.substr(0, colon));
    std::string value = trim(l.substr(colon + 1));
    if (name == "content-length") {
        if (value.empty() || value.size() > 9)
            return fail(p, "bad content length");
        for (unsigned char c : value)
            if (!isdigit(c))
                return fail(p, "bad content length");
        long n = atol(value.c_str());
        if (p.req.content_length >= 0 && p.req.content_length != n)
            return fail(p, "conflicting content lengths");
        if (n > HTTP_MAX_BODY)
            return fail(p, "body too large");
        p.req.content_length = n;
    } else if (name == "host") {
        p.req.host = value;
    } else if (name == "transfer-encoding") {
        return fail(p, "transfer encodings are not accepted");
    }
    return true;
}

size_t http_feed(HttpParser& p, const char* data, size_t len)
{
    size_t i = 0;
    while (i < len && p.state != HTTP_DONE && p.state != HTTP_ERROR) {
        if (p.state == HTTP_BODY) {
            size_t want = size_t(p.req.content_length) - p.req.body.size();
            size_t take = len - i < want ? len - i : want;
            p.req.body.append(data + i, take);
            i += take;
            p.req.wire_bytes += take;
            if (p.req.body.size() == size_t(p.req.content_length))
                p.state = HTTP_DONE;
            continue;
        }
        char c = data[i++];
        p.req.wire_bytes++;
        if (p.state == HTTP_HEADERS && ++p.header_bytes > HTTP_MAX_HEADERS) {
            fail(p, "header too large");
            break;
        }
        if (c == '\n') {
            if (!p.line.empty() && p.line.back() == '\r')
                p.line.pop_back();
            if (p.state == HTTP_LINE) {
                // Blank lines before a request are passed over, as HTTP allows.
                if (!p.line.empty())
                    request_line(p);
            } else {
                header_line(p);
            }
            p.line.clear();
            continue;
        }
        if (p.line.size() >= HTTP_MAX_LINE) {
            fail(p, p.state == HTTP_LINE ? "request line too long" : "header line too long");
            break;
        }
        p.line.push_back(c);
    }
    return i;
}

std::string http_path(const std::string& target)
{
    if (!target.empty() && target[0] == '/')
        return target;
    size_t scheme = target.find("://");
    if (scheme == std::string::npos)
        return std::string();
    std::string s = lower(target.substr(0, scheme));
    if (s != "http" && s != "https")
        return std::string();
    size_t slash = target.find('/', scheme + 3);
    return slash == std::string::npos ? std::string("/") : target.substr(slash);
}

std::string http_response(const std::string& status, const std::string& body)
{
    std::string out = "HTTP/1.0 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n";
    out += body;
    return out;
}
