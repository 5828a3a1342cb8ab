// The rendering server's records: the configuration, the connections, the
// sessions and the one global Server record that holds them with the loop
// and the engine.
//
//   client socket ──► Conn (HTTP parser, output buffer) ──► Session (one per login)
//                                                              │ work queue: login, event messages
//                                                              ▼
//                         Engine (one browser; a context + page per session)
//                                                              │ snapshot + capture
//                                                              ▼
//                         render_page ──► answer: [CL] [URL block | BU] page ST
//
// Everything runs on one thread in the loop; a session waits for the engine
// the way a connection waits for its socket. Callbacks find their session
// again by its id, so that one which ended meanwhile is simply not found.
#ifndef CV_SERVER_SERVER_H
#define CV_SERVER_SERVER_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "egress.h"
#include "engine.h"
#include "http.h"
#include "loop.h"
#include "pages.h"
#include "proto.h"
#include "render.h"
#include "users.h"

struct ServerConfig {
    std::string listen = "0.0.0.0";
    int port = 80;
    std::string users_path;          // empty: every login is accepted
    int max_sessions = 50;
    std::string log_path;
    std::string browser = "/usr/bin/chromium-headless-shell";
    std::vector<std::pair<std::string, std::string>> host_map;  // --map-host NAME=ADDRESS
    std::vector<EgressAllow> allow_hosts;                       // --allow-host HOST[:PORT]
    int64_t idle_timeout_ms = 30 * 60 * 1000;
    int64_t page_timeout_ms = 10000;  // a navigation, from the message to its answer
    // Limits of one session's answer: its page stream, the time from the
    // message to the answer, and the pixels of pictures taken from one page
    // state (those beyond are left out).
    size_t answer_limit_bytes = 10u << 20;
    int64_t work_limit_ms = 20000;
    int64_t picture_pixel_limit = 4000000;
    int max_connections = 0;          // 0: derived from max_sessions
};

// One request a session must answer.
enum WorkKind { WORK_LOGIN, WORK_MESSAGE };
struct Work {
    WorkKind kind = WORK_MESSAGE;
    Message msg;
    int64_t arrived_ms = 0;
};

struct Session;

struct Conn {
    uint64_t id = 0;
    int fd = -1;
    std::string peer;
    HttpParser parser;
    std::string out;               // bytes not yet written
    bool want_out = false;         // the loop watches for writability
    bool close_after_flush = false;
    bool tunnelled = false;        // a CONNECT was answered
    bool refused = false;          // the login was refused: every request gets "<ST>"
    bool login_pending = false;    // the login's password is being checked
    Session* session = nullptr;
    int64_t last_active = 0;
};

// What the page's events told since the session's current action began.
struct PageEvents {
    uint64_t doc_seq = 0;          // new documents committed in the main frame
    uint64_t loaded_doc = 0;       // doc_seq of the last load event
    uint64_t same_doc = 0;         // navigations within the document
    bool requested = false;        // a navigation was asked for (link, form, script)
    bool cleared = false;          // a scheduled navigation was dropped
    bool started = false;          // the main frame started loading
    bool loading = false;          // ... and has not stopped
    std::string url;               // the main frame's address
    std::string requested_url;     // where the navigation under way goes
    std::string unreachable;       // the address an error document stands for
    std::string doc_request;       // request id of the main document
    int doc_status = 0;
    std::string doc_status_text;
    std::string doc_error;         // the main document's network error
    std::string doc_egress;        // the engine proxy's own answer for it ("refused", ...)
    std::string refused_url;       // a main-frame load refused for its scheme
    std::string popup_url;         // a window the page tried to open
    std::string download;          // a download the page started (its address)
    std::string download_name;
    bool crashed = false;
};

// How the page the session shows was reached; decides URL block or BU.
enum Via { VIA_LOGIN, VIA_LINK, VIA_TYPED, VIA_HISTORY, VIA_RELOAD, VIA_OWN };

// An own page that stands in a history entry of its own (about:blank).
struct OwnEntry {
    OwnPage kind;
    std::string address, detail;
};

struct Session {
    uint64_t id = 0;
    Conn* conn = nullptr;
    LoginInfo login;
    // The engine side: valid while page_ready and engine_gen is the server's.
    uint64_t engine_gen = 0;
    bool page_ready = false;
    bool lost = false;             // the page was lost (engine or renderer died): show so next
    bool lost_crash = false;       // ... because the page's own renderer crashed
    std::string lost_url;          // ... and the address it was on
    std::string context, target, esession, main_frame;
    PageEvents ev;
    RenderViewport viewport;
    RenderImages images;
    RenderedPage last;
    bool have_last = false;
    nlohmann::json capture_params;  // what the last page state captured (null: nothing)
    std::vector<std::string> notices;  // dialog texts for the next page
    std::map<int64_t, OwnEntry> own_entries;  // history entry id -> own page
    std::string shown_url;         // the address of the page last sent
    // Work: one item at a time; the rest waits in order.
    std::deque<Work> queue;
    bool busy = false;
    Work current;
    uint64_t op = 0;               // bumped by every new operation and cancellation
    uint64_t mark_doc = 0;         // ev.doc_seq when the action in hand began
    uint64_t op_timer = 0;
    int64_t op_deadline = 0;
    std::function<void()> waiter;  // re-checked after every page event
    std::vector<std::pair<const char*, int64_t>> phases;  // steps of the work in hand, ms each
    int64_t phase_mark = 0;
    uint64_t work_seq = 0;         // bumped for every piece of work dispatched
    uint64_t work_timer = 0;       // the bound on the work in hand
    uint64_t pages_sent = 0, bytes_sent = 0;
    int64_t created_ms = 0;
};

struct Server {
    ServerConfig config;
    Users users;
    Loop loop;
    Engine engine;
    uint64_t engine_gen = 0;       // bumped at every (re)start
    bool engine_up = false;
    int64_t restart_delay_ms = 100;
    uint64_t restart_timer = 0;
    int listen_fd = -1;
    int signal_fd = -1;
    bool stopping = false;
    std::unordered_map<int, std::unique_ptr<Conn>> conns;      // by descriptor
    std::map<uint64_t, std::unique_ptr<Session>> sessions;     // by id
    std::unordered_map<std::string, uint64_t> by_context;      // browserContextId -> session id
    uint64_t next_conn = 1, next_session = 1;
    std::string bound;             // "ADDR:PORT" as listening
};

extern Server srv;

// server.cpp
bool server_start(const ServerConfig& config, std::string* error);
void server_run();
void server_shutdown();
// Queues an HTTP response with this page-stream body on the connection.
void conn_answer(Conn* c, const std::string& body);
void conn_close(Conn* c, const char* reason);
Session* session_find(uint64_t id);

// session.cpp
Session* session_create(Conn* c, const LoginInfo& login);
// A message arrived for the session (QT and STP act at once).
void session_message(Session* s, const Message& m, int64_t arrived_ms);
// Ends the session and disposes of its browser context.
void session_end(Session* s, const char* reason);
// The engine died: every session's page is gone.
void sessions_engine_lost();
// The engine is back: sessions with waiting work go on.
void sessions_engine_back();
// A browser-level event about a session's page (popups, downloads).
void session_browser_event(const std::string& method, const nlohmann::json& params);
int sessions_active();

#endif
