// The HTTP request parser: requests read byte by byte through named states,
// with a hard limit on every length, so that nothing a client sends can make
// the server hold more than a few kilobytes for it.
//
//   request line    METHOD SP target SP HTTP/1.x CRLF       (LF alone is taken too)
//   header lines    Name: value CRLF ... CRLF
//   body            Content-Length bytes (none without the header)
//
// The handheld sends "POST http://host:port/j.t HTTP/1.0" (or the origin
// form "/j.t" through some proxies), "CONNECT host:port HTTP/1.0" when it
// tunnels, and the load balancer asks "GET /status".
#ifndef CV_SERVER_HTTP_H
#define CV_SERVER_HTTP_H

#include <cstddef>
#include <string>

enum {
    HTTP_MAX_LINE = 2048,     // request line or one header line
    HTTP_MAX_HEADERS = 8192,  // all header lines together
    HTTP_MAX_HEADER_COUNT = 64,
    HTTP_MAX_BODY = 16384,    // the handheld's largest request is 4128 bytes in all
};

struct HttpRequest {
    std::string method;
    std::string target;
    std::string version;
    std::string host;          // the Host header
    long content_length = -1;  // -1: no Content-Length header
    std::string body;
    size_t wire_bytes = 0;     // bytes the request took on the wire
};

enum HttpState { HTTP_LINE, HTTP_HEADERS, HTTP_BODY, HTTP_DONE, HTTP_ERROR };

struct HttpParser {
    HttpState state = HTTP_LINE;
    std::string line;          // the line being read
    size_t header_bytes = 0;
    int header_count = 0;
    HttpRequest req;
    std::string error;         // why the state is HTTP_ERROR
};

// Feeds bytes. Returns how many were consumed: it stops right after a
// complete request (state HTTP_DONE) or at an error (HTTP_ERROR, with the
// reason in error). Take the request and call http_reset for the next one.
size_t http_feed(HttpParser& p, const char* data, size_t len);
void http_reset(HttpParser& p);
// The path of a target in origin form ("/j.t") or absolute form
// ("http://host:port/j.t"); empty when the target is neither.
std::string http_path(const std::string& target);
// "HTTP/1.0 <status>\r\nContent-Type: text/plain\r\nContent-Length: n\r\n\r\n" + body.
std::string http_response(const std::string& status, const std::string& body);

#endif
