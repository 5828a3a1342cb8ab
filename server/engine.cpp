// The browser engine driver: process, pipes, calls and events.
#include "engine.h"

#include "loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using nlohmann::json;

// Events kept for blocking callers before the oldest are dropped.
static const size_t BACKLOG_LIMIT = 20000;
// Bytes read from the pipe in one go.
static const size_t READ_CHUNK = 1 << 20;

std::vector<std::string> engine_arguments(const EngineOptions& options)
{
    std::vector<std::string> args = {
        "--no-sandbox",
        "--remote-debugging-pipe",
        "--disable-gpu",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-extensions",
        "--disable-default-apps",
        "--mute-audio",
        // Captured pixels are the page's own colours, whatever the machine.
        "--force-color-profile=srgb",
        // A navigation keeps its renderer process and frame instead of
        // building new ones (measured: 83 -> 51 ms of processor time for a
        // local page); history steps reload anyway, so nothing is cached.
        "--disable-features=ProactivelySwapBrowsingInstance,RenderDocument,BackForwardCache",
    };
    if (!options.host_map.empty()) {
        std::string rules;
        for (const auto& m : options.host_map) {
            if (!rules.empty())
                rules += ",";
            rules += "MAP " + m.first + " " + m.second;
        }
        args.push_back("--host-resolver-rules=" + rules);
    }
    for (const auto& a : options.extra_args)
        args.push_back(a);
    return args;
}

static void set_nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] static void exec_child(const EngineOptions& options, char* const argv[], int cmd_r, int evt_w,
                                    int err_w, pid_t parent)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);  // the server died before we got here
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s)
        signal(s, SIG_DFL);
    // Move the pipe ends out of the way first, so that placing them on 3 and
    // 4 cannot overwrite one with the other.
    int a = fcntl(cmd_r, F_DUPFD, 16);
    int b = fcntl(evt_w, F_DUPFD, 16);
    int e = fcntl(err_w, F_DUPFD_CLOEXEC, 16);
    int null_in = open("/dev/null", O_RDONLY);
    const char* errpath = options.stderr_path.empty() ? "/dev/null" : options.stderr_path.c_str();
    int errfd = open(errpath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errfd < 0)
        errfd = open("/dev/null", O_WRONLY);
    if (a < 0 || b < 0 || e < 0 || null_in < 0 || errfd < 0)
        _exit(127);
    dup2(null_in, 0);
    dup2(errfd, 1);
    dup2(errfd, 2);
    dup2(a, 3);
    dup2(b, 4);
    // Everything else the server had open stays behind, but the error pipe
    // (close-on-exec) that tells the parent whether exec worked.
    for (int fd = 5; fd < 1024; ++fd)
        if (fd != e)
            close(fd);
    execv(argv[0], argv);
    int err = errno;
    if (write(e, &err, sizeof err) < 0)
        _exit(127);
    _exit(127);
}

bool engine_start(Engine& e, const EngineOptions& options, std::string* error)
{
    if (e.pid > 0)
        engine_stop(e);
    e.options = options;
    // A browser that dies leaves a closed pipe; writing to it must be an
    // error to handle, not a signal that ends this process.
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
    int cmd[2], evt[2], err[2];
    if (pipe2(cmd, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    if (pipe2(evt, O_CLOEXEC) != 0) {
        close(cmd[0]);
        close(cmd[1]);
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {cmd[0], cmd[1], evt[0], evt[1]})
            close(fd);
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    std::vector<std::string> args = engine_arguments(options);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.browser.c_str()));
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {cmd[0], cmd[1], evt[0], evt[1], err[0], err[1]})
            close(fd);
        *error = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (pid == 0)
        exec_child(options, argv.data(), cmd[0], evt[1], err[1], parent);
    // Also from here, so that the group exists before anyone signals it.
    setpgid(pid, pid);
    close(cmd[0]);
    close(evt[1]);
    close(err[1]);
    int child_errno = 0;
    ssize_t n;
    do {
        n = read(err[0], &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    close(err[0]);
    if (n > 0) {
        waitpid(pid, nullptr, 0);
        close(cmd[1]);
        close(evt[0]);
        *error = "cannot start " + options.browser + ": " + strerror(child_errno);
        return false;
    }
    e.pid = pid;
    e.to_fd = cmd[1];
    e.from_fd = evt[0];
    set_nonblocking(e.to_fd);
    set_nonblocking(e.from_fd);
    e.out.clear();
    e.in.clear();
    e.backlog.clear();
    e.started_ms = loop_now_ms();
    return true;
}

bool engine_running(const Engine& e)
{
    return e.from_fd >= 0;
}

// Fails every pending call with the text; the callbacks may start new calls.
static void fail_all(Engine& e, const std::string& text)
{
    std::map<int64_t, EngineCall> calls;
    calls.swap(e.calls);
    for (auto& c : calls) {
        if (e.loop && c.second.timer)
            loop_cancel(*e.loop, c.second.timer);
    }
    for (auto& c : calls)
        if (c.second.reply)
            c.second.reply(json(), text);
}

static void close_pipes(Engine& e)
{
    if (e.loop) {
        if (e.from_fd >= 0)
            loop_unwatch(*e.loop, e.from_fd);
        if (e.to_fd >= 0)
            loop_unwatch(*e.loop, e.to_fd);
    }
    if (e.from_fd >= 0)
        close(e.from_fd);
    if (e.to_fd >= 0)
        close(e.to_fd);
    e.from_fd = e.to_fd = -1;
    e.out.clear();
    e.in.clear();
}

// The browser is gone (or must go): its whole group is killed, the pipes
// closed, every call failed, and the owner told once.
static void engine_died(Engine& e)
{
    if (e.from_fd < 0 && e.to_fd < 0)
        return;
    if (e.pid > 0)
        kill(-e.pid, SIGKILL);
    close_pipes(e);
    e.sessions.clear();
    fail_all(e, "engine stopped");
    if (e.on_death)
        e.on_death();
}

void engine_stop(Engine& e)
{
    if (e.pid > 0) {
        kill(-e.pid, SIGKILL);
        kill(e.pid, SIGKILL);
        // The browser dies at once on SIGKILL; this wait is for its exit status.
        waitpid(e.pid, nullptr, 0);
    }
    e.pid = -1;
    std::function<void()> keep = std::move(e.on_death);
    e.on_death = nullptr;
    close_pipes(e);
    e.sessions.clear();
    fail_all(e, "engine stopped");
    e.backlog.clear();
    e.on_death = std::move(keep);
}

void engine_child_exited(Engine& e, pid_t pid)
{
    if (pid <= 0 || pid != e.pid)
        return;
    // Keep the group id for the kill in engine_died; the leader is reaped.
    engine_died(e);
    e.pid = -1;
}

// ---- writing ----

static void want_write(Engine& e, bool on);

// Writes what it can; the rest waits for the pipe to drain.
static bool flush_out(Engine& e)
{
    while (!e.out.empty()) {
        ssize_t n = write(e.to_fd, e.out.data(), e.out.size());
        if (n > 0) {
            e.out.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false;  // the browser closed its end
    }
    return true;
}

static void on_readable(Engine& e);

static void on_pipe_event(Engine& e, int fd, uint32_t events)
{
    if (fd == e.from_fd) {
        on_readable(e);
        return;
    }
    if (fd == e.to_fd) {
        if (events & (EPOLLERR | EPOLLHUP)) {
            engine_died(e);
            return;
        }
        if (!flush_out(e)) {
            engine_died(e);
            return;
        }
        want_write(e, !e.out.empty());
    }
}

static void want_write(Engine& e, bool on)
{
    if (!e.loop || e.to_fd < 0)
        return;
    if (on) {
        Engine* ep = &e;
        int fd = e.to_fd;
        if (!e.loop->fds.count(fd))
            loop_watch(*e.loop, fd, EPOLLOUT, [ep, fd](uint32_t ev) { on_pipe_event(*ep, fd, ev); });
    } else {
        loop_unwatch(*e.loop, e.to_fd);
    }
}

// ---- reading ----

static void dispatch(Engine& e, const std::string& text)
{
    json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded() || !msg.is_object())
        return;  // not JSON: nothing to route it to
    ++e.messages_in;
    auto id = msg.find("id");
    if (id != msg.end() && id->is_number_integer()) {
        auto it = e.calls.find(id->get<int64_t>());
        if (it == e.calls.end())
            return;  // forgotten or timed out
        EngineCall call = std::move(it->second);
        e.calls.erase(it);
        if (e.loop && call.timer)
            loop_cancel(*e.loop, call.timer);
        if (!call.reply)
            return;
        auto err = msg.find("error");
        if (err != msg.end()) {
            std::string t = err->value("message", std::string("error"));
            if (err->contains("data") && (*err)["data"].is_string())
                t += ": " + (*err)["data"].get<std::string>();
            call.reply(json(), t);
        } else {
            call.reply(msg.value("result", json::object()), std::string());
        }
        return;
    }
    std::string method = msg.value("method", std::string());
    std::string session = msg.value("sessionId", std::string());
    const json& params = msg.contains("params") ? msg["params"] : json::object();
    if (!session.empty()) {
        auto h = e.sessions.find(session);
        if (h != e.sessions.end()) {
            EngineEvent handler = h->second;  // a copy: the handler may drop itself
            handler(method, params);
            return;
        }
    } else if (e.browser_events) {
        EngineEvent handler = e.browser_events;
        handler(method, params);
        return;
    }
    if (!e.loop) {
        e.backlog.emplace_back(session, std::move(msg));
        if (e.backlog.size() > BACKLOG_LIMIT)
            e.backlog.pop_front();
    }
}

// Reads what is there and dispatches every whole message. Returns false when
// the browser closed its end.
static bool read_some(Engine& e)
{
    char buf[65536];
    size_t got = 0;
    bool alive = true;
    while (got < READ_CHUNK) {
        ssize_t n = read(e.from_fd, buf, sizeof buf);
        if (n > 0) {
            e.in.append(buf, size_t(n));
            got += size_t(n);
            e.bytes_in += uint64_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        alive = false;  // end of file or a real error
        break;
    }
    size_t start = 0;
    for (;;) {
        size_t nul = e.in.find('\0', start);
        if (nul == std::string::npos)
            break;
        std::string text = e.in.substr(start, nul - start);
        start = nul + 1;
        dispatch(e, text);
        if (e.from_fd < 0)
            return false;  // a handler stopped the engine
    }
    e.in.erase(0, start);
    return alive;
}

static void on_readable(Engine& e)
{
    if (e.from_fd < 0)
        return;
    if (!read_some(e))
        engine_died(e);
}

void engine_attach(Engine& e, Loop& loop)
{
    e.loop = &loop;
    Engine* ep = &e;
    int fd = e.from_fd;
    loop_watch(loop, fd, EPOLLIN, [ep, fd](uint32_t ev) { on_pipe_event(*ep, fd, ev); });
    want_write(e, !e.out.empty());
}

int64_t engine_call(Engine& e, const std::string& method, const json& params, const std::string& session,
                    EngineReply reply, int timeout_ms)
{
    int64_t id = e.next_id++;
    if (timeout_ms <= 0)
        timeout_ms = e.options.call_timeout_ms;
    if (e.to_fd < 0) {
        // No browser: the reply still comes, but never from inside this call.
        if (e.loop) {
            loop_timer(*e.loop, 0, [reply]() {
                if (reply)
                    reply(json(), "engine stopped");
            });
        } else if (reply) {
            reply(json(), "engine stopped");
        }
        return id;
    }
    json msg = {{"id", id}, {"method", method}, {"params", params.is_null() ? json::object() : params}};
    if (!session.empty())
        msg["sessionId"] = session;
    e.out += msg.dump(-1, ' ', false, json::error_handler_t::replace);
    e.out.push_back('\0');
    EngineCall call;
    call.reply = std::move(reply);
    call.method = method;
    call.deadline = loop_now_ms() + timeout_ms;
    if (e.loop) {
        Engine* ep = &e;
        call.timer = loop_timer(*e.loop, timeout_ms, [ep, id]() {
            auto it = ep->calls.find(id);
            if (it == ep->calls.end())
                return;
            EngineReply r = std::move(it->second.reply);
            ep->calls.erase(it);
            if (r)
                r(json(), "timeout");
        });
    }
    e.calls.emplace(id, std::move(call));
    if (!flush_out(e)) {
        if (e.loop) {
            // Died under our hands: report it from the loop, not from here.
            Engine* ep = &e;
            loop_timer(*e.loop, 0, [ep]() { engine_died(*ep); });
        }
    } else {
        want_write(e, !e.out.empty());
    }
    return id;
}

void engine_forget(Engine& e, int64_t id)
{
    auto it = e.calls.find(id);
    if (it == e.calls.end())
        return;
    if (e.loop && it->second.timer)
        loop_cancel(*e.loop, it->second.timer);
    e.calls.erase(it);
}

void engine_on_session(Engine& e, const std::string& session, EngineEvent handler)
{
    e.sessions[session] = std::move(handler);
}

void engine_drop_session(Engine& e, const std::string& session)
{
    e.sessions.erase(session);
}

// ---- blocking use ----

bool engine_pump(Engine& e, int wait_ms)
{
    if (e.from_fd < 0)
        return false;
    pollfd p[2];
    int n = 0;
    p[n++] = {e.from_fd, POLLIN, 0};
    if (!e.out.empty())
        p[n++] = {e.to_fd, POLLOUT, 0};
    int r = poll(p, nfds_t(n), wait_ms < 0 ? 0 : wait_ms);
    if (r < 0)
        return errno == EINTR;
    if (n == 2 && (p[1].revents & POLLOUT)) {
        if (!flush_out(e)) {
            engine_died(e);
            return false;
        }
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!read_some(e)) {
            engine_died(e);
            return false;
        }
    }
    return e.from_fd >= 0;
}

bool engine_call_wait(Engine& e, const std::string& method, const json& params, const std::string& session,
                      json* result, std::string* error, int timeout_ms)
{
    if (timeout_ms <= 0)
        timeout_ms = e.options.call_timeout_ms;
    bool done = false;
    bool ok = false;
    std::string err;
    json res;
    int64_t id = engine_call(e, method, params, session,
                             [&](const json& r, const std::string& t) {
                                 done = true;
                                 ok = t.empty();
                                 err = t;
                                 res = r;
                             },
                             timeout_ms);
    int64_t deadline = loop_now_ms() + timeout_ms;
    while (!done) {
        int64_t left = deadline - loop_now_ms();
        if (left <= 0) {
            engine_forget(e, id);
            err = "timeout";
            break;
        }
        if (!engine_pump(e, int(left)) && !done) {
            err = "engine stopped";
            break;
        }
    }
    if (error)
        *error = err;
    if (result)
        *result = std::move(res);
    return ok;
}

static bool take_event(Engine& e, const std::string& session, const std::string& method, json* params)
{
    for (auto it = e.backlog.begin(); it != e.backlog.end(); ++it) {
        if (it->first == session && it->second.value("method", std::string()) == method) {
            if (params)
                *params = it->second.value("params", json::object());
            e.backlog.erase(it);
            return true;
        }
    }
    return false;
}

bool engine_wait_event(Engine& e, const std::string& session, const std::string& method, int timeout_ms,
                       json* params)
{
    int64_t deadline = loop_now_ms() + timeout_ms;
    for (;;) {
        if (take_event(e, session, method, params))
            return true;
        int64_t left = deadline - loop_now_ms();
        if (left <= 0)
            return false;
        if (!engine_pump(e, int(left)))
            return take_event(e, session, method, params);
    }
}

bool engine_open_page(Engine& e, int width, int height, const std::vector<std::string>& scripts, EnginePage* page,
                      std::string* error)
{
    json r;
    if (!engine_call_wait(e, "Target.createBrowserContext", {{"disposeOnDetach", true}}, "", &r, error))
        return false;
    page->context = r.value("browserContextId", std::string());
    if (!engine_call_wait(e, "Target.createTarget", {{"url", "about:blank"}, {"browserContextId", page->context}},
                          "", &r, error))
        return false;
    page->target = r.value("targetId", std::string());
    if (!engine_call_wait(e, "Target.attachToTarget", {{"targetId", page->target}, {"flatten", true}}, "", &r,
                          error))
        return false;
    page->session = r.value("sessionId", std::string());
    const std::string& s = page->session;
    if (!engine_call_wait(e, "Page.enable", json::object(), s, nullptr, error) ||
        !engine_call_wait(e, "Runtime.enable", json::object(), s, nullptr, error) ||
        !engine_call_wait(e, "Emulation.setDeviceMetricsOverride",
                          {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, s,
                          nullptr, error))
        return false;
    for (const auto& script : scripts)
        if (!engine_call_wait(e, "Page.addScriptToEvaluateOnNewDocument", {{"source", script}}, s, nullptr, error))
            return false;
    return true;
}

bool engine_load(Engine& e, const EnginePage& page, const std::string& url, std::string* error, int timeout_ms)
{
    // Load events of earlier navigations must not end this wait.
    for (auto it = e.backlog.begin(); it != e.backlog.end();) {
        if (it->first == page.session && it->second.value("method", std::string()) == "Page.loadEventFired")
            it = e.backlog.erase(it);
        else
            ++it;
    }
    json r;
    if (!engine_call_wait(e, "Page.navigate", {{"url", url}}, page.session, &r, error, timeout_ms))
        return false;
    if (r.contains("errorText") && r["errorText"].is_string()) {
        *error = r["errorText"].get<std::string>();
        return false;
    }
    if (!engine_wait_event(e, page.session, "Page.loadEventFired", timeout_ms, nullptr)) {
        *error = "timeout";
        return false;
    }
    return true;
}

void engine_close_page(Engine& e, const EnginePage& page)
{
    std::string error;
    engine_call_wait(e, "Target.disposeBrowserContext", {{"browserContextId", page.context}}, "", nullptr, &error);
    for (auto it = e.backlog.begin(); it != e.backlog.end();) {
        if (it->first == page.session)
            it = e.backlog.erase(it);
        else
            ++it;
    }
}

std::string engine_base64_decode(const std::string& text)
{
    static int8_t table[256];
    static bool ready = false;
    if (!ready) {
        memset(table, -1, sizeof table);
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            table[uint8_t(a[i])] = int8_t(i);
        ready = true;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : text) {
        int v = table[c];
        if (v < 0)
            continue;  // padding, line breaks
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((acc >> bits) & 0xff));
        }
    }
    return out;
}
