// The server: listening socket, connections, the requests on them, the
// engine's life, signals and the idle sweep.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "pagewriter.h"
#include "passwords.h"

using nlohmann::json;
using ojson = nlohmann::ordered_json;

Server srv;

// Bytes read from a connection in one turn; bytes waiting to be written
// before a client that does not read is given up.
static const size_t READ_CHUNK = 65536;
static const size_t OUT_LIMIT = 8u << 20;
// A connection that has not logged in after this long is closed.
static const int64_t LOGIN_TIMEOUT_MS = 60000;
static const int64_t SWEEP_MS = 5000;
// The engine is started again after a death with this delay, doubling up to
// the limit while it keeps failing.
static const int64_t RESTART_FIRST_MS = 100, RESTART_LIMIT_MS = 5000;

static const char TUNNEL_REPLY[] = "HTTP/1.0 200 Connection established\r\n\r\n";

// ---- connections ----

static void watch_conn(Conn* c);

static void set_events(Conn* c)
{
    if (c->fd >= 0)
        loop_events(srv.loop, c->fd, EPOLLIN | EPOLLRDHUP | (c->want_out ? uint32_t(EPOLLOUT) : 0u));
}

void conn_close(Conn* c, const char* reason)
{
    if (!c || c->fd < 0)
        return;
    int fd = c->fd;
    if (c->session) {
        Session* s = c->session;
        c->session = nullptr;
        s->conn = nullptr;
        session_end(s, reason);
    }
    log_event("close", ojson{{"conn", c->id}, {"peer", c->peer}, {"reason", reason}});
    loop_unwatch(srv.loop, fd);
    close(fd);
    c->fd = -1;
    // The record itself goes at the next turn: a caller up the stack may
    // still hold it.
    auto it = srv.conns.find(fd);
    if (it != srv.conns.end()) {
        std::shared_ptr<Conn> keep(std::move(it->second));
        srv.conns.erase(it);
        loop_timer(srv.loop, 0, [keep]() {});
    }
}

// Closes the connection at the next turn (from code that must not see its
// session end under it).
static void close_later(Conn* c, const char* reason)
{
    int fd = c->fd;
    uint64_t id = c->id;
    loop_timer(srv.loop, 0, [fd, id, reason]() {
        auto it = srv.conns.find(fd);
        if (it != srv.conns.end() && it->second->id == id)
            conn_close(it->second.get(), reason);
    });
}

// Writes what the socket takes. Never closes the connection itself.
static bool flush_out(Conn* c)
{
    while (!c->out.empty() && c->fd >= 0) {
        ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c->out.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return false;
    }
    bool want = !c->out.empty();
    if (want != c->want_out) {
        c->want_out = want;
        set_events(c);
    }
    return true;
}

static void send_raw(Conn* c, const std::string& bytes)
{
    if (c->fd < 0)
        return;
    c->out += bytes;
    if (c->out.size() > OUT_LIMIT) {
        log_event("error", ojson{{"conn", c->id}, {"what", "client does not read its answers"}});
        c->out.clear();
        close_later(c, "not-reading");
        return;
    }
    if (!flush_out(c))
        close_later(c, "reset");
}

void conn_answer(Conn* c, const std::string& body)
{
    send_raw(c, http_response("200 OK", body));
}

static std::string text_page(const std::vector<std::string>& lines)
{
    std::string body;
    pw_cl(body);
    body += pages_text_stream(lines);
    pw_st(body);
    return body;
}

static void refuse_login(Conn* c, const char* event, const std::string& text, const LoginInfo& login)
{
    c->refused = true;
    log_event(event, ojson{{"conn", c->id}, {"peer", c->peer}, {"user", login.user}, {"customer", login.customer}});
    conn_answer(c, text_page({text}));
}

// The connection of this id, if it is still open.
static Conn* find_conn(int fd, uint64_t id)
{
    auto it = srv.conns.find(fd);
    return it != srv.conns.end() && it->second->id == id && it->second->fd >= 0 ? it->second.get() : nullptr;
}

// The address part of "ADDR:PORT".
static std::string peer_address(const std::string& peer)
{
    size_t colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

// A login whose credentials passed (or that needs none) gets its session.
static void admit(Conn* c, const LoginInfo& login)
{
    if (sessions_active() >= srv.config.max_sessions) {
        refuse_login(c, "login-busy", "The server is busy. Please try again later.", login);
        return;
    }
    Session* s = session_create(c, login);
    log_event("login", ojson{{"session", s->id},
                             {"conn", c->id},
                             {"peer", c->peer},
                             {"greeting", login.greeting},
                             {"customer", login.customer},
                             {"user", login.user},
                             {"version", login.version},
                             {"url", login.address},
                             {"sessions", sessions_active()}});
}

static void on_login(Conn* c, const HttpRequest& req)
{
    LoginInfo login;
    std::string error;
    if (!proto_login(req.body, &login, &error)) {
        log_event("error", ojson{{"conn", c->id}, {"peer", c->peer}, {"what", "bad login"}, {"error", error}});
        conn_answer(c, text_page({"The login could not be read."}));
        c->close_after_flush = true;
        close_later(c, "bad-login");
        return;
    }
    if (!srv.users.enabled) {
        admit(c, login);
        return;
    }
    // A greeting-only login carries no credentials to check.
    if (login.greeting_only) {
        refuse_login(c, "login-refused", "Wrong user name or password.", login);
        return;
    }
    // The password is checked off the loop, each address's logins one at a
    // time and later and later while they keep failing; the connection
    // waits meanwhile.
    std::string address = peer_address(c->peer);
    int fd = c->fd;
    uint64_t id = c->id;
    int64_t asked = loop_now_ms();
    c->login_pending = true;
    bool queued = passwords_wait_turn(address, [fd, id, login, address, asked]() {
        if (!find_conn(fd, id)) {
            passwords_result(address, PW_NONE);
            return;
        }
        passwords_check(srv.users, login.user, login.password, [fd, id, login, address, asked](bool ok) {
            passwords_result(address, ok ? PW_OK : PW_FAILED);
            Conn* c = find_conn(fd, id);
            if (!c)
                return;
            c->login_pending = false;
            c->last_active = loop_now_ms();
            if (!ok) {
                c->refused = true;
                log_event("login-refused", ojson{{"conn", c->id},
                                                 {"peer", c->peer},
                                                 {"user", login.user},
                                                 {"customer", login.customer},
                                                 {"waited_ms", loop_now_ms() - asked},
                                                 {"next_delay_ms", passwords_next_delay_ms(address)}});
                conn_answer(c, text_page({"Wrong user name or password."}));
                return;
            }
            admit(c, login);
        });
    });
    if (!queued) {
        c->login_pending = false;
        log_event("error", ojson{{"conn", c->id}, {"peer", c->peer}, {"what", "too many logins waiting from one address"}});
        conn_answer(c, text_page({"Too many logins from this address. Please try again later."}));
        c->close_after_flush = true;
        close_later(c, "login-flood");
    }
}

static void on_event(Conn* c, const HttpRequest& req, int64_t arrived)
{
    Session* s = c->session;
    std::string plain, error;
    if (!proto_open_event(req.body, s->login.key, &plain, &error)) {
        log_event("error", ojson{{"session", s->id}, {"what", "bad request body"}, {"error", error}});
        conn_close(c, "bad-body");
        return;
    }
    Message m;
    if (!proto_message(plain, &m, &error)) {
        // A message this server does not know changes nothing.
        log_event("error", ojson{{"session", s->id}, {"what", "bad message"}, {"error", error}});
        std::string body;
        pw_st(body);
        conn_answer(c, body);
        return;
    }
    ojson f = {{"session", s->id}, {"message", proto_message_code(m.kind)}};
    if (m.kind == MSG_MC || m.kind == MSG_SC) {
        f["x"] = m.x;
        f["y"] = m.y;
    } else if (m.kind == MSG_URL) {
        f["url"] = m.address;
    } else if (m.kind == MSG_TF || m.kind == MSG_TA) {
        f["name"] = m.name;
        f["bytes"] = m.text.size();  // the text itself may be a password
    } else if (m.kind == MSG_LM || m.kind == MSG_DM) {
        f["name"] = m.name;
        f["index"] = m.index;
    }
    log_event("message", f);
    session_message(s, m, arrived);
}

static void on_request(Conn* c, const HttpRequest& req)
{
    int64_t now = loop_now_ms();
    c->last_active = now;
    if (c->login_pending) {
        // The handheld waits for the login's answer before it sends again.
        log_event("error", ojson{{"conn", c->id}, {"peer", c->peer}, {"what", "request before the login was answered"}});
        conn_close(c, "bad-request");
        return;
    }
    std::string path = http_path(req.target);
    if (req.method == "CONNECT") {
        // The handheld tunnels through what it takes for a proxy; the tunnel
        // ends here, so it is answered as a proxy would and the requests
        // follow on the same connection.
        if (c->session || c->refused || c->tunnelled) {
            log_event("error", ojson{{"conn", c->id}, {"what", "CONNECT inside a session"}});
            conn_close(c, "bad-request");
            return;
        }
        c->tunnelled = true;
        log_event("tunnel", ojson{{"conn", c->id}, {"peer", c->peer}, {"target", req.target}});
        send_raw(c, TUNNEL_REPLY);
        return;
    }
    if (req.method == "GET" && path == "/status" && !c->session) {
        std::string body = "sessions " + std::to_string(sessions_active()) + "\r\nmax-sessions " +
                           std::to_string(srv.config.max_sessions) + "\r\n";
        send_raw(c, http_response("200 OK", body));
        c->close_after_flush = true;
        if (c->out.empty())
            conn_close(c, "status");
        return;
    }
    if (req.method == "POST" && (path == "/j.t" || path.compare(0, 5, "/j.t?") == 0)) {
        if (c->refused) {
            std::string body;
            pw_st(body);
            conn_answer(c, body);
        } else if (!c->session) {
            on_login(c, req);
        } else {
            on_event(c, req, now);
        }
        return;
    }
    log_event("error", ojson{{"conn", c->id}, {"what", "unknown request"}, {"method", req.method}, {"target", req.target}});
    send_raw(c, http_response("404 Not Found", "not found\r\n"));
    c->close_after_flush = true;
    if (c->out.empty())
        conn_close(c, "not-found");
}

static void on_readable(Conn* c)
{
    char buf[16384];
    size_t total = 0;
    while (c->fd >= 0 && total < READ_CHUNK) {
        ssize_t n = recv(c->fd, buf, sizeof buf, 0);
        if (n == 0) {
            conn_close(c, c->session ? "closed" : "closed-before-login");
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            conn_close(c, "reset");
            return;
        }
        total += size_t(n);
        size_t pos = 0;
        while (pos < size_t(n) && c->fd >= 0) {
            if (c->close_after_flush)
                return;  // nothing more is read from a connection on its way out
            pos += http_feed(c->parser, buf + pos, size_t(n) - pos);
            if (c->parser.state == HTTP_ERROR) {
                log_event("error", ojson{{"conn", c->id}, {"peer", c->peer}, {"what", "bad request"},
                                         {"error", c->parser.error}});
                if (!c->session && !c->refused) {
                    send_raw(c, http_response("400 Bad Request", c->parser.error + "\r\n"));
                    c->close_after_flush = true;
                    if (c->out.empty())
                        conn_close(c, "bad-request");
                } else {
                    conn_close(c, "bad-request");
                }
                return;
            }
            if (c->parser.state == HTTP_DONE) {
                HttpRequest req = std::move(c->parser.req);
                http_reset(c->parser);
                on_request(c, req);
            }
        }
    }
}

static void on_conn_event(int fd, uint64_t id, uint32_t events)
{
    auto it = srv.conns.find(fd);
    if (it == srv.conns.end() || it->second->id != id)
        return;
    Conn* c = it->second.get();
    if (events & EPOLLIN) {
        on_readable(c);
        if (c->fd < 0)
            return;
    }
    if (events & EPOLLOUT) {
        if (!flush_out(c)) {
            conn_close(c, "reset");
            return;
        }
    }
    if (c->close_after_flush && c->out.empty()) {
        conn_close(c, "done");
        return;
    }
    if ((events & (EPOLLERR | EPOLLHUP)) && !(events & EPOLLIN))
        conn_close(c, "reset");
}

static void watch_conn(Conn* c)
{
    int fd = c->fd;
    uint64_t id = c->id;
    loop_watch(srv.loop, fd, EPOLLIN | EPOLLRDHUP, [fd, id](uint32_t ev) { on_conn_event(fd, id, ev); });
}

static void on_accept(uint32_t)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(srv.listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;  // EAGAIN, or out of descriptors: the next turn tries again
        }
        char addr[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        std::string name = std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port));
        int limit = srv.config.max_connections > 0 ? srv.config.max_connections : 2 * srv.config.max_sessions + 64;
        if (int(srv.conns.size()) >= limit) {
            log_event("error", ojson{{"peer", name}, {"what", "too many connections"}});
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Conn>();
        c->id = srv.next_conn++;
        c->fd = fd;
        c->peer = name;
        c->last_active = loop_now_ms();
        Conn* cp = c.get();
        srv.conns[fd] = std::move(c);
        watch_conn(cp);
        log_event("accept", ojson{{"conn", cp->id}, {"peer", name}});
    }
}

// ---- idle sweep ----

static void sweep()
{
    int64_t now = loop_now_ms();
    std::vector<std::pair<Conn*, const char*>> idle;
    for (auto& e : srv.conns) {
        Conn* c = e.second.get();
        bool working = c->session && (c->session->busy || !c->session->queue.empty());
        int64_t limit = c->session || c->refused ? srv.config.idle_timeout_ms
                                                 : std::min(srv.config.idle_timeout_ms, LOGIN_TIMEOUT_MS);
        if (!working && now - c->last_active >= limit)
            idle.emplace_back(c, c->session ? "idle" : "no-login");
    }
    for (auto& i : idle) {
        // The handheld notices a closed connection only when a send of its
        // own fails, and a send fails only on a reset: an orderly close
        // would leave it waiting for an answer forever at its next tap.
        // Reset, it shows its own "disconnected" page at once.
        struct linger reset = {1, 0};
        if (i.first->session)
            setsockopt(i.first->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        conn_close(i.first, i.second);
    }
    int64_t next = std::min<int64_t>(SWEEP_MS, std::max<int64_t>(srv.config.idle_timeout_ms / 4, 50));
    loop_timer(srv.loop, next, sweep);
}

// ---- the engine ----

static void schedule_restart();

static bool start_engine(std::string* error)
{
    EngineOptions o;
    o.browser = srv.config.browser;
    // Every request of the engine goes through the proxy, which applies the
    // host map itself: the engine resolves no names of its own.
    o.extra_args = egress_engine_switches();
    for (const auto& a : render_engine_switches())
        o.extra_args.push_back(a);
    int64_t t0 = loop_now_ms();
    if (!engine_start(srv.engine, o, error))
        return false;
    srv.engine.browser_events = session_browser_event;
    srv.engine.on_death = []() {
        srv.engine_up = false;
        log_event("engine-died", ojson{{"sessions", sessions_active()}});
        sessions_engine_lost();
        schedule_restart();
    };
    engine_attach(srv.engine, srv.loop);
    ++srv.engine_gen;
    srv.engine_up = true;
    uint64_t gen = srv.engine_gen;
    engine_call(srv.engine, "Browser.getVersion", json::object(), "", [t0, gen](const json& r, const std::string& err) {
        if (gen != srv.engine_gen)
            return;
        if (!err.empty()) {
            log_event("error", ojson{{"what", "engine does not answer"}, {"error", err}});
            return;
        }
        srv.restart_delay_ms = RESTART_FIRST_MS;
        log_event("engine-start", ojson{{"pid", srv.engine.pid},
                                        {"product", r.value("product", std::string())},
                                        {"ms", loop_now_ms() - t0}});
    });
    engine_call(srv.engine, "Target.setDiscoverTargets", {{"discover", true}}, "", nullptr);
    return true;
}

static void schedule_restart()
{
    if (srv.stopping || srv.restart_timer)
        return;
    int64_t delay = srv.restart_delay_ms;
    srv.restart_delay_ms = std::min(srv.restart_delay_ms * 2, RESTART_LIMIT_MS);
    srv.restart_timer = loop_timer(srv.loop, delay, []() {
        srv.restart_timer = 0;
        std::string error;
        if (!start_engine(&error)) {
            log_event("error", ojson{{"what", "engine restart"}, {"error", error}});
            schedule_restart();
            return;
        }
        sessions_engine_back();
    });
}

// ---- signals ----

static void on_signal(uint32_t)
{
    signalfd_siginfo si;
    while (read(srv.signal_fd, &si, sizeof si) == ssize_t(sizeof si)) {
        if (si.ssi_signo == SIGCHLD) {
            // Reap every child and orphan that ended: the browser and what it
            // started come to us as the child subreaper.
            for (;;) {
                int status = 0;
                pid_t pid = waitpid(-1, &status, WNOHANG);
                if (pid <= 0)
                    break;
                if (pid == srv.engine.pid)
                    engine_child_exited(srv.engine, pid);
            }
        } else {
            srv.stopping = true;
            loop_stop(srv.loop);
        }
    }
}

// ---- start and stop ----

bool server_start(const ServerConfig& config, std::string* error)
{
    srv.config = config;
    if (!config.users_path.empty() && !users_load(config.users_path, &srv.users, error))
        return false;
    if (!config.log_path.empty() && !log_open(config.log_path, error))
        return false;
    if (!srv.users.plain_lines.empty()) {
        std::string lines;
        for (int n : srv.users.plain_lines)
            lines += (lines.empty() ? "" : ", ") + std::to_string(n);
        std::string text = config.users_path + ": " + std::to_string(srv.users.plain_lines.size()) +
                           " password(s) not hashed (line " + lines +
                           "); replace each with the line that corvanta-server --hash-password prints";
        fprintf(stderr, "corvanta-server: warning: %s\n", text.c_str());
        log_event("warning", ojson{{"what", text}});
    }
    if (config.page_timeout_ms >= config.work_limit_ms) {
        // The bound on a page's work would cut every slow page short before
        // its own time-out could say what happened.
        std::string text = "--page-timeout (" + std::to_string(config.page_timeout_ms / 1000) +
                           " s) is not below --max-page-seconds (" + std::to_string(config.work_limit_ms / 1000) +
                           " s): slow pages will be stopped as over the limit";
        fprintf(stderr, "corvanta-server: warning: %s\n", text.c_str());
        log_event("warning", ojson{{"what", text}});
    }
    if (!render_init(error))
        return false;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    srv.signal_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (!loop_init(srv.loop) || srv.signal_fd < 0) {
        *error = std::string("event loop: ") + strerror(errno);
        return false;
    }
    loop_watch(srv.loop, srv.signal_fd, EPOLLIN, on_signal);
    if (!passwords_start(srv.loop, error))
        return false;
    EgressPolicy policy;
    policy.allow = config.allow_hosts;
    policy.host_map = config.host_map;
    if (!egress_start(srv.loop, policy, error))
        return false;

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(config.port));
    if (inet_pton(AF_INET, config.listen.c_str(), &a.sin_addr) != 1) {
        *error = "not an IPv4 address: " + config.listen;
        return false;
    }
    srv.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(srv.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (srv.listen_fd < 0 || bind(srv.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(srv.listen_fd, 128) != 0) {
        *error = "cannot listen on " + config.listen + ":" + std::to_string(config.port) + ": " + strerror(errno);
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(srv.listen_fd, reinterpret_cast<sockaddr*>(&a), &len);
    srv.bound = config.listen + ":" + std::to_string(ntohs(a.sin_port));

    if (!start_engine(error))
        return false;
    // The browser must answer before the server takes connections.
    json r;
    std::string err;
    if (!engine_call_wait(srv.engine, "Browser.getVersion", json::object(), "", &r, &err, 30000)) {
        *error = "the browser engine does not answer: " + err;
        engine_stop(srv.engine);
        return false;
    }
    loop_watch(srv.loop, srv.listen_fd, EPOLLIN, on_accept);
    loop_timer(srv.loop, SWEEP_MS, sweep);
    ojson allowed = ojson::array();
    for (const auto& a : config.allow_hosts)
        allowed.push_back(!a.port ? a.host
                          : a.host.find(':') != std::string::npos ? "[" + a.host + "]:" + std::to_string(a.port)
                                                                      : a.host + ":" + std::to_string(a.port));
    log_event("start", ojson{{"listen", srv.bound},
                             {"max_sessions", config.max_sessions},
                             {"users", srv.users.enabled ? int(srv.users.entries.size()) : -1},
                             {"allow_hosts", allowed},
                             {"egress_port", egress_port()},
                             {"engine", r.value("product", std::string())}});
    return true;
}

void server_run()
{
    printf("listening on %s\n", srv.bound.c_str());
    fflush(stdout);
    loop_run(srv.loop);
}

void server_shutdown()
{
    srv.stopping = true;
    std::vector<Conn*> all;
    for (auto& e : srv.conns)
        all.push_back(e.second.get());
    for (Conn* c : all)
        conn_close(c, "shutdown");
    srv.engine.on_death = nullptr;
    engine_stop(srv.engine);
    egress_stop();
    passwords_stop();
    if (srv.listen_fd >= 0)
        close(srv.listen_fd);
    srv.listen_fd = -1;
    log_event("stop");
    log_close();
    loop_close(srv.loop);
}
