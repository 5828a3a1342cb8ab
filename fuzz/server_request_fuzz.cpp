// Fuzz target of what the rendering server reads from a handheld: the HTTP
// requests on a kept-alive connection, the login body, the scrambled block
// of an event request and the event message inside it. Everything here comes
// from the network, so every input must be answered without a crash, and
// the readers must keep these promises:
//   - a connection's bytes give the same requests and the same end, however
//     they are cut into reads (one byte at a time, in chunks, all at once);
//   - a finished request's body is exactly its Content-Length, within the
//     limit, and no request holds more than the limits allow;
//   - a message the handheld could have sent, scrambled as it scrambles it,
//     opens to itself;
//   - whatever a reader takes, it takes within its limits.
//
//   cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
//   cmake --build build-fuzz --target server_request_fuzz
//   build-fuzz/server_request_fuzz -max_total_time=60 fuzz/corpus/server_request
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/key.h"
#include "net/xtea.h"
#include "server/http.h"
#include "server/proto.h"

#define CHECK(c)                 \
    do {                         \
        if (!(c)) __builtin_trap(); \
    } while (0)

namespace {

struct Outcome {
    std::vector<HttpRequest> requests;
    HttpState end = HTTP_LINE;
    std::string error;
};

// The server's read loop: bytes in reads of `chunk` (0: all at once), a
// finished request taken and the parser reset for the next one, an error
// ending the connection.
Outcome read_connection(const std::string& wire, size_t chunk)
{
    Outcome o;
    HttpParser p;
    size_t at = 0;
    while (at < wire.size()) {
        size_t len = chunk ? std::min(chunk, wire.size() - at) : wire.size() - at;
        size_t used = 0;
        while (used < len) {
            size_t n = http_feed(p, wire.data() + at + used, len - used);
            CHECK(n <= len - used);
            used += n;
            if (p.state == HTTP_DONE) {
                o.requests.push_back(p.req);
                http_reset(p);
            } else if (p.state == HTTP_ERROR) {
                o.end = HTTP_ERROR;
                o.error = p.error;
                return o;
            } else {
                CHECK(used == len);  // a parser that stops early has finished or failed
            }
        }
        at += len;
    }
    o.end = p.state;
    return o;
}

bool same(const HttpRequest& a, const HttpRequest& b)
{
    return a.method == b.method && a.target == b.target && a.version == b.version && a.host == b.host &&
           a.content_length == b.content_length && a.body == b.body && a.wire_bytes == b.wire_bytes;
}

void check_request(const HttpRequest& r)
{
    CHECK(!r.method.empty() && !r.target.empty());
    CHECK(r.target.size() < HTTP_MAX_LINE);
    CHECK(r.content_length <= HTTP_MAX_BODY);
    CHECK(r.body.size() == (r.content_length < 0 ? 0 : size_t(r.content_length)));
    std::string path = http_path(r.target);
    CHECK(path.empty() || path[0] == '/');
}

// A request body as the server reads it: a login (whose key the
// connection's later events use), or else an event under the connection's
// key.
void read_body(const std::string& body, uint8_t key[16])
{
    LoginInfo login;
    std::string error;
    if (proto_login(body, &login, &error)) {
        CHECK(!login.greeting.empty() && login.greeting.size() <= 128);
        CHECK(login.address.size() <= PROTO_MAX_ADDRESS);
        CHECK(login.greeting_only || login.user.size() + login.password.size() + login.version.size() <= PROTO_MAX_MESSAGE);
        memcpy(key, login.key, 16);
        return;
    }
    CHECK(!error.empty());
    std::string plain;
    error.clear();
    if (proto_open_event(body, key, &plain, &error)) {
        CHECK(!plain.empty() && plain.size() <= PROTO_MAX_MESSAGE);
        Message m;
        if (!proto_message(plain, &m, &error)) CHECK(!error.empty());
    } else {
        CHECK(!error.empty());
    }
}

// The handheld's scrambling of a message: "<EN v>" with v = length * 8 +
// variant, then the message enciphered in whole blocks of 8 bytes.
std::string scramble(const std::string& message, const uint8_t key[16], int variant)
{
    uint8_t k[16];
    memcpy(k, key, 16);
    k[2] = uint8_t(variant & 7);
    std::vector<unsigned char> buf((message.size() + 7) & ~size_t(7), 0);
    memcpy(buf.data(), message.data(), message.size());
    xtea_encipher_buffer(buf.data(), int(buf.size()), k);
    char head[32];
    snprintf(head, sizeof head, "<EN %lx>", (unsigned long)(message.size() * 8 + size_t(variant & 7)));
    return head + std::string(buf.begin(), buf.end());
}

bool is_text(const std::string& s)
{
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    size_t chunk = size_t(data[0] % 64) + 1;
    std::string wire((const char*)data + 1, size - 1);

    // The same connection read whole, in chunks and a byte at a time.
    Outcome whole = read_connection(wire, 0);
    Outcome chunked = read_connection(wire, chunk);
    Outcome bytes = read_connection(wire, 1);
    for (const Outcome* o : {&chunked, &bytes}) {
        CHECK(o->end == whole.end && o->error == whole.error);
        CHECK(o->requests.size() == whole.requests.size());
        for (size_t i = 0; i < whole.requests.size(); i++) CHECK(same(o->requests[i], whole.requests[i]));
    }
    if (whole.end == HTTP_ERROR) CHECK(!whole.error.empty());
    uint8_t key[16];
    memcpy(key, CV_BASE_KEY, 16);
    for (const HttpRequest& r : whole.requests) {
        check_request(r);
        read_body(r.body, key);
    }

    // The input as a body of its own, and as a message in clear text.
    memcpy(key, CV_BASE_KEY, 16);
    read_body(wire, key);
    Message m;
    std::string error;
    if (proto_message(wire, &m, &error)) {
        CHECK(m.address.size() <= PROTO_MAX_ADDRESS && m.name.size() <= PROTO_MAX_NAME);
        CHECK(m.text.size() <= wire.size() && m.index >= 0);
    } else {
        CHECK(!error.empty());
    }

    // A message the handheld could send, scrambled as it does, opens to itself.
    if (!wire.empty() && wire[0] == '<' && wire.size() <= PROTO_MAX_MESSAGE && is_text(wire)) {
        uint8_t key[16];
        proto_session_key(wire.substr(0, wire.size() / 2), wire.substr(wire.size() / 2), key);
        std::string plain;
        CHECK(proto_open_event(scramble(wire, key, data[0]), key, &plain, &error));
        CHECK(plain == wire);
    }
    return 0;
}
