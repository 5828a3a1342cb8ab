// What the engine may reach: the address policy, and the forward proxy of the
// server's own through which every request of the engine goes.
//
//   engine ── "GET http://host/path" ──┐
//          ── "CONNECT host:443" ──────┤ egress proxy on 127.0.0.1:P (the server's loop)
//                                      │  1. name: --map-host, or the resolver (c-ares, asynchronous)
//                                      │  2. every address checked: refused ranges, --allow-host
//                                      │  3. connect to a checked address only
//                                      ▼
//                                   relay both ways (plain HTTP: one request per
//                                   connection, "Connection: close" both ways)
//
// The check is made on the address the proxy itself connects to, so a public
// name that resolves to a private address is refused too, whatever it
// resolved to a moment earlier. A destination that is refused never sees a
// byte. The proxy's own answers carry "X-Corvanta-Egress: <outcome>", and
// the outcome of the latest attempt at each host and port is kept for a
// while, so that a session can tell a refused page from a broken one even
// for a tunnel, whose refusal the engine reports only as a failed tunnel.
#ifndef CV_SERVER_EGRESS_H
#define CV_SERVER_EGRESS_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct Loop;

// An IPv4 or IPv6 address. IPv4-mapped IPv6 addresses (::ffff:a.b.c.d) are
// always held as the IPv4 address they stand for.
struct EgressAddress {
    int family = 0;          // AF_INET or AF_INET6; 0: none
    uint8_t bytes[16] = {};  // network order; 4 used for AF_INET
};

// One --allow-host entry: a name or an address, and a port (0: any port).
struct EgressAllow {
    std::string host;        // lower case, without brackets or a final dot
    EgressAddress address;   // when host is an address literal
    int port = 0;
};

struct EgressPolicy {
    std::vector<EgressAllow> allow;
    // --map-host NAME=ADDRESS: the name is not resolved but taken as that
    // address (or resolved as that other name); the address is checked like
    // any other.
    std::vector<std::pair<std::string, std::string>> host_map;
};

// How the latest attempt at a destination ended.
enum EgressOutcome {
    EGRESS_NONE,         // no attempt known
    EGRESS_OK,           // connected
    EGRESS_REFUSED,      // every address is in a refused range and not allowed
    EGRESS_NO_NAME,      // the name does not resolve
    EGRESS_UNREACHABLE,  // no address accepted the connection
    EGRESS_TIMEOUT,      // no address answered in time
};

// Address literals: "10.0.0.1", "::1", "[::1]". False when text is none.
bool egress_parse_address(const std::string& text, EgressAddress* out);
std::string egress_address_text(const EgressAddress& a);
bool egress_address_from_sockaddr(const sockaddr* sa, EgressAddress* out);
// The refused range the address lies in ("loopback", "private", ...), or
// null for a public address.
const char* egress_refused_range(const EgressAddress& a);
// "HOST", "HOST:PORT", "ADDRESS", "ADDRESS:PORT", "[V6]:PORT"; false with a
// message when it is none of these.
bool egress_parse_allow(const std::string& text, EgressAllow* out, std::string* error);
// A host as the proxy compares it: lower case, no brackets, no final dot.
std::string egress_normal_host(const std::string& host);
// May the engine connect to this address for a request to host:port? When
// not, *why names the refused range.
bool egress_permits(const EgressPolicy& policy, const std::string& host, int port, const EgressAddress& a,
                    std::string* why);

// The proxy. Listens on 127.0.0.1 (a port of its own) and serves from the
// loop; false with a message when it cannot.
bool egress_start(Loop& loop, const EgressPolicy& policy, std::string* error);
void egress_stop();
int egress_port();
// The engine's switches that send all of its traffic through the proxy:
// every scheme and loopback names too, no QUIC, and WebRTC only through the
// proxy (never UDP of its own).
std::vector<std::string> egress_engine_switches();
// The outcome of the latest attempt at the host and port of this http: or
// https: address (or ws:, wss:) that ended at or after since_ms
// (loop_now_ms time); EGRESS_NONE when there is none. For a refusal, *range
// (when given) names the refused range.
EgressOutcome egress_outcome(const std::string& url, int64_t since_ms, std::string* range = nullptr);
// The outcome named in the proxy's own answers ("refused", "no-such-host",
// "unreachable", "timeout"); EGRESS_NONE for any other text.
EgressOutcome egress_outcome_named(const std::string& name);
const char* egress_outcome_name(EgressOutcome o);
// Connections the proxy holds now, for tests and the log.
int egress_connections();

#endif
