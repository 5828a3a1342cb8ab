// The CGI answer: from the request and the configuration to the reply text.
#include "balancer/balancer.h"

#include <random>

// Headers of every answer. The text must never come from a cache: a proxy
// between the handheld and the balancer would otherwise send every client
// to the server that was least busy when the first one asked.
static std::string reply(const std::string& text) {
    return "Content-Type: text/plain\r\n"
           "Cache-Control: no-store\r\n"
           "Content-Length: " +
           std::to_string(text.size()) + "\r\n\r\n" + text;
}

static int pick_random(int ties) {
    static std::mt19937 gen{std::random_device{}()};
    return (int)(gen() % (unsigned)ties);
}

// One line that says what each server answered, for the operator.
static std::string describe(const std::vector<ServerStatus>& statuses) {
    std::string s;
    for (const ServerStatus& st : statuses) {
        if (!s.empty()) s += "; ";
        s += st.host + " ";
        if (st.answered)
            s += "has " + std::to_string(st.sessions) + " of " + std::to_string(st.max_sessions) + " sessions";
        else
            s += st.why;
    }
    return s;
}

std::string cgi_answer(const CgiRequest& request, std::vector<std::string>& log, int port, int timeout_ms) {
    // The web server leaves out the text of an answer to HEAD itself.
    if (request.method != "GET" && request.method != "HEAD") {
        log.push_back("refused a " + (request.method.empty() ? std::string("request without a method") : request.method + " request") +
                      " (only GET is answered)");
        return reply("");
    }
    ClientQuery client;
    if (!config_parse_query(request.query, client)) {
        std::string q = request.query.substr(0, 80);
        for (char& c : q)
            if ((unsigned char)c < 0x20 || (unsigned char)c == 0x7f) c = '?';
        log.push_back("malformed query \"" + q + "\" (expected CUSTOMER+MAJOR.MINOR)");
        return reply("");
    }
    BalancerConfig config;
    std::string error;
    if (!config_read(request.config_path, config, error)) {
        log.push_back("configuration: " + error);
        return reply("");
    }
    std::vector<ServerStatus> statuses = status_query(config.servers, port, timeout_ms);
    int chosen = status_choose(statuses, pick_random);
    if (chosen < 0) {
        log.push_back("no rendering server can take a session: " + describe(statuses));
        return reply("");
    }
    // A server that is down while another takes the session is worth a line
    // too: the operator learns of it before the last one fills up.
    std::vector<ServerStatus> silent;
    for (const ServerStatus& st : statuses)
        if (!st.answered) silent.push_back(st);
    if (!silent.empty()) log.push_back("passed over " + describe(silent));
    std::string text = statuses[(size_t)chosen].host + " " + config.start;
    if (config.has_minimum && config_compare_versions(client.version, config.minimum) < 0) text += " UP";
    return reply(text + "\r\n\r\n");
}
