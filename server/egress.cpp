// The egress proxy: every request of the engine, checked where it connects.
//
// One connection from the engine goes through these stages:
//
//   HEAD      read the request head (at most HEAD_LIMIT bytes)
//   RESOLVE   --map-host, an address literal, or the resolver
//   CONNECT   non-blocking connects, one checked address after the other
//   RELAY     CONNECT: "200 Connection established", then bytes both ways
//             plain HTTP: the head rewritten to origin form with
//             "Connection: close", the body as it comes; the answer's head
//             gets "Connection: close" too, so the engine never sends a
//             second request (for another host, perhaps) on this connection
//
// A connection that fails before RELAY gets the proxy's own short answer
// (403 refused, 502 no such host or unreachable, 504 time-out, 400 bad
// request) and is closed.
#include "egress.h"

#include <ares.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

#include "log.h"
#include "loop.h"

using ojson = nlohmann::ordered_json;

// Bounds: a request or answer head, the bytes buffered one way before the
// sending side is no longer read, and the times allowed for each stage.
static const size_t HEAD_LIMIT = 65536;
static const size_t RELAY_BUFFER = 262144;
static const size_t READ_CHUNK = 65536;
static const int64_t HEAD_TIMEOUT_MS = 30000;
static const int64_t RESOLVE_TIMEOUT_MS = 10000;
static const int64_t CONNECT_TIMEOUT_MS = 10000;  // one address
static const int64_t IDLE_TIMEOUT_MS = 600000;    // a relay without a byte either way
// Outcomes remembered for the sessions, and for how long.
static const size_t OUTCOME_LIMIT = 4096;
static const int64_t OUTCOME_KEEP_MS = 120000;

enum Stage { ST_HEAD, ST_RESOLVE, ST_CONNECT, ST_RELAY };

struct ProxyConn {
    uint64_t id = 0;
    int client = -1, upstream = -1;
    Stage stage = ST_HEAD;
    bool tunnel = false;                 // CONNECT
    std::string host;                    // as requested, normalised
    int port = 0;
    std::string request_head;            // plain HTTP: the head to send upstream
    std::string to_up, to_client;        // bytes waiting to be written
    bool client_eof = false, up_eof = false;      // that side sent its last byte
    bool answer_head_done = false;       // plain HTTP: the answer's head was rewritten
    std::string answer_head;             // ... bytes of it read so far
    std::vector<EgressAddress> addresses;
    size_t next_address = 0;
    EgressOutcome failure = EGRESS_UNREACHABLE;  // why the last connect failed
    int64_t started = 0;
    uint64_t timer = 0;                  // the stage's deadline, or the idle check
    int64_t last_active = 0;
};

struct OutcomeRecord {
    EgressOutcome outcome;
    int64_t at;
    std::string range;  // refused: the range the address lies in
};

// The proxy's state; written only from the loop.
struct Egress {
    Loop* loop = nullptr;
    EgressPolicy policy;
    int listen_fd = -1;
    int port = 0;
    ares_channel channel = nullptr;
    uint64_t ares_timer = 0;
    std::unordered_map<uint64_t, std::unique_ptr<ProxyConn>> conns;
    uint64_t next_id = 1;
    size_t max_conns = 1000;
    std::map<std::string, OutcomeRecord> outcomes;  // "host:port"
};

static Egress eg;

// ---- outcomes ----

static std::string authority_key(const std::string& host, int port)
{
    return egress_normal_host(host) + ":" + std::to_string(port);
}

static void note_outcome(const ProxyConn* c, EgressOutcome o, const std::string& range = std::string())
{
    int64_t now = loop_now_ms();
    if (eg.outcomes.size() >= OUTCOME_LIMIT) {
        for (auto it = eg.outcomes.begin(); it != eg.outcomes.end();)
            it = now - it->second.at > OUTCOME_KEEP_MS ? eg.outcomes.erase(it) : std::next(it);
        if (eg.outcomes.size() >= OUTCOME_LIMIT)
            eg.outcomes.clear();
    }
    eg.outcomes[authority_key(c->host, c->port)] = OutcomeRecord{o, now, range};
}

const char* egress_outcome_name(EgressOutcome o)
{
    switch (o) {
    case EGRESS_OK: return "ok";
    case EGRESS_REFUSED: return "refused";
    case EGRESS_NO_NAME: return "no-such-host";
    case EGRESS_UNREACHABLE: return "unreachable";
    case EGRESS_TIMEOUT: return "timeout";
    case EGRESS_NONE: break;
    }
    return "";
}

EgressOutcome egress_outcome_named(const std::string& name)
{
    for (EgressOutcome o : {EGRESS_OK, EGRESS_REFUSED, EGRESS_NO_NAME, EGRESS_UNREACHABLE, EGRESS_TIMEOUT})
        if (name == egress_outcome_name(o))
            return o;
    return EGRESS_NONE;
}

// Host and port of an address of a scheme the proxy carries.
static bool url_authority(const std::string& url, std::string* host, int* port)
{
    size_t sep = url.find("://");
    if (sep == std::string::npos)
        return false;
    std::string scheme = url.substr(0, sep);
    for (auto& ch : scheme)
        ch = char(tolower((unsigned char)ch));
    int def = scheme == "http" || scheme == "ws" ? 80 : scheme == "https" || scheme == "wss" ? 443 : 0;
    if (!def)
        return false;
    size_t a = sep + 3;
    size_t b = url.find_first_of("/?#", a);
    std::string auth = url.substr(a, b == std::string::npos ? std::string::npos : b - a);
    size_t at = auth.rfind('@');
    if (at != std::string::npos)
        auth = auth.substr(at + 1);
    *port = def;
    size_t colon = auth.rfind(':');
    size_t bracket = auth.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        std::string p = auth.substr(colon + 1);
        auth = auth.substr(0, colon);
        if (!p.empty()) {
            *port = atoi(p.c_str());
            if (*port <= 0 || *port > 65535)
                return false;
        }
    }
    *host = egress_normal_host(auth);
    return !host->empty();
}

EgressOutcome egress_outcome(const std::string& url, int64_t since_ms, std::string* range)
{
    std::string host;
    int port = 0;
    if (!url_authority(url, &host, &port))
        return EGRESS_NONE;
    auto it = eg.outcomes.find(authority_key(host, port));
    if (it == eg.outcomes.end() || it->second.at < since_ms)
        return EGRESS_NONE;
    if (range)
        *range = it->second.range;
    return it->second.outcome;
}

int egress_connections()
{
    return int(eg.conns.size());
}

int egress_port()
{
    return eg.port;
}

std::vector<std::string> egress_engine_switches()
{
    return {
        "--proxy-server=http://127.0.0.1:" + std::to_string(eg.port),
        // Without this the engine goes to localhost and 127.0.0.1 directly.
        "--proxy-bypass-list=<-loopback>",
        // QUIC is UDP of the engine's own, past any HTTP proxy.
        "--disable-quic",
        // WebRTC would send UDP (and STUN) to any address a page names.
        "--force-webrtc-ip-handling-policy=disable_non_proxied_udp",
    };
}

// ---- connections ----

static ProxyConn* find_conn(uint64_t id)
{
    auto it = eg.conns.find(id);
    return it == eg.conns.end() ? nullptr : it->second.get();
}

static void close_conn(ProxyConn* c)
{
    uint64_t id = c->id;
    if (c->timer)
        loop_cancel(*eg.loop, c->timer);
    for (int fd : {c->client, c->upstream}) {
        if (fd >= 0) {
            loop_unwatch(*eg.loop, fd);
            close(fd);
        }
    }
    c->client = c->upstream = -1;
    // Freed at the next turn: a handler up the stack may still hold it.
    auto it = eg.conns.find(id);
    if (it != eg.conns.end()) {
        std::shared_ptr<ProxyConn> keep(std::move(it->second));
        eg.conns.erase(it);
        loop_timer(*eg.loop, 0, [keep]() {});
    }
}

static void set_timer(ProxyConn* c, int64_t delay, void (*fire)(ProxyConn*))
{
    if (c->timer)
        loop_cancel(*eg.loop, c->timer);
    uint64_t id = c->id;
    c->timer = loop_timer(*eg.loop, delay, [id, fire]() {
        ProxyConn* c = find_conn(id);
        if (!c)
            return;
        c->timer = 0;
        fire(c);
    });
}

static void update_events(ProxyConn* c);

// The proxy's own answer, then the end of the connection.
static void answer(ProxyConn* c, const char* status, EgressOutcome o, const std::string& text)
{
    std::string body = text + "\r\n";
    std::string head = std::string("HTTP/1.1 ") + status +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n";
    if (o != EGRESS_NONE)
        head += std::string("X-Corvanta-Egress: ") + egress_outcome_name(o) + "\r\n";
    if (c->upstream >= 0) {
        loop_unwatch(*eg.loop, c->upstream);
        close(c->upstream);
        c->upstream = -1;
    }
    c->to_client = head + "\r\n" + body;
    c->to_up.clear();
    c->stage = ST_RELAY;
    c->up_eof = true;  // nothing more comes: close once written
    c->client_eof = true;
    update_events(c);
}

static void fail(ProxyConn* c, EgressOutcome o, const std::string& detail, const std::string& range = std::string())
{
    note_outcome(c, o, range);
    const char* status = o == EGRESS_REFUSED ? "403 Forbidden" : o == EGRESS_TIMEOUT ? "504 Gateway Timeout"
                                                                                      : "502 Bad Gateway";
    std::string text = o == EGRESS_REFUSED   ? "The rendering server does not open " + c->host + " (" + detail + ")."
                       : o == EGRESS_NO_NAME ? "The name " + c->host + " does not resolve."
                       : o == EGRESS_TIMEOUT ? c->host + " did not answer in time."
                                             : c->host + " cannot be reached (" + detail + ").";
    answer(c, status, o, text);
}

// ---- relaying ----

static void on_event(uint64_t id, bool client_side, uint32_t events);

static void update_events(ProxyConn* c)
{
    uint64_t id = c->id;
    if (c->client >= 0) {
        uint32_t ev = 0;
        bool reading = c->stage == ST_HEAD || (c->stage == ST_RELAY && !c->client_eof);
        if (reading && c->to_up.size() < RELAY_BUFFER)
            ev |= EPOLLIN;
        if (!c->to_client.empty())
            ev |= EPOLLOUT;
        // EPOLLRDHUP is left out on purpose: a client's end is read as EOF.
        loop_watch(*eg.loop, c->client, ev, [id](uint32_t e) { on_event(id, true, e); });
    }
    if (c->upstream >= 0) {
        uint32_t ev = 0;
        if (c->stage == ST_CONNECT) {
            ev = EPOLLOUT;
        } else {
            if (!c->up_eof && c->to_client.size() < RELAY_BUFFER)
                ev |= EPOLLIN;
            if (!c->to_up.empty())
                ev |= EPOLLOUT;
        }
        loop_watch(*eg.loop, c->upstream, ev, [id](uint32_t e) { on_event(id, false, e); });
    }
}

// Writes what the socket takes; false on an error.
static bool write_out(int fd, std::string& buf)
{
    while (!buf.empty()) {
        ssize_t n = send(fd, buf.data(), buf.size(), MSG_NOSIGNAL);
        if (n > 0) {
            buf.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

// Reads what is there into buf (up to a chunk); 0 data, 1 EOF, -1 error.
static int read_in(int fd, std::string& buf)
{
    char tmp[16384];
    size_t total = 0;
    while (total < READ_CHUNK) {
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n > 0) {
            buf.append(tmp, size_t(n));
            total += size_t(n);
            continue;
        }
        if (n == 0)
            return 1;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return 0;
}

static bool header_is(const std::string& line, const char* name)
{
    size_t n = strlen(name);
    return line.size() > n && line[n] == ':' && strncasecmp(line.c_str(), name, n) == 0;
}

// Headers that belong to one hop and are never passed on.
static bool hop_header(const std::string& line)
{
    return header_is(line, "Connection") || header_is(line, "Keep-Alive") || header_is(line, "Proxy-Connection") ||
           header_is(line, "Proxy-Authorization") || header_is(line, "Proxy-Authenticate") ||
           header_is(line, "TE") || header_is(line, "Trailer") || header_is(line, "Upgrade");
}

// Splits a head (without its blank line) into lines, CRLF or LF.
static std::vector<std::string> head_lines(const std::string& head)
{
    std::vector<std::string> lines;
    size_t a = 0;
    while (a <= head.size()) {
        size_t b = head.find('\n', a);
        std::string l = head.substr(a, b == std::string::npos ? std::string::npos : b - a);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
        if (b == std::string::npos)
            break;
        a = b + 1;
    }
    return lines;
}

// The end of a head in buf: the index after its blank line, or npos.
static size_t head_end(const std::string& buf, size_t* head_len)
{
    size_t crlf = buf.find("\r\n\r\n");
    size_t lf = buf.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos)
        return std::string::npos;
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) {
        *head_len = crlf;
        return crlf + 4;
    }
    *head_len = lf;
    return lf + 2;
}

// Plain HTTP: rewrites the answer's heads as they arrive (interim 1xx heads
// too), then lets the body through untouched.
static bool pass_answer(ProxyConn* c, std::string& in)
{
    while (!c->answer_head_done) {
        c->answer_head += in;
        in.clear();
        size_t n = std::min<size_t>(5, c->answer_head.size());
        if (c->answer_head.compare(0, n, "HTTP/", n) != 0) {
            // Not HTTP/1.x: passed on as it is; the engine refuses it.
            c->to_client += c->answer_head;
            c->answer_head.clear();
            c->answer_head_done = true;
            return true;
        }
        size_t len = 0;
        size_t end = head_end(c->answer_head, &len);
        if (end == std::string::npos)
            return c->answer_head.size() <= HEAD_LIMIT;
        std::vector<std::string> lines = head_lines(c->answer_head.substr(0, len));
        std::string rest = c->answer_head.substr(end);
        std::string out = lines[0] + "\r\n";
        for (size_t i = 1; i < lines.size(); ++i)
            // A site's own X-Corvanta-Egress would pass for the proxy's word.
            if (!header_is(lines[i], "Connection") && !header_is(lines[i], "Keep-Alive") &&
                !header_is(lines[i], "Proxy-Connection") && !header_is(lines[i], "X-Corvanta-Egress"))
                out += lines[i] + "\r\n";
        int status = lines[0].size() >= 12 ? atoi(lines[0].c_str() + 9) : 0;
        bool interim = status >= 100 && status < 200 && status != 101;
        if (!interim)
            out += "Connection: close\r\n";
        out += "\r\n";
        c->to_client += out;
        c->answer_head.clear();
        if (!interim)
            c->answer_head_done = true;
        in = rest;
        if (in.empty())
            return true;
    }
    c->to_client += in;
    in.clear();
    return true;
}

static void idle_check(ProxyConn* c)
{
    int64_t idle = loop_now_ms() - c->last_active;
    if (idle >= IDLE_TIMEOUT_MS) {
        close_conn(c);
        return;
    }
    set_timer(c, IDLE_TIMEOUT_MS - idle, idle_check);
}

static void start_relay(ProxyConn* c)
{
    c->stage = ST_RELAY;
    c->last_active = loop_now_ms();
    note_outcome(c, EGRESS_OK);
    if (c->tunnel)
        c->to_client = "HTTP/1.1 200 Connection established\r\n\r\n";
    else
        c->to_up = c->request_head + c->to_up;  // the head, then body bytes read with it
    c->request_head.clear();
    set_timer(c, IDLE_TIMEOUT_MS, idle_check);
    update_events(c);
}

// Once the upstream has ended and the client has all it sent, the
// connection is over; until then the events follow the buffers.
static void relay_progress(ProxyConn* c)
{
    if (c->up_eof && c->to_client.empty()) {
        close_conn(c);
        return;
    }
    update_events(c);
}

// ---- connecting ----

static void try_next_address(ProxyConn* c);

static void connect_timeout(ProxyConn* c)
{
    c->failure = EGRESS_TIMEOUT;
    if (c->upstream >= 0) {
        loop_unwatch(*eg.loop, c->upstream);
        close(c->upstream);
        c->upstream = -1;
    }
    try_next_address(c);
}

static void try_next_address(ProxyConn* c)
{
    while (c->next_address < c->addresses.size()) {
        const EgressAddress& a = c->addresses[c->next_address++];
        sockaddr_storage ss{};
        socklen_t len = 0;
        if (a.family == AF_INET) {
            auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
            s4->sin_family = AF_INET;
            s4->sin_port = htons(uint16_t(c->port));
            memcpy(&s4->sin_addr, a.bytes, 4);
            len = sizeof *s4;
        } else {
            auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
            s6->sin6_family = AF_INET6;
            s6->sin6_port = htons(uint16_t(c->port));
            memcpy(&s6->sin6_addr, a.bytes, 16);
            len = sizeof *s6;
        }
        int fd = socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            c->failure = EGRESS_UNREACHABLE;
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && errno != EINPROGRESS) {
            c->failure = errno == ETIMEDOUT ? EGRESS_TIMEOUT : EGRESS_UNREACHABLE;
            close(fd);
            continue;
        }
        c->upstream = fd;
        c->stage = ST_CONNECT;
        set_timer(c, CONNECT_TIMEOUT_MS, connect_timeout);
        update_events(c);
        return;
    }
    fail(c, c->failure, c->failure == EGRESS_TIMEOUT ? "time-out" : "connection refused");
}

static void connected(ProxyConn* c)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c->upstream, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err != 0) {
        c->failure = err == ETIMEDOUT ? EGRESS_TIMEOUT : EGRESS_UNREACHABLE;
        loop_unwatch(*eg.loop, c->upstream);
        close(c->upstream);
        c->upstream = -1;
        try_next_address(c);
        return;
    }
    start_relay(c);
}

// The addresses the name stands for, checked; connects to the first that
// passes, or refuses.
static void addresses_known(ProxyConn* c, const std::vector<EgressAddress>& found)
{
    std::vector<EgressAddress> ok;
    std::string why, refused_address;
    for (const EgressAddress& a : found) {
        std::string w;
        if (egress_permits(eg.policy, c->host, c->port, a, &w)) {
            ok.push_back(a);
        } else if (why.empty()) {
            why = w;
            refused_address = egress_address_text(a);
        }
    }
    if (found.empty()) {
        log_event("egress", ojson{{"host", c->host}, {"port", c->port}, {"outcome", "no-such-host"}});
        fail(c, EGRESS_NO_NAME, std::string());
        return;
    }
    if (ok.empty()) {
        log_event("egress-refused",
                  ojson{{"host", c->host}, {"port", c->port}, {"address", refused_address}, {"range", why}});
        fail(c, EGRESS_REFUSED, why + " address " + refused_address, why);
        return;
    }
    // IPv4 first: many hosts have no IPv6 route, and an IPv6 attempt that
    // hangs would hold the page for a whole connect time-out.
    std::stable_sort(ok.begin(), ok.end(),
                     [](const EgressAddress& x, const EgressAddress& y) { return x.family == AF_INET && y.family != AF_INET; });
    c->addresses = ok;
    c->next_address = 0;
    try_next_address(c);
}

static void resolve_timeout(ProxyConn* c)
{
    log_event("egress", ojson{{"host", c->host}, {"port", c->port}, {"outcome", "timeout"}});
    fail(c, EGRESS_TIMEOUT, "name look-up");
}

static void ares_arm();

static void resolved(void* arg, int status, int, ares_addrinfo* res)
{
    uint64_t id = uint64_t(reinterpret_cast<uintptr_t>(arg));
    ProxyConn* c = find_conn(id);
    std::vector<EgressAddress> found;
    if (status == ARES_SUCCESS && res) {
        for (ares_addrinfo_node* n = res->nodes; n; n = n->ai_next) {
            EgressAddress a;
            if (n->ai_addr && egress_address_from_sockaddr(n->ai_addr, &a))
                found.push_back(a);
        }
    }
    if (res)
        ares_freeaddrinfo(res);
    if (!c || c->stage != ST_RESOLVE)
        return;  // gone, or timed out meanwhile
    addresses_known(c, found);
}

static void resolve(ProxyConn* c)
{
    c->stage = ST_RESOLVE;
    update_events(c);  // the client is not read while the name is looked up
    EgressAddress literal;
    if (egress_parse_address(c->host, &literal)) {
        addresses_known(c, {literal});
        return;
    }
    // A mapped name stands for its address, or for another name.
    std::string name = c->host;
    for (const auto& m : eg.policy.host_map) {
        if (egress_normal_host(m.first) == c->host) {
            EgressAddress mapped;
            if (egress_parse_address(m.second, &mapped)) {
                addresses_known(c, {mapped});
                return;
            }
            name = egress_normal_host(m.second);
            break;
        }
    }
    set_timer(c, RESOLVE_TIMEOUT_MS, resolve_timeout);
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // CARES_HOSTS may name the hosts file instead of /etc/hosts.
    hints.ai_flags = ARES_AI_NOSORT | ARES_AI_ENVHOSTS;
    // The callback may run before this returns; c is not used after.
    ares_getaddrinfo(eg.channel, name.c_str(), nullptr, &hints, resolved,
                     reinterpret_cast<void*>(uintptr_t(c->id)));
    ares_arm();
}

// ---- the request head ----

static bool valid_host(const std::string& h)
{
    if (h.empty() || h.size() > 253)
        return false;
    for (char ch : h)
        if (!isalnum((unsigned char)ch) && ch != '-' && ch != '.' && ch != '_' && ch != ':')
            return false;
    return true;
}

// "host:port", "[v6]:port", or "host" with the default port.
static bool split_authority(const std::string& auth, int def, std::string* host, int* port)
{
    std::string h = auth, p;
    if (!auth.empty() && auth[0] == '[') {
        size_t close = auth.find(']');
        if (close == std::string::npos)
            return false;
        h = auth.substr(1, close - 1);
        std::string rest = auth.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            p = rest.substr(1);
        }
    } else {
        size_t colon = auth.find(':');
        if (colon != std::string::npos) {
            h = auth.substr(0, colon);
            p = auth.substr(colon + 1);
        }
    }
    *port = def;
    if (!p.empty()) {
        if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *port = atoi(p.c_str());
    } else if (def == 0) {
        return false;
    }
    if (*port < 1 || *port > 65535)
        return false;
    *host = egress_normal_host(h);
    return valid_host(*host);
}

static void bad_request(ProxyConn* c, const std::string& why)
{
    log_event("egress", ojson{{"outcome", "bad-request"}, {"error", why}});
    answer(c, "400 Bad Request", EGRESS_NONE, why);
}

static void head_read(ProxyConn* c)
{
    size_t len = 0;
    size_t end = head_end(c->to_up, &len);
    if (end == std::string::npos) {
        if (c->to_up.size() > HEAD_LIMIT)
            bad_request(c, "request head too long");
        return;
    }
    std::vector<std::string> lines = head_lines(c->to_up.substr(0, len));
    std::string body = c->to_up.substr(end);
    c->to_up.clear();
    const std::string& rl = lines[0];
    size_t a = rl.find(' ');
    size_t b = a == std::string::npos ? a : rl.find(' ', a + 1);
    if (b == std::string::npos || rl.compare(b + 1, 7, "HTTP/1.") != 0) {
        bad_request(c, "malformed request line");
        return;
    }
    std::string method = rl.substr(0, a), target = rl.substr(a + 1, b - a - 1), version = rl.substr(b + 1);
    if (method == "CONNECT") {
        c->tunnel = true;
        if (!split_authority(target, 0, &c->host, &c->port)) {
            bad_request(c, "malformed CONNECT target");
            return;
        }
        c->to_up = body;  // bytes the client sent early go through the tunnel
    } else {
        if (target.size() < 7 || strncasecmp(target.c_str(), "http://", 7) != 0) {
            bad_request(c, "only http: addresses are taken in absolute form");
            return;
        }
        size_t slash = target.find_first_of("/?#", 7);
        std::string auth = target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
        std::string path = slash == std::string::npos ? "/" : target.substr(slash);
        if (path[0] != '/')
            path = "/" + path;
        size_t hash = path.find('#');
        if (hash != std::string::npos)
            path.erase(hash);
        if (auth.find('@') != std::string::npos || !split_authority(auth, 80, &c->host, &c->port)) {
            bad_request(c, "malformed address");
            return;
        }
        std::string head = method + " " + path + " " + version + "\r\n";
        for (size_t i = 1; i < lines.size(); ++i)
            if (!lines[i].empty() && !hop_header(lines[i]))
                head += lines[i] + "\r\n";
        head += "Connection: close\r\n\r\n";
        c->request_head = head;
        c->to_up = body;
    }
    resolve(c);
}

static void head_timeout(ProxyConn* c)
{
    close_conn(c);
}

// ---- events ----

// The upstream ended: what it sent still goes to the client, then the end.
static void upstream_done(ProxyConn* c)
{
    c->up_eof = true;
    if (!c->answer_head_done && !c->answer_head.empty()) {
        c->to_client += c->answer_head;  // a head cut short: passed on as it is
        c->answer_head.clear();
    }
    if (c->upstream >= 0) {
        loop_unwatch(*eg.loop, c->upstream);
        close(c->upstream);
        c->upstream = -1;
    }
}

static void client_event(ProxyConn* c, uint32_t events)
{
    if ((events & EPOLLERR) || ((events & EPOLLHUP) && !(events & EPOLLIN))) {
        close_conn(c);
        return;
    }
    if ((events & EPOLLOUT) && !write_out(c->client, c->to_client)) {
        close_conn(c);
        return;
    }
    if (!(events & EPOLLIN))
        return;
    c->last_active = loop_now_ms();
    if (c->stage == ST_HEAD) {
        // The engine never half-closes: an end before the head is a give-up.
        if (read_in(c->client, c->to_up) != 0) {
            close_conn(c);
            return;
        }
        head_read(c);
        return;
    }
    if (c->stage != ST_RELAY || c->client_eof)
        return;
    int r = read_in(c->client, c->to_up);
    if (r != 0) {
        // The engine closed (it never half-closes) or failed: the exchange
        // is over, whatever the upstream still had to say.
        close_conn(c);
        return;
    }
    if (c->upstream >= 0 && !write_out(c->upstream, c->to_up))
        upstream_done(c);
}

static void upstream_event(ProxyConn* c, uint32_t events)
{
    if (c->stage == ST_CONNECT) {
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
            connected(c);
        return;
    }
    if (c->stage != ST_RELAY)
        return;
    if ((events & EPOLLOUT) && !write_out(c->upstream, c->to_up)) {
        upstream_done(c);
        return;
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return;
    c->last_active = loop_now_ms();
    std::string in;
    int r = read_in(c->upstream, in);
    if (!in.empty()) {
        if (c->tunnel || c->answer_head_done) {
            c->to_client += in;
        } else if (!pass_answer(c, in)) {
            close_conn(c);  // an answer head beyond the limit
            return;
        }
    }
    if (r != 0)
        upstream_done(c);
    if (c->client >= 0 && !write_out(c->client, c->to_client))
        close_conn(c);
}

static void on_event(uint64_t id, bool client_side, uint32_t events)
{
    ProxyConn* c = find_conn(id);
    if (!c || (client_side ? c->client : c->upstream) < 0)
        return;
    if (client_side)
        client_event(c, events);
    else
        upstream_event(c, events);
    c = find_conn(id);
    if (!c)
        return;
    if (c->stage == ST_RELAY)
        relay_progress(c);
    else
        update_events(c);
}

static void on_accept(uint32_t)
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(eg.listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (eg.conns.size() >= eg.max_conns) {
            log_event("error", ojson{{"what", "egress proxy: too many connections"}});
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<ProxyConn>();
        c->id = eg.next_id++;
        c->client = fd;
        c->started = c->last_active = loop_now_ms();
        ProxyConn* cp = c.get();
        eg.conns[cp->id] = std::move(c);
        set_timer(cp, HEAD_TIMEOUT_MS, head_timeout);
        update_events(cp);
    }
}

// ---- the resolver in the loop ----

static void ares_arm()
{
    if (eg.ares_timer) {
        loop_cancel(*eg.loop, eg.ares_timer);
        eg.ares_timer = 0;
    }
    if (!eg.channel)
        return;
    timeval tv{};
    timeval* t = ares_timeout(eg.channel, nullptr, &tv);
    if (!t)
        return;  // nothing under way
    int64_t ms = int64_t(t->tv_sec) * 1000 + t->tv_usec / 1000 + 1;
    eg.ares_timer = loop_timer(*eg.loop, ms, []() {
        eg.ares_timer = 0;
        ares_process_fd(eg.channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        ares_arm();
    });
}

static void ares_socket_state(void*, ares_socket_t fd, int readable, int writable)
{
    if (!readable && !writable) {
        loop_unwatch(*eg.loop, fd);
        return;
    }
    uint32_t ev = (readable ? uint32_t(EPOLLIN) : 0u) | (writable ? uint32_t(EPOLLOUT) : 0u);
    loop_watch(*eg.loop, fd, ev, [fd](uint32_t e) {
        ares_process_fd(eg.channel, (e & (EPOLLIN | EPOLLERR | EPOLLHUP)) ? fd : ARES_SOCKET_BAD,
                        (e & EPOLLOUT) ? fd : ARES_SOCKET_BAD);
        ares_arm();
    });
}

// ---- start and stop ----

bool egress_start(Loop& loop, const EgressPolicy& policy, std::string* error)
{
    egress_stop();
    eg.loop = &loop;
    eg.policy = policy;
    // Each relayed connection holds two descriptors here: take what the
    // system allows, and keep a margin for clients and the engine's pipes.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        if (rl.rlim_cur < rl.rlim_max) {
            rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_NOFILE, &rl);
            getrlimit(RLIMIT_NOFILE, &rl);
        }
        rlim_t usable = rl.rlim_cur > 512 ? (rl.rlim_cur - 256) / 4 : 64;
        eg.max_conns = size_t(std::min<rlim_t>(usable, 16384));
    }
    static bool library = false;
    if (!library) {
        if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) {
            *error = "the name resolver cannot start";
            return false;
        }
        library = true;
    }
    ares_options opts{};
    opts.sock_state_cb = ares_socket_state;
    opts.timeout = 2000;
    opts.tries = 2;
    int st = ares_init_options(&eg.channel, &opts, ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
    if (st != ARES_SUCCESS) {
        *error = std::string("the name resolver cannot start: ") + ares_strerror(st);
        eg.channel = nullptr;
        return false;
    }
    eg.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (eg.listen_fd < 0 || bind(eg.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(eg.listen_fd, 512) != 0 || getsockname(eg.listen_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        *error = std::string("the engine's proxy cannot listen: ") + strerror(errno);
        egress_stop();
        return false;
    }
    eg.port = ntohs(a.sin_port);
    loop_watch(loop, eg.listen_fd, EPOLLIN, on_accept);
    return true;
}

void egress_stop()
{
    if (!eg.loop)
        return;
    std::vector<ProxyConn*> all;
    for (auto& e : eg.conns)
        all.push_back(e.second.get());
    for (ProxyConn* c : all)
        close_conn(c);
    if (eg.listen_fd >= 0) {
        loop_unwatch(*eg.loop, eg.listen_fd);
        close(eg.listen_fd);
    }
    eg.listen_fd = -1;
    if (eg.ares_timer)
        loop_cancel(*eg.loop, eg.ares_timer);
    eg.ares_timer = 0;
    if (eg.channel)
        ares_destroy(eg.channel);  // pending look-ups end; their connections are gone
    eg.channel = nullptr;
    eg.outcomes.clear();
    eg.port = 0;
    eg.loop = nullptr;
}
