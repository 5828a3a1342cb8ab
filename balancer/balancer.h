// The load balancer: a CGI program that tells a handheld which rendering
// server to log in to and which page to open first.
//
//   GET /cgi-bin/loadbalance.cgi?CUSTOMER+MAJOR.MINOR
//
// answers, as text/plain,
//
//   HOST ADDRESS\r\n\r\n          the server with the most free sessions
//   HOST ADDRESS UP\r\n\r\n       the same, for a client below minimum-version
//   (nothing)                     no server can take a session, or an error
//
// An empty text makes the client fail its lookup and end on its busy page.
//
// Configuration (CORVANTA_BALANCER_CONF, default /etc/corvanta/balancer.conf),
// one directive a line, '#' starts a comment:
//
//   server HOST                   a rendering server, reached on port 80
//   start ADDRESS                 the first page, without "http://"
//   minimum-version MAJOR.MINOR   optional
//
// The pieces are split so that tests can drive each one: configuration and
// query parsing (config.cpp), asking the servers (status.cpp), and the CGI
// answer (cgi.cpp).
#pragma once

#include <string>
#include <vector>

// Where the configuration is read when CORVANTA_BALANCER_CONF is not set.
#define BALANCER_DEFAULT_CONF "/etc/corvanta/balancer.conf"

// Port every rendering server is reached on, by clients and by the balancer.
#define BALANCER_SERVER_PORT 80

// How long the balancer waits for all servers' /status answers together.
#define BALANCER_STATUS_TIMEOUT_MS 200

// Versions compare as integer pairs: "1.01" is major 1, minor 1.
struct Version {
    long major = 0;
    long minor = 0;
};

struct BalancerConfig {
    std::vector<std::string> servers;  // in file order
    std::string start;                 // first page, without "http://"
    bool has_minimum = false;
    Version minimum;
};

// What the client's query says about it.
struct ClientQuery {
    std::string customer;
    Version version;
};

// One server's answer to GET /status. `answered` is false when it could not
// be reached, did not answer in time or answered something unreadable;
// `why` then says which, for the operator.
struct ServerStatus {
    std::string host;
    bool answered = false;
    long sessions = 0;
    long max_sessions = 0;
    std::string why;
};

// config.cpp
// Parses configuration text; false with `error` ("line N: ...") when a line
// is not understood or a required directive is missing.
bool config_parse(const std::string& text, BalancerConfig& config, std::string& error);
// Reads and parses the file; false with `error` naming the file.
bool config_read(const std::string& path, BalancerConfig& config, std::string& error);
// "MAJOR.MINOR" (the minor digits may be empty, as an old client's version
// file can make them) into a version; false when it is not that.
bool config_parse_version(const std::string& text, Version& version);
// -1, 0 or 1 as a is below, equal to or above b.
int config_compare_versions(const Version& a, const Version& b);
// The query "CUSTOMER+MAJOR.MINOR"; false when it is not that.
bool config_parse_query(const std::string& query, ClientQuery& out);

// status.cpp
// Reads an answer to GET /status: an HTTP response whose body holds the lines
// "sessions N" and "max-sessions M". 1 when complete and well formed, 0 when
// more text may complete it, -1 when it cannot be read (`why` says why).
int status_parse(const std::string& answer, long& sessions, long& max_sessions, std::string& why);
// Asks every host for GET /status on `port` at once and waits at most
// `timeout_ms` in all; one result per host, in the same order.
std::vector<ServerStatus> status_query(const std::vector<std::string>& hosts, int port, int timeout_ms);
// Index of the server with the most free sessions, -1 when none has one.
// `pick` chooses among equals (its argument is how many tie; it returns an
// index below that), so that lookups arriving together are spread.
int status_choose(const std::vector<ServerStatus>& statuses, int (*pick)(int ties));

// cgi.cpp
// Environment the CGI answer depends on.
struct CgiRequest {
    std::string method;        // REQUEST_METHOD
    std::string query;         // QUERY_STRING
    std::string config_path;   // CORVANTA_BALANCER_CONF or the default
};
// The complete CGI answer (header lines and text) for one request; lines for
// the operator are appended to `log`, one per problem.
std::string cgi_answer(const CgiRequest& request, std::vector<std::string>& log, int port, int timeout_ms);
