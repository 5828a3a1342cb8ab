// The browser engine driver: one headless browser process, driven over the
// DevTools protocol on a pair of pipes.
//
//   server ── to_fd ──► child fd 3   {"id":N,"method":M,"params":{..},"sessionId":S}\0
//   server ◄─ from_fd ── child fd 4  {"id":N,"result":{..}}\0   (or "error")
//                                    {"method":E,"params":{..},"sessionId":S}\0  (events)
//
// The browser runs in its own process group, dies with the server
// (parent-death signal, and the group is killed on stop), and every call has
// a time-out. Two ways of use:
//   - asynchronous, by the server's event loop (engine_attach): engine_call
//     hands the reply to a callback, events go to the handler registered for
//     their session (or to the browser handler);
//   - blocking, by tests, tools and benchmarks (no loop): engine_call_wait and
//     engine_wait_event read the pipe until the reply or event is there, and
//     engine_open_page / engine_load cover the common set-up.
#ifndef CV_SERVER_ENGINE_H
#define CV_SERVER_ENGINE_H

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

struct Loop;

struct EngineOptions {
    std::string browser = "/usr/bin/chromium-headless-shell";
    // Host names the engine resolves to given addresses (NAME, ADDRESS).
    std::vector<std::pair<std::string, std::string>> host_map;
    // Further command-line switches (for instance a proxy of the server's own).
    std::vector<std::string> extra_args;
    // Where the browser's own diagnostics go; empty: nowhere.
    std::string stderr_path;
    // Time-out of a call when the caller gives none.
    int call_timeout_ms = 10000;
};

// A reply: result on success, or an error text (the engine's message, "timeout"
// or "engine stopped") with a null result.
using EngineReply = std::function<void(const nlohmann::json& result, const std::string& error)>;
// An event: its method and params.
using EngineEvent = std::function<void(const std::string& method, const nlohmann::json& params)>;

struct EngineCall {
    EngineReply reply;
    uint64_t timer = 0;     // loop timer of the time-out (asynchronous use)
    int64_t deadline = 0;   // loop_now_ms() deadline (blocking use)
    std::string method;
};

struct Engine {
    EngineOptions options;
    pid_t pid = -1;          // the browser, leader of its own process group
    int to_fd = -1;          // commands (child's fd 3)
    int from_fd = -1;        // replies and events (child's fd 4)
    Loop* loop = nullptr;    // set by engine_attach; null in blocking use
    std::string out;         // bytes not yet written to to_fd
    std::string in;          // bytes read, not yet a whole message
    int64_t next_id = 1;
    std::map<int64_t, EngineCall> calls;
    std::unordered_map<std::string, EngineEvent> sessions;  // event handlers by sessionId
    EngineEvent browser_events;                             // events without a sessionId
    // Called once when the browser is found dead (pipe closed or process
    // gone), after every pending call has failed with "engine stopped".
    std::function<void()> on_death;
    // Blocking use: events of sessions without a handler, oldest first.
    std::deque<std::pair<std::string, nlohmann::json>> backlog;  // (sessionId, whole message)
    int64_t started_ms = 0;
    uint64_t messages_in = 0, bytes_in = 0;
};

// Starts the browser. False with a message when it cannot be started.
bool engine_start(Engine& e, const EngineOptions& options, std::string* error);
// Kills the browser's process group, waits for the browser and fails every
// pending call. Safe to call twice.
void engine_stop(Engine& e);
bool engine_running(const Engine& e);

// Asynchronous use: the loop watches the pipe from now on.
void engine_attach(Engine& e, Loop& loop);
// Sends a call; the reply (or the time-out, or the engine's death) comes to
// reply exactly once. session empty: a browser-level call. timeout_ms 0: the
// default. Returns the call id.
int64_t engine_call(Engine& e, const std::string& method, const nlohmann::json& params,
                    const std::string& session, EngineReply reply, int timeout_ms = 0);
// Forgets a call (its reply will be dropped); the callback is not run.
void engine_forget(Engine& e, int64_t id);
void engine_on_session(Engine& e, const std::string& session, EngineEvent handler);
void engine_drop_session(Engine& e, const std::string& session);
// A reaped child: tells the driver when it was the browser.
void engine_child_exited(Engine& e, pid_t pid);

// Blocking use. False with the error text on failure or time-out.
bool engine_call_wait(Engine& e, const std::string& method, const nlohmann::json& params,
                      const std::string& session, nlohmann::json* result, std::string* error,
                      int timeout_ms = 0);
// Waits for an event of the session (empty: browser-level) with this method;
// earlier events of other kinds stay in the backlog. params may be null.
bool engine_wait_event(Engine& e, const std::string& session, const std::string& method,
                       int timeout_ms, nlohmann::json* params);
// Reads and dispatches whatever the browser has sent, waiting at most
// wait_ms. False once the browser is gone.
bool engine_pump(Engine& e, int wait_ms);

// A page of its own browser context, for blocking use.
struct EnginePage {
    std::string context;   // browserContextId
    std::string target;    // targetId (also the main frame's id)
    std::string session;   // sessionId of the flattened attachment
};
// Creates a context with one page, attaches, enables Page and Runtime and
// sets the viewport; the scripts are added for every new document.
bool engine_open_page(Engine& e, int width, int height, const std::vector<std::string>& scripts,
                      EnginePage* page, std::string* error);
// Navigates and waits for the load event.
bool engine_load(Engine& e, const EnginePage& page, const std::string& url, std::string* error,
                 int timeout_ms = 10000);
void engine_close_page(Engine& e, const EnginePage& page);

// The browser's command line for these options (without the program).
std::vector<std::string> engine_arguments(const EngineOptions& options);
// Standard base64 (screenshots); invalid characters are skipped.
std::string engine_base64_decode(const std::string& text);

#endif
