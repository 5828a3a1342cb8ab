// The request parser: the client's framings in one piece and a byte at a
// time, and every limit.
#include <gtest/gtest.h>

#include <string>

#include "http.h"

namespace {

// Feeds the whole text; returns the parser after the first request ends.
HttpParser parse(const std::string& text, size_t step = 0)
{
    HttpParser p;
    size_t pos = 0;
    while (pos < text.size() && p.state != HTTP_DONE && p.state != HTTP_ERROR) {
        size_t n = step ? std::min(step, text.size() - pos) : text.size() - pos;
        size_t used = http_feed(p, text.data() + pos, n);
        pos += used;
        if (used < n)
            break;
    }
    return p;
}

}  // namespace

TEST(Http, TheClientsPostInOnePieceOrAByteAtATime)
{
    for (size_t step : {size_t(0), size_t(1), size_t(7)}) {
        std::string text = std::string("POST http://render.example:80/j.t HTTP/1.0\r\nHost: render.example\r\n"
                           "Connection: keep-alive\r\nContent-length: 5\r\n\r\n") +
               std::string("ab\0cd", 5);
        HttpParser p = parse(text, step);
        ASSERT_EQ(p.state, HTTP_DONE) << p.error;
        EXPECT_EQ(p.req.method, "POST");
        EXPECT_EQ(http_path(p.req.target), "/j.t");
        EXPECT_EQ(p.req.host, "render.example");
        EXPECT_EQ(p.req.body, std::string("ab\0cd", 5));
        EXPECT_EQ(p.req.wire_bytes, text.size());
    }
}

TEST(Http, TwoRequestsInOneReadAreTakenOneAfterTheOther)
{
    std::string two = "CONNECT render.example:80 HTTP/1.0\r\n\r\nPOST /j.t HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi";
    HttpParser p;
    size_t used = http_feed(p, two.data(), two.size());
    ASSERT_EQ(p.state, HTTP_DONE);
    EXPECT_EQ(p.req.method, "CONNECT");
    EXPECT_EQ(p.req.target, "render.example:80");
    http_reset(p);
    size_t more = http_feed(p, two.data() + used, two.size() - used);
    ASSERT_EQ(p.state, HTTP_DONE);
    EXPECT_EQ(used + more, two.size());
    EXPECT_EQ(p.req.body, "hi");
    EXPECT_EQ(http_path(p.req.target), "/j.t");
}

TEST(Http, LimitsAndMalformedRequestsAreErrors)
{
    EXPECT_EQ(parse("GET /" + std::string(HTTP_MAX_LINE, 'a') + " HTTP/1.0\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("POST /j.t HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("POST /j.t HTTP/1.0\r\nContent-Length: -1\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("POST /j.t HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("POST /j.t HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("post /j.t HTTP/1.0\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("GET /j.t HTTP/2.0\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse("GET  /j.t HTTP/1.0\r\n\r\n").state, HTTP_ERROR);
    EXPECT_EQ(parse(std::string("GET /\0 HTTP/1.0\r\n\r\n", 18)).state, HTTP_ERROR);
    EXPECT_EQ(parse("GET / HTTP/1.0\r\nno colon\r\n\r\n").state, HTTP_ERROR);
    std::string many = "GET / HTTP/1.0\r\n";
    for (int i = 0; i <= HTTP_MAX_HEADER_COUNT; ++i)
        many += "X-A: b\r\n";
    EXPECT_EQ(parse(many + "\r\n").state, HTTP_ERROR);
    std::string big = "GET / HTTP/1.0\r\n";
    while (big.size() < HTTP_MAX_HEADERS + 100)
        big += "X-Long: " + std::string(1000, 'v') + "\r\n";
    HttpParser p = parse(big + "\r\n");
    EXPECT_EQ(p.state, HTTP_ERROR);
    EXPECT_EQ(p.error, "header too large");
}

TEST(Http, BlankLinesBeforeARequestAndBareLineFeedsAreTaken)
{
    HttpParser p = parse("\r\n\nGET /status HTTP/1.1\nHost: x\n\n");
    ASSERT_EQ(p.state, HTTP_DONE) << p.error;
    EXPECT_EQ(http_path(p.req.target), "/status");
}

TEST(Http, PathsOfOriginAndAbsoluteForms)
{
    EXPECT_EQ(http_path("/j.t"), "/j.t");
    EXPECT_EQ(http_path("http://h:80/j.t"), "/j.t");
    EXPECT_EQ(http_path("HTTP://h"), "/");
    EXPECT_EQ(http_path("ftp://h/j.t"), "");
    EXPECT_EQ(http_path("h:80"), "");
}

TEST(Http, ResponsesCarryTheirLength)
{
    EXPECT_EQ(http_response("200 OK", "<ST>"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\n<ST>");
}
