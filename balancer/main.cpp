// loadbalance.cgi: the CGI program the web server runs for each lookup.
//
// Whatever happens it writes a complete CGI answer and exits 0: a handheld
// that gets an empty text ends on its busy page, and the reason goes to
// standard error, which the web server keeps in its error log.
#include "balancer/balancer.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

static std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

static void write_all(const std::string& s) {
    fwrite(s.data(), 1, s.size(), stdout);
    fflush(stdout);
}

int main() {
    std::string answer;
    std::vector<std::string> log;
    try {
        CgiRequest req;
        req.method = env("REQUEST_METHOD");
        req.query = env("QUERY_STRING");
        req.config_path = env("CORVANTA_BALANCER_CONF");
        if (req.config_path.empty()) req.config_path = BALANCER_DEFAULT_CONF;
        answer = cgi_answer(req, log, BALANCER_SERVER_PORT, BALANCER_STATUS_TIMEOUT_MS);
    } catch (const std::exception& e) {
        log.push_back(std::string("internal error: ") + e.what());
        answer = "Content-Type: text/plain\r\nCache-Control: no-store\r\nContent-Length: 0\r\n\r\n";
    }
    for (const std::string& line : log) fprintf(stderr, "loadbalance.cgi: %s\n", line.c_str());
    fflush(stderr);
    write_all(answer);
    return 0;
}
