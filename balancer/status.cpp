// Asking the rendering servers how busy they are, and choosing one.
//
// Every server is asked at once over non-blocking sockets and one poll loop
// waits for all of them, so a lookup takes at most the time-out however many
// servers there are, and a server that accepts but never answers costs no
// more than one that is down.
#include "balancer/balancer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A /status answer is two short lines after a few header lines; anything
// longer is not one.
static const size_t MAX_STATUS_ANSWER = 4096;

// Finds "NAME N" at the start of a body line; -1 when absent, 0 when the
// value is not a number.
static int body_value(const std::string& body, const char* name, long& value) {
    size_t len = strlen(name);
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find('\n', at);
        if (end == std::string::npos) return -1;  // an unfinished line
        std::string line = body.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ' ') {
            std::string digits = line.substr(len + 1);
            if (digits.empty() || digits.size() > 9) return 0;
            value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9') return 0;
                value = value * 10 + (c - '0');
            }
            return 1;
        }
        at = end + 1;
    }
    return -1;
}

int status_parse(const std::string& answer, long& sessions, long& max_sessions, std::string& why) {
    if (answer.size() > MAX_STATUS_ANSWER) {
        why = "an oversized /status answer";
        return -1;
    }
    size_t head_end = answer.find("\r\n\r\n");
    if (head_end == std::string::npos) {
        if (answer.size() >= 5 && answer.compare(0, 5, "HTTP/") != 0) {
            why = "an answer that is not HTTP";
            return -1;
        }
        return 0;
    }
    // "HTTP/1.x 200 ..." on the first line.
    size_t sp = answer.find(' ');
    if (answer.compare(0, 5, "HTTP/") != 0 || sp == std::string::npos || sp > head_end ||
        answer.compare(sp + 1, 3, "200") != 0) {
        why = "/status answered \"" + answer.substr(0, std::min(answer.find('\r'), (size_t)60)) + "\"";
        return -1;
    }
    std::string body = answer.substr(head_end + 4);
    int s = body_value(body, "sessions", sessions);
    int m = body_value(body, "max-sessions", max_sessions);
    if (s == 0 || m == 0) {
        why = "an unreadable /status answer";
        return -1;
    }
    return s == 1 && m == 1 ? 1 : 0;
}

namespace {

enum Stage { CONNECTING, SENDING, READING, DONE };

struct Probe {
    int fd = -1;
    Stage stage = DONE;
    std::string request;
    size_t sent = 0;
    std::string answer;
};

}  // namespace

// Resolves the host to an IPv4 address; an address needs no name service.
static bool resolve(const std::string& host, int port, sockaddr_in& addr, std::string& why) {
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        why = std::string("does not resolve (") + gai_strerror(rc) + ")";
        return false;
    }
    addr.sin_addr = ((sockaddr_in*)res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

static void finish(Probe& p) {
    if (p.fd >= 0) close(p.fd);
    p.fd = -1;
    p.stage = DONE;
}

// Reads what a probe's answer holds so far into its status; true when the
// probe is over (answered or failed).
static bool take_answer(Probe& p, ServerStatus& st, bool closed) {
    std::string why;
    int r = status_parse(p.answer, st.sessions, st.max_sessions, why);
    if (r == 1) {
        st.answered = true;
        return true;
    }
    if (r < 0) {
        st.why = why;
        return true;
    }
    if (closed) {
        st.why = p.answer.empty() ? "closed the connection without an answer" : "sent an incomplete /status answer";
        return true;
    }
    return false;
}

std::vector<ServerStatus> status_query(const std::vector<std::string>& hosts, int port, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<ServerStatus> out(hosts.size());
    std::vector<Probe> probes(hosts.size());
    for (size_t i = 0; i < hosts.size(); i++) {
        ServerStatus& st = out[i];
        Probe& p = probes[i];
        st.host = hosts[i];
        sockaddr_in addr;
        if (!resolve(hosts[i], port, addr, st.why)) continue;
        p.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (p.fd < 0) {
            st.why = std::string("no socket: ") + strerror(errno);
            continue;
        }
        p.request = "GET /status HTTP/1.0\r\nHost: " + hosts[i] + "\r\n\r\n";
        if (connect(p.fd, (sockaddr*)&addr, sizeof addr) == 0) {
            p.stage = SENDING;
        } else if (errno == EINPROGRESS) {
            p.stage = CONNECTING;
        } else {
            st.why = std::string("cannot be reached: ") + strerror(errno);
            finish(p);
        }
    }
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        for (size_t i = 0; i < probes.size(); i++) {
            const Probe& p = probes[i];
            if (p.stage == DONE) continue;
            short ev = p.stage == READING ? POLLIN : POLLOUT;
            fds.push_back(pollfd{p.fd, ev, 0});
            which.push_back(i);
        }
        if (fds.empty()) break;
        long left = (long)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        int n = poll(fds.data(), fds.size(), (int)left);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        for (size_t k = 0; k < fds.size(); k++) {
            if (!fds[k].revents) continue;
            Probe& p = probes[which[k]];
            ServerStatus& st = out[which[k]];
            if (p.stage == CONNECTING) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    st.why = std::string("cannot be reached: ") + strerror(err);
                    finish(p);
                    continue;
                }
                p.stage = SENDING;
            }
            if (p.stage == SENDING) {
                ssize_t w = send(p.fd, p.request.data() + p.sent, p.request.size() - p.sent, MSG_NOSIGNAL);
                if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    st.why = std::string("cannot be asked: ") + strerror(errno);
                    finish(p);
                    continue;
                }
                if (w > 0) p.sent += (size_t)w;
                if (p.sent == p.request.size()) p.stage = READING;
                continue;
            }
            char buf[1024];
            ssize_t r = recv(p.fd, buf, sizeof buf, 0);
            if (r < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                st.why = std::string("broke the connection: ") + strerror(errno);
                finish(p);
                continue;
            }
            if (r > 0) p.answer.append(buf, (size_t)r);
            if (take_answer(p, st, r == 0)) finish(p);
        }
    }
    for (size_t i = 0; i < probes.size(); i++) {
        if (probes[i].stage != DONE) {
            out[i].why = "did not answer /status within " + std::to_string(timeout_ms) + " ms";
            finish(probes[i]);
        }
    }
    return out;
}

int status_choose(const std::vector<ServerStatus>& statuses, int (*pick)(int ties)) {
    long best = 0;
    std::vector<int> tied;
    for (size_t i = 0; i < statuses.size(); i++) {
        const ServerStatus& s = statuses[i];
        if (!s.answered) continue;
        long free = s.max_sessions - s.sessions;
        if (free <= 0 || free < best) continue;
        if (free > best) {
            best = free;
            tied.clear();
        }
        tied.push_back((int)i);
    }
    if (tied.empty()) return -1;
    if (tied.size() == 1 || !pick) return tied[0];
    int k = pick((int)tied.size());
    if (k < 0 || k >= (int)tied.size()) k = 0;
    return tied[k];
}
