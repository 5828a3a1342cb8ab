// Sessions: one login, one browser context with one page, and the work of
// answering the handheld's messages.
//
// A session does one piece of work at a time (the handheld sends its next
// message only after an answer ended, but the stop and quit messages may
// come at any time). Each piece is a chain of engine calls; every callback
// checks that its session still exists and that the operation it belongs to
// (s->op) is still the current one, so that a stop, the engine's death or
// the end of the session simply leaves stale replies unanswered.
//
//   login      set-up ─► start page | navigate(start address)
//   MC         click ─► after-action: navigation? wait for it : settle ─► render
//   TF TA LM DM set the control's value, fire input and change ─► after-action
//   PG* SC     scroll ─► settle ─► render
//   URL        navigate(typed) ─► render with BU
//   BA FO RF   history entry / reload ─► render
//   ZU ZD      viewport 480x360 / 640x480 ─► render as a new page
//   STP        stop loading ─► render what is there (answers the work in hand), then <ST>
//   QT         end
#include "server.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "log.h"
#include "pagewriter.h"
#include "pictures.h"

using nlohmann::json;
using ojson = nlohmann::ordered_json;

// Quiet time without changes to the page before it counts as settled, and
// the longest the settling may take, in milliseconds.
static const int SETTLE_QUIET_MS = 15;
static const int SETTLE_LIMIT_MS = 300;
static const int SCROLL_QUIET_MS = 10;
static const int SCROLL_LIMIT_MS = 100;
// After a click that started nothing at once, this long is given to what
// scripts do a moment later (a navigation on a short timer, a download).
static const int ACTION_MIN_MS = 100;
// A navigation asked for that does not start within this time was dropped.
static const int64_t NAV_START_MS = 2000;
// The longest the picture limit waits for the size of a style picture that
// is still arriving; one not there by then is counted in the next page state.
static const int PICTURE_SIZE_WAIT_MS = 500;
// Longest address given to the handheld's history in a URL block.
static const size_t URL_BLOCK_MAX = 1000;
// Messages queued behind the work in hand before the client counts as broken.
static const size_t QUEUE_LIMIT = 16;

// The session's own script for every new document: links and forms that
// would open a new window open in the page itself.
static const char* const OWN_SCRIPT = R"JS((function () {
  if (window.__cvSameWindow) return;
  window.__cvSameWindow = true;
  function same(el) {
    if (el && el.getAttribute && /^_(blank|new)$/i.test(el.getAttribute('target') || '')) el.setAttribute('target', '_self');
  }
  document.addEventListener('click', function (e) {
    for (var t = e.target; t && t.nodeType === 1; t = t.parentNode)
      if (t.tagName === 'A' || t.tagName === 'AREA') { same(t); break; }
  }, true);
  document.addEventListener('submit', function (e) { same(e.target); }, true);
  // Short timers a page sets (a navigation or a change "a moment later")
  // are counted until they fire, so that the wait after a tap can include
  // them; the server's own waiting uses the timer functions unwrapped.
  var st = window.setTimeout, ct = window.clearTimeout, pending = {};
  window.__cvSetTimeout = st;
  window.__cvTimers = 0;
  window.__cvTimerFired = 0;
  window.setTimeout = function (fn, ms) {
    var d = Number(ms) || 0;
    if (typeof fn !== 'function' || d > 300) return st.apply(window, arguments);  // longer than the wait after a tap
    var args = Array.prototype.slice.call(arguments, 2), id;
    id = st.call(window, function () {
      if (pending[id]) { delete pending[id]; window.__cvTimers--; }
      window.__cvTimerFired = Date.now();
      return fn.apply(this, args);
    }, d);
    pending[id] = true;
    window.__cvTimers++;
    return id;
  };
  window.clearTimeout = function (id) {
    if (pending[id]) { delete pending[id]; window.__cvTimers--; }
    return ct.call(window, id);
  };
})();)JS";

// A promise that resolves once the page has had no change for `quiet` ms
// (and `least` ms have passed), or after `limit` ms. With timers, short
// timers the page has pending hold it too, and one that fired counts as a
// change: what a tap starts a moment later belongs to the tap.
static std::string settle_expression(int quiet, int least, int limit, bool timers = false)
{
    std::string busy = timers ? " || window.__cvTimers > 0" : "";
    std::string fired = timers ? " last = Math.max(last, window.__cvTimerFired || 0);" : "";
    return "new Promise(function (resolve) {"
           " var later = window.__cvSetTimeout || setTimeout;"
           " var start = Date.now(), last = start, done = false, least = " + std::to_string(least) + ";"
           " var mo = new MutationObserver(function () { last = Date.now(); });"
           " function finish() { if (!done) { done = true; mo.disconnect(); resolve(Date.now() - start); } }"
           " mo.observe(document, {subtree: true, childList: true, attributes: true, characterData: true});"
           " later(finish, " + std::to_string(limit) + ");"
           " function tick() { var now = Date.now();" + fired +
           " if (now - last >= " + std::to_string(quiet) + " && now - start >= least && !(false" + busy + ")) finish();"
           " else later(tick, 5); }"
           " (document.fonts ? document.fonts.ready : Promise.resolve()).then(function () { later(tick, " +
           std::to_string(quiet) + "); });"
           "})";
}

static const char* const SET_TEXT_FUNCTION =
    "function (v) { this.focus(); this.value = v;"
    " this.dispatchEvent(new Event('input', {bubbles: true}));"
    " this.dispatchEvent(new Event('change', {bubbles: true})); }";
static const char* const SET_OPTION_FUNCTION =
    "function (i) { if (i < 0 || i >= this.options.length) return false;"
    " if (this.multiple) { for (var k = 0; k < this.options.length; k++) this.options[k].selected = (k === i); }"
    " else this.selectedIndex = i;"
    " this.dispatchEvent(new Event('input', {bubbles: true}));"
    " this.dispatchEvent(new Event('change', {bubbles: true})); return true; }";

using Then = std::function<void(Session*)>;
using ThenResult = std::function<void(Session*, const json& result, const std::string& error)>;

static void start_next(Session* s);
static void dispatch(Session* s);
static void finish(Session* s, const std::string& body, const char* outcome);
static std::string text_answer(const std::vector<std::string>& lines);
static void finish_text(Session* s, const std::vector<std::string>& lines, const char* outcome);
static void render_now(Session* s, bool new_page, Via via, const std::string& address, int quiet = 0, int limit = 0);
static void show_own(Session* s, OwnPage kind, const std::string& address, const std::string& detail, bool replace);

// Only web addresses are opened for the handheld: a "file:" address would
// read the server's own files, "javascript:" would run in the page, and
// "data:", "blob:", "view-source:" and the engine's own schemes are not
// pages of the web. about:blank is the server's own pages' document.
static bool web_address(const std::string& url)
{
    size_t colon = url.find(':');
    if (colon == std::string::npos)
        return false;
    std::string scheme = url.substr(0, colon);
    for (auto& c : scheme)
        c = char(tolower((unsigned char)c));
    return ((scheme == "http" || scheme == "https") && url.compare(colon, 3, "://") == 0);
}

// Documents that are no address of the user's: the server's own pages'
// document, and the engine's stand-in for a page that failed to load (the
// failure itself is told by the navigation's error and shown by an own page).
static bool own_document(const std::string& url)
{
    return url == "about:blank" || url == "about:srcdoc" || url.compare(0, 15, "chrome-error://") == 0;
}

Session* session_find(uint64_t id)
{
    auto it = srv.sessions.find(id);
    return it == srv.sessions.end() ? nullptr : it->second.get();
}

int sessions_active()
{
    return int(srv.sessions.size());
}

// ---- engine calls bound to the operation in hand ----

static void call(Session* s, const std::string& method, const json& params, ThenResult then, int timeout_ms = 0)
{
    uint64_t id = s->id, op = s->op, gen = s->engine_gen;
    engine_call(srv.engine, method, params, s->esession,
                [id, op, gen, then](const json& r, const std::string& err) {
                    Session* s = session_find(id);
                    if (!s || s->op != op || s->engine_gen != gen || !s->page_ready)
                        return;  // stale: the work it belonged to is over
                    then(s, r, err);
                },
                timeout_ms);
}

// A call whose failure ends the work with an error page; then runs on success.
static void step(Session* s, const std::string& method, const json& params, ThenResult then, int timeout_ms = 0)
{
    call(s, method, params,
         [method, then](Session* s, const json& r, const std::string& err) {
             if (!err.empty()) {
                 log_event("error", ojson{{"session", s->id}, {"what", "engine"}, {"method", method}, {"error", err}});
                 if (err == "engine stopped")
                     return;  // the engine's death is handled for every session at once
                 finish_text(s, {"The page could not be shown.", "(" + method + ": " + err + ")"}, "engine-error");
                 return;
             }
             then(s, r, err);
         },
         timeout_ms);
}

// Several calls sent at once (the engine runs them in order); then runs after
// the last reply. A failure of any ends the work like step.
static void steps(Session* s, const std::vector<std::pair<std::string, json>>& calls, Then then)
{
    auto left = std::make_shared<size_t>(calls.size());
    auto failed = std::make_shared<bool>(false);
    for (const auto& c : calls) {
        std::string method = c.first;
        call(s, c.first, c.second, [left, failed, method, then](Session* s, const json&, const std::string& err) {
            if (*failed)
                return;
            if (!err.empty()) {
                *failed = true;
                log_event("error", ojson{{"session", s->id}, {"what", "engine"}, {"method", method}, {"error", err}});
                if (err != "engine stopped")
                    finish_text(s, {"The page could not be shown.", "(" + method + ": " + err + ")"}, "engine-error");
                return;
            }
            if (--*left == 0)
                then(s);
        });
    }
}

// ---- waiting for page events ----

static void clear_wait(Session* s)
{
    s->waiter = nullptr;
    if (s->op_timer) {
        loop_cancel(srv.loop, s->op_timer);
        s->op_timer = 0;
    }
}

// Runs then(false) as soon as ready() holds after a page event, or then(true)
// at the deadline.
static void wait_until(Session* s, std::function<bool(Session*)> ready, std::function<void(Session*, bool)> then,
                       int64_t deadline)
{
    clear_wait(s);
    uint64_t id = s->id, op = s->op;
    s->waiter = [id, op, ready, then]() {
        Session* s = session_find(id);
        if (!s || s->op != op || !ready(s))
            return;
        clear_wait(s);
        then(s, false);
    };
    int64_t delay = deadline - loop_now_ms();
    s->op_timer = loop_timer(srv.loop, delay, [id, op, then]() {
        Session* s = session_find(id);
        if (!s || s->op != op)
            return;
        s->op_timer = 0;
        s->waiter = nullptr;
        then(s, true);
    });
    std::function<void()> w = s->waiter;
    w();
}

// ---- the page's events ----

static bool is_main(Session* s, const json& p, const char* key = "frameId")
{
    return p.value(key, std::string()) == s->main_frame;
}

// The main frame asked for (or got) an address of a scheme that is not
// opened: it is stopped at once, and the navigation's end shows the page
// that says so.
static void note_refused(Session* s, const std::string& url)
{
    if (web_address(url) || own_document(url) || !s->ev.refused_url.empty())
        return;
    s->ev.refused_url = url;
    engine_call(srv.engine, "Page.stopLoading", json::object(), s->esession, nullptr);
}

static void page_event(uint64_t id, const std::string& method, const json& p)
{
    Session* s = session_find(id);
    if (!s)
        return;
    PageEvents& ev = s->ev;
    if (method == "Page.frameRequestedNavigation" || method == "Page.frameScheduledNavigation") {
        if (is_main(s, p)) {
            ev.requested = true;
            ev.requested_url = p.value("url", ev.requested_url);
            note_refused(s, ev.requested_url);
        }
    } else if (method == "Page.frameClearedScheduledNavigation") {
        if (is_main(s, p))
            ev.cleared = true;
    } else if (method == "Page.frameStartedNavigating" || method == "Page.frameStartedLoading") {
        if (is_main(s, p)) {
            ev.started = ev.loading = true;
            ev.requested_url = p.value("url", ev.requested_url);
            note_refused(s, ev.requested_url);
        }
    } else if (method == "Page.frameStoppedLoading") {
        if (is_main(s, p))
            ev.loading = false;
    } else if (method == "Page.frameNavigated") {
        const json& f = p.contains("frame") ? p["frame"] : json::object();
        if (!f.contains("parentId")) {
            s->main_frame = f.value("id", s->main_frame);
            ++ev.doc_seq;
            ev.url = f.value("url", std::string());
            ev.unreachable = f.value("unreachableUrl", std::string());
            note_refused(s, ev.url);
        }
    } else if (method == "Page.navigatedWithinDocument") {
        if (is_main(s, p)) {
            ++ev.same_doc;
            ev.url = p.value("url", ev.url);
        }
    } else if (method == "Page.loadEventFired") {
        ev.loaded_doc = ev.doc_seq;
    } else if (method == "Page.javascriptDialogOpening") {
        // Answered at once (OK), as the page cannot go on until it is; the
        // text is shown at the top of the next page.
        std::string type = p.value("type", std::string());
        json params = {{"accept", true}};
        if (type == "prompt")
            params["promptText"] = p.value("defaultPrompt", std::string());
        engine_call(srv.engine, "Page.handleJavaScriptDialog", params, s->esession, nullptr);
        std::string text = p.value("message", std::string());
        if (type != "beforeunload" && !text.empty() && s->notices.size() < 4)
            s->notices.push_back(text.size() > 300 ? text.substr(0, 300) : text);
        log_event("dialog", ojson{{"session", s->id}, {"type", type}, {"text", text}});
    } else if (method == "Page.windowOpen") {
        if (ev.popup_url.empty())
            ev.popup_url = p.value("url", std::string());
    } else if (method == "Page.downloadWillBegin") {
        if (is_main(s, p) && ev.download.empty()) {
            ev.download = p.value("url", std::string("(unknown)"));
            ev.download_name = p.value("suggestedFilename", std::string());
        }
    } else if (method == "Network.requestWillBeSent") {
        if (p.value("type", std::string()) == "Document" && is_main(s, p)) {
            ev.doc_request = p.value("requestId", std::string());
            ev.doc_status = 0;
            ev.doc_status_text.clear();
            ev.doc_error.clear();
            ev.doc_egress.clear();
        }
    } else if (method == "Network.responseReceived") {
        if (p.value("requestId", std::string()) == ev.doc_request && p.contains("response")) {
            const json& r = p["response"];
            ev.doc_status = r.value("status", 0);
            ev.doc_status_text = r.value("statusText", std::string());
            // The engine proxy's own answer (a site's header of that name
            // never gets this far).
            if (r.contains("headers") && r["headers"].is_object())
                for (const auto& h : r["headers"].items())
                    if (strcasecmp(h.key().c_str(), "X-Corvanta-Egress") == 0 && h.value().is_string())
                        ev.doc_egress = h.value().get<std::string>();
        }
    } else if (method == "Network.loadingFailed") {
        if (p.value("requestId", std::string()) == ev.doc_request && !p.value("canceled", false))
            ev.doc_error = p.value("errorText", std::string());
    } else if (method == "Inspector.targetCrashed") {
        ev.crashed = true;
        log_event("error", ojson{{"session", s->id}, {"what", "renderer crashed"}});
    }
    if (ev.crashed) {
        // The page's renderer is gone: the session starts over on a new page.
        s->lost = true;
        s->lost_crash = true;
        s->lost_url = !s->ev.url.empty() && web_address(s->ev.url) ? s->ev.url : s->shown_url;
        s->page_ready = false;
        clear_wait(s);
        ++s->op;
        if (s->busy) {
            s->queue.push_front(s->current);
            s->busy = false;
        }
        std::string ctx = s->context;
        srv.by_context.erase(ctx);
        engine_drop_session(srv.engine, s->esession);
        engine_call(srv.engine, "Target.disposeBrowserContext", {{"browserContextId", ctx}}, "", nullptr);
        start_next(s);
        return;
    }
    if (s->waiter) {
        std::function<void()> w = s->waiter;
        w();
    }
}

void session_browser_event(const std::string& method, const json& p)
{
    if (method == "Target.targetCreated" || method == "Target.targetInfoChanged") {
        const json& t = p.contains("targetInfo") ? p["targetInfo"] : json::object();
        auto it = srv.by_context.find(t.value("browserContextId", std::string()));
        if (it == srv.by_context.end() || t.value("type", std::string()) != "page")
            return;
        Session* s = session_find(it->second);
        std::string target = t.value("targetId", std::string());
        // Before the session's own page is attached, its creation is all
        // there is to see.
        if (!s || !s->page_ready || target == s->target)
            return;
        // A second window in the session's context: its address goes to the
        // session's page and the window is closed.
        std::string url = t.value("url", std::string());
        if (s->ev.popup_url.empty() && !url.empty() && url != "about:blank")
            s->ev.popup_url = url;
        if (method == "Target.targetCreated" || (!url.empty() && url != "about:blank"))
            engine_call(srv.engine, "Target.closeTarget", {{"targetId", target}}, "", nullptr);
        if (s->waiter) {
            std::function<void()> w = s->waiter;
            w();
        }
    } else if (method == "Browser.downloadWillBegin") {
        for (auto& e : srv.sessions) {
            Session* s = e.second.get();
            if (s->page_ready && p.value("frameId", std::string()) == s->main_frame) {
                if (s->ev.download.empty()) {
                    s->ev.download = p.value("url", std::string("(unknown)"));
                    s->ev.download_name = p.value("suggestedFilename", std::string());
                }
                if (s->waiter) {
                    std::function<void()> w = s->waiter;
                    w();
                }
            }
        }
    }
}

// ---- answers ----

// Notes how long the step that just ended took, for the page's log line.
static void phase(Session* s, const char* name)
{
    int64_t now = loop_now_ms();
    s->phases.emplace_back(name, now - s->phase_mark);
    s->phase_mark = now;
}

static void log_page(Session* s, size_t bytes, const char* outcome, bool cut)
{
    const Work& w = s->current;
    ojson f = {{"session", s->id},
               {"message", w.kind == WORK_LOGIN ? "login" : proto_message_code(w.msg.kind)},
               {"outcome", outcome},
               {"bytes", bytes},
               {"ms", loop_now_ms() - w.arrived_ms},
               {"cut", cut}};
    if (!s->shown_url.empty())
        f["url"] = s->shown_url;
    if (!s->phases.empty()) {
        nlohmann::ordered_json p = nlohmann::ordered_json::object();
        for (const auto& ph : s->phases)
            p[ph.first] = p.value(ph.first, int64_t(0)) + ph.second;
        f["phases"] = p;
    }
    log_event("page", f);
}

static void cancel_work_limit(Session* s)
{
    if (s->work_timer) {
        loop_cancel(srv.loop, s->work_timer);
        s->work_timer = 0;
    }
}

// The bound on one piece of work, from the moment its page is ready: a page
// whose scripts never end (or that keeps the engine busy in any other way)
// is stopped when it passes, and the handheld gets a page that says so;
// other sessions are not held up by it.
static void arm_work_limit(Session* s)
{
    cancel_work_limit(s);
    uint64_t id = s->id, seq = ++s->work_seq;
    s->work_timer = loop_timer(srv.loop, srv.config.work_limit_ms, [id, seq]() {
        Session* s = session_find(id);
        if (!s || s->work_seq != seq)
            return;
        s->work_timer = 0;
        if (!s->busy)
            return;
        log_event("limit", ojson{{"session", s->id}, {"limit", "page-seconds"}, {"ms", srv.config.work_limit_ms}});
        clear_wait(s);
        ++s->op;  // whatever the work still waits for is dropped
        if (s->page_ready && s->engine_gen == srv.engine_gen) {
            engine_call(srv.engine, "Runtime.terminateExecution", json::object(), s->esession, nullptr);
            engine_call(srv.engine, "Page.stopLoading", json::object(), s->esession, nullptr);
        }
        finish_text(s, {"This page was stopped: preparing it took more than " +
                                std::to_string((srv.config.work_limit_ms + 500) / 1000) + " seconds.",
                            "Its scripts or its size keep the server too busy."}, "limit");
    });
}

// Answers the work in hand with a page-stream body and goes on with the next.
static void finish(Session* s, const std::string& body, const char* outcome)
{
    clear_wait(s);
    cancel_work_limit(s);
    ++s->op;
    if (s->conn)
        conn_answer(s->conn, body);
    s->pages_sent++;
    s->bytes_sent += body.size();
    log_page(s, body.size(), outcome, body.compare(0, 4, "<CL>") == 0);
    s->busy = false;
    start_next(s);
}

// The text pages written without the engine open with a cut and end the page.
static std::string text_answer(const std::vector<std::string>& lines)
{
    std::string body;
    pw_cl(body);
    body += pages_text_stream(lines);
    pw_st(body);
    return body;
}

// Answers the work with a page of plain text. It replaces what the handheld
// showed (its cut empties the handheld's pictures too), so the session no
// longer has a rendered page on the handheld: the next page it sends is sent
// whole, and a tap is not taken as a click on a page the user cannot see.
static void finish_text(Session* s, const std::vector<std::string>& lines, const char* outcome)
{
    s->images = RenderImages();
    s->have_last = false;
    finish(s, text_answer(lines), outcome);
}

// A size in words: "10 MB", "20000 bytes".
static std::string limit_size_text(size_t bytes)
{
    if (bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MB";
    if (bytes % 1024 == 0)
        return std::to_string(bytes >> 10) + " KB";
    return std::to_string(bytes) + " bytes";
}

// Renders the snapshot (and capture) and answers the work with the page.
static void answer_page(Session* s, const json& snap, const std::string& png, bool new_page, Via via,
                        const std::string& address)
{
    RenderInput in;
    in.snapshot = &snap;
    in.capture_png = png;
    in.viewport = s->viewport;
    in.new_page = new_page;
    for (const auto& n : s->notices)
        in.notice += (in.notice.empty() ? "" : " / ") + n;
    in.key = s->login.key;
    RenderedPage page;
    try {
        page = render_page(in, s->images);
    } catch (const std::exception& e) {
        // A page the renderer could not turn into a stream (out of memory,
        // or a snapshot of a shape it does not know) fails alone: the
        // handheld gets a page that says so, and this session and every
        // other one go on.
        log_event("error", ojson{{"session", s->id}, {"what", "render"}, {"error", e.what()}});
        s->notices.clear();
        finish_text(s, {"This page could not be shown.", via == VIA_OWN ? address : s->ev.url}, "render-error");
        return;
    }
    phase(s, "render");
    std::string body;
    if (!page.cut && s->have_last && page.signature == s->last.signature && s->notices.empty()) {
        pw_st(body);
        s->last.scroll = page.scroll;
        s->last.controls = page.controls;
        finish(s, body, "unchanged");
        return;
    }
    if (page.cut)
        pw_cl(body);
    std::string url = s->ev.url;
    if (page.cut && (via == VIA_LINK || via == VIA_LOGIN) && !url.empty() && url.size() <= URL_BLOCK_MAX &&
        url.find_first_of(" \t\r\n") == std::string::npos && url.compare(0, 6, "about:") != 0 &&
        url.compare(0, 5, "data:") != 0)
        pw_en(body, "<URL " + url + ">", s->login.key, rand() & 7);
    else if (via == VIA_TYPED)
        body += "<BU>";
    body += page.body;
    pw_st(body);
    if (body.size() > srv.config.answer_limit_bytes) {
        // More than one answer may carry: the page is not sent, and the
        // handheld gets a page that says why (a plain text one if even a
        // page of the server's own were too large).
        log_event("limit", ojson{{"session", s->id}, {"limit", "answer-bytes"}, {"bytes", body.size()},
                                 {"url", via == VIA_OWN ? address : url}});
        std::string text = "This page is too large to be shown: it would take more than " +
                           limit_size_text(srv.config.answer_limit_bytes) + " on this device.";
        // The page's own history entry shows it, so that back leads to the
        // page before it.
        if (via == VIA_OWN)
            finish_text(s, {"Page too large.", text}, "limit");
        else
            show_own(s, OWN_LIMIT, url, text, true);
        return;
    }
    s->notices.clear();
    s->shown_url = via == VIA_OWN ? address : url;
    render_images_commit(s->images, page);
    bool cut = page.cut;
    s->last = std::move(page);
    s->last.body.clear();  // sent; only its controls and scroll state are needed
    s->have_last = true;
    finish(s, body, cut ? "page" : "redrawn");
}

// Snapshot and capture of the page as it is now, rendered; answers the work.
// The capture is asked for together with the snapshot when the page's last
// state needed one (it almost always will again), instead of after it.
static void snapshot_page(Session* s, bool new_page, Via via, const std::string& address)
{
    struct Shot {
        json snap, spec_params;
        std::string png;
        bool have_snap = false, have_png = false, spec = false, failed = false;
    };
    auto shot = std::make_shared<Shot>();
    shot->spec_params = s->capture_params;
    shot->spec = !shot->spec_params.is_null();
    auto go_on = [shot, new_page, via, address](Session* s) {
        if (!shot->have_snap || (shot->spec && !shot->have_png) || shot->failed)
            return;
        json cap;
        try {
            cap = render_capture_params(shot->snap, s->viewport);
        } catch (const std::exception&) {
            cap = nullptr;  // rendering the snapshot fails the same way, and says so
        }
        s->capture_params = cap;
        if (cap.is_null()) {
            answer_page(s, shot->snap, std::string(), new_page, via, address);
        } else if (shot->spec && cap == shot->spec_params) {
            answer_page(s, shot->snap, shot->png, new_page, via, address);
        } else {
            step(s, "Page.captureScreenshot", cap, [shot, new_page, via, address](Session* s, const json& r, const std::string&) {
                phase(s, "capture");
                answer_page(s, shot->snap, engine_base64_decode(r.value("data", std::string())), new_page, via,
                            address);
            });
        }
    };
    step(s, "DOMSnapshot.captureSnapshot", render_snapshot_params(),
         [shot, go_on](Session* s, const json& snap, const std::string&) {
             phase(s, "snapshot");
             shot->snap = snap;
             shot->have_snap = true;
             go_on(s);
         });
    if (shot->spec) {
        step(s, "Page.captureScreenshot", shot->spec_params,
             [shot, go_on](Session* s, const json& r, const std::string&) {
                 phase(s, "capture");
                 shot->png = engine_base64_decode(r.value("data", std::string()));
                 shot->have_png = true;
                 go_on(s);
             });
    }
}

// Holds the page to the picture limit, then takes its snapshot. The pass
// runs in a world of its own, apart from the page's scripts; a page that
// navigated or died under it is shown as it is.
static void limit_pictures_then_snapshot(Session* s, bool new_page, Via via, const std::string& address)
{
    call(s, "Page.createIsolatedWorld", {{"frameId", s->main_frame}, {"worldName", PICTURES_WORLD}},
         [new_page, via, address](Session* s, const json& world, const std::string& err) {
        json params = {{"expression", pictures_limit_expression(srv.config.picture_pixel_limit, PICTURE_SIZE_WAIT_MS)},
                       {"awaitPromise", true},
                       {"returnByValue", true}};
        if (err.empty() && world.contains("executionContextId"))
            params["contextId"] = world["executionContextId"];
        call(s, "Runtime.evaluate", params, [new_page, via, address](Session* s, const json& r, const std::string&) {
            phase(s, "pictures");
            json v = r.contains("result") ? r["result"].value("value", json()) : json();
            int64_t out = v.is_object() ? v.value("out", int64_t(0)) : 0;
            bool fighting = out > 0 && v.value("fighting", false);
            if (out > 0) {
                log_event("limit", ojson{{"session", s->id},
                                         {"limit", "picture-pixels"},
                                         {"left_out", out},
                                         {"held", v.value("held", int64_t(0))},
                                         {"fighting", fighting}});
                int64_t m = srv.config.picture_pixel_limit;
                std::string amount = m % 1000000 == 0 ? std::to_string(m / 1000000) + " million" : std::to_string(m);
                if (fighting) {
                    // Its scripts put back what was left out as fast as it
                    // goes: the page is not shown at all.
                    show_own(s, OWN_LIMIT, v.value("url", address),
                             "This page was stopped: it kept putting back pictures past the " + amount +
                                 " picture pixels a page may show.",
                             true);
                    return;
                }
                s->notices.push_back(std::to_string(out) + (out == 1 ? " picture was" : " pictures were") +
                                     " left out: a page shows at most " + amount + " picture pixels.");
            }
            snapshot_page(s, new_page, via, address);
        }, PICTURE_SIZE_WAIT_MS + 10000);
    });
}

// Snapshot, capture and render of the page as it is now; answers the work.
// With quiet > 0 the page is first given time to settle (quiet ms without a
// change, at most limit ms); that wait and the renderer's own settling
// script run side by side, and the snapshot follows both.
static void render_now(Session* s, bool new_page, Via via, const std::string& address, int quiet, int limit)
{
    phase(s, "wait");
    std::vector<std::pair<std::string, json>> calls;
    if (quiet > 0)
        calls.push_back({"Runtime.evaluate",
                         {{"expression", settle_expression(quiet, 0, limit)}, {"awaitPromise", true}, {"returnByValue", true}}});
    std::string sizes = render_settle_script(s->viewport);
    if (!sizes.empty())
        calls.push_back({"Runtime.evaluate", {{"expression", sizes}, {"awaitPromise", true}, {"returnByValue", true}}});
    if (calls.empty()) {
        limit_pictures_then_snapshot(s, new_page, via, address);
        return;
    }
    auto left = std::make_shared<size_t>(calls.size());
    for (const auto& c : calls) {
        // A page that navigated or died under an evaluation fails it; the
        // snapshot that follows shows what there is.
        call(s, c.first, c.second, [left, new_page, via, address](Session* s, const json&, const std::string&) {
            if (--*left > 0)
                return;
            phase(s, "settle");
            limit_pictures_then_snapshot(s, new_page, via, address);
        }, limit + 10000);
    }
}

// Waits for the page to be quiet for `quiet` ms, and at least `least` ms in
// all (or the limit), then runs then.
static void settle(Session* s, int quiet, int limit, Then then, int least = 0, bool timers = false)
{
    call(s, "Runtime.evaluate",
         {{"expression", settle_expression(quiet, least, limit, timers)}, {"awaitPromise", true}, {"returnByValue", true}},
         [then](Session* s, const json&, const std::string&) {
             // A page that navigated or died under the evaluation fails it;
             // the caller looks at the events anyway.
             phase(s, "settle");
             then(s);
         },
         limit + 2000);
}

// ---- navigation ----

enum NavOutcome {
    NAV_LOADED,
    NAV_FAILED,
    NAV_DOWNLOAD,
    NAV_NONE,
    NAV_SAME_DOC,
    NAV_TIMEOUT,
    NAV_TIMEOUT_COMMITTED,
    NAV_REFUSED,  // the page asked for an address of a scheme that is not opened
};

struct NavMark {
    uint64_t doc_seq, same_doc;
    int64_t at;
};

static NavMark mark_events(Session* s)
{
    PageEvents& ev = s->ev;
    ev.requested = ev.cleared = ev.started = false;
    ev.requested_url.clear();
    ev.popup_url.clear();
    ev.download.clear();
    ev.download_name.clear();
    ev.refused_url.clear();
    s->mark_doc = ev.doc_seq;
    return NavMark{ev.doc_seq, ev.same_doc, loop_now_ms()};
}

static bool nav_activity(Session* s, const NavMark& m)
{
    const PageEvents& ev = s->ev;
    return ev.requested || ev.started || !ev.download.empty() || !ev.popup_url.empty() || ev.doc_seq != m.doc_seq ||
           ev.same_doc != m.same_doc;
}

// Waits until the navigation under way ends one way or another.
static void await_navigation(Session* s, NavMark m, std::function<void(Session*, NavOutcome)> then)
{
    auto ready = [m](Session* s) -> bool {
        const PageEvents& ev = s->ev;
        if (!ev.download.empty())
            return true;
        if (ev.doc_seq != m.doc_seq)
            return ev.loaded_doc == ev.doc_seq;
        if (ev.same_doc != m.same_doc)
            return true;
        if (ev.started && !ev.loading)
            return true;  // loading ended without a new document (204, aborted)
        if (ev.requested && !ev.started && (ev.cleared || loop_now_ms() - m.at > NAV_START_MS))
            return true;
        return false;
    };
    auto decide = [m, then](Session* s, bool timed_out) {
        const PageEvents& ev = s->ev;
        if (!ev.refused_url.empty())
            then(s, NAV_REFUSED);
        else if (timed_out)
            then(s, ev.doc_seq != m.doc_seq ? NAV_TIMEOUT_COMMITTED : NAV_TIMEOUT);
        else if (!ev.download.empty())
            then(s, NAV_DOWNLOAD);
        else if (ev.doc_seq != m.doc_seq)
            then(s, ev.unreachable.empty() && ev.doc_error.empty() ? NAV_LOADED : NAV_FAILED);
        else if (ev.same_doc != m.same_doc)
            then(s, NAV_SAME_DOC);
        else
            then(s, NAV_NONE);
    };
    wait_until(s, ready, decide, s->op_deadline);
    // A requested navigation that never starts ends the wait by time; the
    // page sends no event for that, so look again a little later.
    uint64_t id = s->id, op = s->op;
    loop_timer(srv.loop, NAV_START_MS + 10, [id, op]() {
        Session* s = session_find(id);
        if (s && s->op == op && s->waiter) {
            std::function<void()> w = s->waiter;
            w();
        }
    });
}

static std::string seconds_text(int64_t ms)
{
    return std::to_string((ms + 500) / 1000);
}

// An address of a scheme that is not opened: the engine is not given it
// (or is stopped at once when the page itself asked for it).
static void refuse_scheme(Session* s, const std::string& url, bool replace = false)
{
    log_event("not-allowed", ojson{{"session", s->id}, {"url", url}, {"why", "scheme"}});
    show_own(s, OWN_NOT_ALLOWED, url, "scheme", replace);
}

// When the engine proxy answered for the main document itself (a refused
// destination, a name that does not resolve, no connection), the page that
// says so; false when the document came from its site. named is the proxy's
// answer header, or empty for a failure the engine reports without one (a
// tunnel for https).
static bool egress_page(Session* s, const std::string& address, const std::string& named)
{
    std::string range;
    EgressOutcome recorded = egress_outcome(address, s->current.arrived_ms, &range);
    EgressOutcome o = named.empty() ? recorded : egress_outcome_named(named);
    switch (o) {
    case EGRESS_REFUSED:
        log_event("not-allowed", ojson{{"session", s->id}, {"url", address}, {"why", range}});
        show_own(s, OWN_NOT_ALLOWED, address, recorded == EGRESS_REFUSED ? range : std::string(), true);
        return true;
    case EGRESS_NO_NAME:
        show_own(s, OWN_NOT_FOUND, address, std::string(), true);
        return true;
    case EGRESS_UNREACHABLE:
    case EGRESS_TIMEOUT:
        show_own(s, OWN_UNREACHABLE, address, std::string(), true);
        return true;
    case EGRESS_OK:
    case EGRESS_NONE:
        break;
    }
    return false;
}

// What to show once a navigation has ended.
static void after_navigation(Session* s, NavOutcome o, Via via)
{
    phase(s, "navigate");
    PageEvents& ev = s->ev;
    switch (o) {
    case NAV_REFUSED: {
        // A document of that address that arrived before the stop (one the
        // page made itself, say) is replaced where it stands, so that back
        // leads to the page before it.
        bool arrived = ev.doc_seq != s->mark_doc && !web_address(ev.url) && !own_document(ev.url);
        refuse_scheme(s, ev.refused_url, arrived);
        return;
    }
    case NAV_LOADED:
        if (!ev.doc_egress.empty() && egress_page(s, ev.url, ev.doc_egress))
            return;
        if (ev.doc_status >= 400) {
            std::string detail = std::to_string(ev.doc_status);
            if (!ev.doc_status_text.empty())
                detail += " " + ev.doc_status_text;
            show_own(s, OWN_HTTP_STATUS, ev.url, detail, true);
            return;
        }
        if (ev.url == "about:blank") {
            // A history entry of an own page: show it again.
            call(s, "Page.getNavigationHistory", json::object(),
                 [via](Session* s, const json& r, const std::string&) {
                     int64_t idx = r.value("currentIndex", -1);
                     if (r.contains("entries") && idx >= 0 && idx < int64_t(r["entries"].size())) {
                         auto it = s->own_entries.find(r["entries"][size_t(idx)].value("id", int64_t(-1)));
                         if (it != s->own_entries.end()) {
                             OwnEntry e = it->second;
                             show_own(s, e.kind, e.address, e.detail, true);
                             return;
                         }
                     }
                     render_now(s, true, via, std::string());
                 });
            return;
        }
        render_now(s, true, via, std::string(), SETTLE_QUIET_MS, SETTLE_LIMIT_MS);
        return;
    case NAV_FAILED: {
        std::string address = ev.unreachable.empty() ? ev.url : ev.unreachable;
        if (egress_page(s, address, std::string()))
            return;
        std::string err = ev.doc_error;
        OwnPage kind = pages_for_error(err);
        std::string code = err.compare(0, 5, "net::") == 0 ? err.substr(5) : err;
        show_own(s, kind, address, code, true);
        return;
    }
    case NAV_DOWNLOAD:
        call(s, "Page.stopLoading", json::object(), [](Session*, const json&, const std::string&) {});
        log_event("download-refused", ojson{{"session", s->id}, {"url", ev.download}});
        show_own(s, OWN_DOWNLOAD, ev.download, ev.download_name, false);
        return;
    case NAV_SAME_DOC:
        render_now(s, false, VIA_LINK, std::string(), SETTLE_QUIET_MS, SETTLE_LIMIT_MS);
        return;
    case NAV_NONE:
        // A download announces itself only after loading stopped.
        settle(s, SETTLE_QUIET_MS, SETTLE_LIMIT_MS, [via](Session* s) {
            if (!s->ev.download.empty())
                after_navigation(s, NAV_DOWNLOAD, via);
            else
                render_now(s, false, via, std::string());
        });
        return;
    case NAV_TIMEOUT_COMMITTED:
        // Something of the page is there: stop and show it, and say so.
        s->notices.push_back("The page did not finish loading within " + seconds_text(srv.config.page_timeout_ms) +
                             " seconds.");
        call(s, "Page.stopLoading", json::object(),
             [via](Session* s, const json&, const std::string&) { render_now(s, true, via, std::string()); });
        return;
    case NAV_TIMEOUT: {
        std::string address = ev.requested_url.empty() ? ev.url : ev.requested_url;
        call(s, "Page.stopLoading", json::object(), [](Session*, const json&, const std::string&) {});
        show_own(s, OWN_TIMEOUT, address, seconds_text(srv.config.page_timeout_ms), false);
        return;
    }
    }
}

// A new deadline for the piece of work in hand (a navigation may take that long).
static void restart_deadline(Session* s)
{
    s->op_deadline = loop_now_ms() + srv.config.page_timeout_ms;
}

static void navigate(Session* s, const std::string& url, Via via)
{
    if (!web_address(url)) {
        refuse_scheme(s, url);
        return;
    }
    NavMark m = mark_events(s);
    s->ev.requested_url = url;
    restart_deadline(s);  // the navigation has its whole time, whatever came before it
    // The engine answers Page.navigate only once the site has answered, so
    // the wait (and its deadline) begins now; the page's events end it.
    await_navigation(s, m, [via](Session* s, NavOutcome o) { after_navigation(s, o, via); });
    call(s, "Page.navigate", {{"url", url}}, [via, url](Session* s, const json& r, const std::string& err) {
        if (!err.empty()) {
            // The engine refuses the address itself (malformed).
            log_event("error", ojson{{"session", s->id}, {"what", "engine"}, {"method", "Page.navigate"}, {"error", err}});
            if (err == "engine stopped")
                return;
            clear_wait(s);
            show_own(s, OWN_FAILED, url, err, false);
            return;
        }
        if (r.value("isDownload", false) && s->ev.download.empty()) {
            s->ev.download = url;
            if (s->waiter) {
                std::function<void()> w = s->waiter;
                w();
            }
        }
    }, int(srv.config.page_timeout_ms) + 5000);
}

// An own page: in the document that stands (replace) or in a history entry
// of its own, so that back leads to the page before it.
static void show_own(Session* s, OwnPage kind, const std::string& address, const std::string& detail, bool replace)
{
    auto fill = [kind, address, detail](Session* s) {
        call(s, "Page.getNavigationHistory", json::object(),
             [kind, address, detail](Session* s, const json& r, const std::string&) {
                 int64_t idx = r.value("currentIndex", -1);
                 std::string cur;
                 if (r.contains("entries") && idx >= 0 && idx < int64_t(r["entries"].size())) {
                     const json& e = r["entries"][size_t(idx)];
                     cur = e.value("url", std::string());
                     if (cur == "about:blank")
                         s->own_entries[e.value("id", int64_t(-1))] = OwnEntry{kind, address, detail};
                 }
                 std::string html = pages_html(kind, address, detail);
                 log_event("own-page", ojson{{"session", s->id}, {"kind", int(kind)}, {"url", address}, {"detail", detail}});
                 steps(s,
                       {{"Page.setDocumentContent", {{"frameId", s->main_frame}, {"html", html}}},
                        {"Runtime.evaluate", {{"expression", render_new_document_script()}}},
                        {"Runtime.evaluate", {{"expression", OWN_SCRIPT}}}},
                       [address](Session* s) {
                           render_now(s, true, VIA_OWN, address, SETTLE_QUIET_MS, SETTLE_LIMIT_MS);
                       });
             });
    };
    if (replace) {
        fill(s);
        return;
    }
    NavMark m = mark_events(s);
    restart_deadline(s);
    step(s, "Page.navigate", {{"url", "about:blank"}}, [m, fill](Session* s, const json&, const std::string&) {
        // Only the blank document itself will do: a stop of what loaded
        // before it may still be on its way.
        wait_until(
            s, [m](Session* s) { return s->ev.doc_seq != m.doc_seq && s->ev.loaded_doc == s->ev.doc_seq; },
            [fill](Session* s, bool timed_out) {
                if (timed_out)
                    finish_text(s, {"The page could not be shown."}, "engine-error");
                else
                    fill(s);
            },
            s->op_deadline);
    });
}

// ---- after a click or a control change ----

static void after_action(Session* s, NavMark m)
{
    phase(s, "action");
    if (!s->ev.popup_url.empty()) {
        std::string url = s->ev.popup_url;
        log_event("window-open", ojson{{"session", s->id}, {"url", url}});
        navigate(s, url, VIA_LINK);
        return;
    }
    if (nav_activity(s, m)) {
        await_navigation(s, m, [](Session* s, NavOutcome o) { after_navigation(s, o, VIA_LINK); });
        return;
    }
    settle(s, SETTLE_QUIET_MS, SETTLE_LIMIT_MS, [m](Session* s) {
        if (!s->ev.popup_url.empty()) {
            std::string url = s->ev.popup_url;
            navigate(s, url, VIA_LINK);
        } else if (nav_activity(s, m)) {
            await_navigation(s, m, [](Session* s, NavOutcome o) { after_navigation(s, o, VIA_LINK); });
        } else {
            render_now(s, false, VIA_LINK, std::string());
        }
    }, ACTION_MIN_MS, true);
}

static void click(Session* s, int x, int y)
{
    int w = s->viewport.width, h = s->viewport.height;
    x = x < 0 ? 0 : (x >= w ? w - 1 : x);
    y = y < 0 ? 0 : (y >= h ? h - 1 : y);
    NavMark m = mark_events(s);
    json base = {{"x", x}, {"y", y}, {"button", "left"}, {"clickCount", 1}};
    json moved = base, pressed = base, released = base;
    moved["type"] = "mouseMoved";
    moved["button"] = "none";
    pressed["type"] = "mousePressed";
    released["type"] = "mouseReleased";
    steps(s,
          {{"Input.dispatchMouseEvent", moved},
           {"Input.dispatchMouseEvent", pressed},
           {"Input.dispatchMouseEvent", released}},
          [m](Session* s) { after_action(s, m); });
}

static const RenderControl* find_control(Session* s, const std::string& name, const char* kinds)
{
    if (!s->have_last)
        return nullptr;
    for (const auto& c : s->last.controls)
        if (c.name == name && strchr(kinds, c.kind))
            return &c;
    return nullptr;
}

static void set_control(Session* s, const Message& msg)
{
    const char* kinds = msg.kind == MSG_TF ? "TP" : msg.kind == MSG_TA ? "A" : msg.kind == MSG_LM ? "L" : "D";
    const RenderControl* c = find_control(s, msg.name, kinds);
    json arg;
    const char* fn = SET_TEXT_FUNCTION;
    if (c && (msg.kind == MSG_LM || msg.kind == MSG_DM)) {
        if (msg.index < 0 || size_t(msg.index) >= c->options.size())
            c = nullptr;
        else
            arg = c->options[size_t(msg.index)];
        fn = SET_OPTION_FUNCTION;
    } else {
        arg = msg.text;
    }
    if (!c) {
        log_event("error", ojson{{"session", s->id}, {"what", "no such control"}, {"message", proto_message_code(msg.kind)},
                                 {"name", msg.name}});
        std::string body;
        pw_st(body);
        finish(s, body, "no-control");
        return;
    }
    NavMark m = mark_events(s);
    std::string function = fn;
    step(s, "DOM.resolveNode", {{"backendNodeId", c->backend_node_id}},
         [m, arg, function](Session* s, const json& r, const std::string&) {
             std::string object = r.contains("object") ? r["object"].value("objectId", std::string()) : std::string();
             step(s, "Runtime.callFunctionOn",
                  {{"objectId", object}, {"functionDeclaration", function}, {"arguments", {{{"value", arg}}}}},
                  [m, object](Session* s, const json&, const std::string&) {
                      engine_call(srv.engine, "Runtime.releaseObject", {{"objectId", object}}, s->esession, nullptr);
                      after_action(s, m);
                  });
         });
}

// ---- scrolling, zoom, history ----

static void scroll_to(Session* s, double x, double y)
{
    char expr[96];
    snprintf(expr, sizeof expr, "window.scrollTo(%.0f, %.0f)", x, y);
    step(s, "Runtime.evaluate", {{"expression", expr}}, [](Session* s, const json&, const std::string&) {
        render_now(s, false, VIA_LINK, std::string(), SCROLL_QUIET_MS, SCROLL_LIMIT_MS);
    });
}

static void set_viewport(Session* s, bool zoomed)
{
    s->viewport.zoomed = zoomed;
    s->viewport.width = zoomed ? 480 : 640;
    s->viewport.height = zoomed ? 360 : 480;
    step(s, "Emulation.setDeviceMetricsOverride",
         {{"width", s->viewport.width}, {"height", s->viewport.height}, {"deviceScaleFactor", 1}, {"mobile", false}},
         [](Session* s, const json&, const std::string&) {
             render_now(s, true, VIA_RELOAD, std::string(), SETTLE_QUIET_MS, SETTLE_LIMIT_MS);
         });
}

static void history_step(Session* s, int delta)
{
    step(s, "Page.getNavigationHistory", json::object(), [delta](Session* s, const json& r, const std::string&) {
        int64_t idx = r.value("currentIndex", int64_t(-1)) + delta;
        int64_t count = r.contains("entries") ? int64_t(r["entries"].size()) : 0;
        // The blank document every page starts with is no page of the
        // user's, unless a page of the server's own stands in it.
        while (idx >= 0 && idx < count && r["entries"][size_t(idx)].value("url", std::string()) == "about:blank" &&
               !s->own_entries.count(r["entries"][size_t(idx)].value("id", int64_t(-1))))
            idx += delta;
        if (idx < 0 || idx >= count) {
            std::string body;
            pw_st(body);
            finish(s, body, "history-end");
            return;
        }
        int64_t entry = r["entries"][size_t(idx)].value("id", int64_t(-1));
        NavMark m = mark_events(s);
        restart_deadline(s);
        await_navigation(s, m, [](Session* s, NavOutcome o) { after_navigation(s, o, VIA_HISTORY); });
        call(s, "Page.navigateToHistoryEntry", {{"entryId", entry}}, [](Session*, const json&, const std::string&) {},
             int(srv.config.page_timeout_ms) + 5000);
    });
}

static void reload(Session* s)
{
    step(s, "Page.getNavigationHistory", json::object(), [](Session* s, const json& r, const std::string&) {
        int64_t idx = r.value("currentIndex", int64_t(-1));
        if (r.contains("entries") && idx >= 0 && idx < int64_t(r["entries"].size())) {
            auto it = s->own_entries.find(r["entries"][size_t(idx)].value("id", int64_t(-1)));
            if (it != s->own_entries.end()) {
                OwnEntry e = it->second;
                // Reloading a page that did not answer tries its address again.
                if (e.kind == OWN_TIMEOUT && !e.address.empty())
                    navigate(s, e.address, VIA_LINK);
                else
                    show_own(s, e.kind, e.address, e.detail, true);
                return;
            }
        }
        NavMark m = mark_events(s);
        restart_deadline(s);
        await_navigation(s, m, [](Session* s, NavOutcome o) { after_navigation(s, o, VIA_RELOAD); });
        call(s, "Page.reload", json::object(), [](Session*, const json&, const std::string&) {},
             int(srv.config.page_timeout_ms) + 5000);
    });
}

// A typed address as the engine takes it: without a scheme it is http.
static std::string typed_address(const std::string& typed)
{
    size_t a = typed.find_first_not_of(" \t");
    size_t b = typed.find_last_not_of(" \t");
    if (a == std::string::npos)
        return std::string();
    std::string t = typed.substr(a, b - a + 1);
    size_t colon = t.find(':');
    bool scheme = colon != std::string::npos && colon > 0 && isalpha((unsigned char)t[0]);
    for (size_t i = 0; scheme && i < colon; ++i)
        if (!isalnum((unsigned char)t[i]) && t[i] != '+' && t[i] != '-' && t[i] != '.')
            scheme = false;
    // "host:port/path" has a colon too, but digits after it.
    if (scheme && t.compare(colon, 3, "://") != 0 && colon + 1 < t.size() && isdigit((unsigned char)t[colon + 1]))
        scheme = false;
    return scheme ? t : "http://" + t;
}

// ---- the page of a session ----

// Pages set up at once. Setting one up starts a renderer process, the
// dearest thing the engine does; a burst of logins takes turns rather than
// starving each other (measured: 20 at once on 2 cores ran into time-outs).
static const size_t SETUPS_AT_ONCE = 2;
// A set-up call may wait this long for a loaded engine.
static const int SETUP_TIMEOUT_MS = 30000;
static std::set<uint64_t> setups;                               // sessions setting up
static std::deque<std::pair<uint64_t, uint64_t>> setup_queue;  // (session, op) waiting

static void setup_begin(Session* s);

// The session's set-up ended (done, failed, or the session went): the next
// waiting one may begin.
static void setup_release(uint64_t id)
{
    if (!setups.erase(id))
        return;
    while (setups.size() < SETUPS_AT_ONCE && !setup_queue.empty()) {
        auto next = setup_queue.front();
        setup_queue.pop_front();
        Session* s = session_find(next.first);
        if (s && s->op == next.second && s->busy && srv.engine_up) {
            setups.insert(s->id);
            setup_begin(s);
        }
    }
}

// Creates the browser context and its page, then dispatches the work in hand.
static void setup_page(Session* s)
{
    if (setups.size() >= SETUPS_AT_ONCE) {
        setup_queue.emplace_back(s->id, s->op);
        return;
    }
    setups.insert(s->id);
    setup_begin(s);
}

// A set-up that failed: what was made goes, and the work is answered.
static void setup_failed(Session* s, const std::string& what, const std::string& err)
{
    log_event("error", ojson{{"session", s->id}, {"what", what}, {"error", err}});
    setup_release(s->id);
    if (!s->esession.empty())
        engine_drop_session(srv.engine, s->esession);
    if (!s->context.empty()) {
        srv.by_context.erase(s->context);
        engine_call(srv.engine, "Target.disposeBrowserContext", {{"browserContextId", s->context}}, "", nullptr);
    }
    s->context.clear();
    s->esession.clear();
    s->page_ready = false;
    if (err != "engine stopped")
        finish_text(s, {"The browser engine could not open a page.", "Please try again later."}, "engine-error");
}

static void setup_begin(Session* s)
{
    s->engine_gen = srv.engine_gen;
    s->page_ready = false;
    s->context.clear();
    s->esession.clear();
    uint64_t id = s->id, op = s->op, gen = s->engine_gen;
    // The session of a reply, or null (and its turn given up) when the
    // session, its work or the engine changed meanwhile.
    auto alive = [id, op, gen]() -> Session* {
        Session* s = session_find(id);
        if (s && s->op == op && s->engine_gen == gen && srv.engine_gen == gen)
            return s;
        setup_release(id);
        return nullptr;
    };
    engine_call(srv.engine, "Target.createBrowserContext", {{"disposeOnDetach", true}}, "",
                [alive](const json& r, const std::string& err) {
        Session* s = alive();
        if (!s) {
            // The session went away meanwhile: the context must not stay.
            if (err.empty())
                engine_call(srv.engine, "Target.disposeBrowserContext",
                            {{"browserContextId", r.value("browserContextId", std::string())}}, "", nullptr);
            return;
        }
        if (!err.empty())
            return setup_failed(s, "createBrowserContext", err);
        s->context = r.value("browserContextId", std::string());
        srv.by_context[s->context] = s->id;
        engine_call(srv.engine, "Browser.setDownloadBehavior",
                    {{"behavior", "deny"}, {"browserContextId", s->context}, {"eventsEnabled", true}}, "", nullptr);
        engine_call(srv.engine, "Target.createTarget", {{"url", "about:blank"}, {"browserContextId", s->context}}, "",
                    [alive](const json& r, const std::string& err) {
            Session* s = alive();
            if (!s)
                return;
            if (!err.empty())
                return setup_failed(s, "createTarget", err);
            s->target = r.value("targetId", std::string());
            engine_call(srv.engine, "Target.attachToTarget", {{"targetId", s->target}, {"flatten", true}}, "",
                        [alive](const json& r, const std::string& err) {
                Session* s = alive();
                if (!s)
                    return;
                if (!err.empty())
                    return setup_failed(s, "attachToTarget", err);
                s->esession = r.value("sessionId", std::string());
                uint64_t sid = s->id;
                engine_on_session(srv.engine, s->esession,
                                  [sid](const std::string& m, const json& p) { page_event(sid, m, p); });
                s->ev = PageEvents();
                s->have_last = false;
                s->own_entries.clear();
                s->main_frame = s->target;
                const std::vector<std::pair<std::string, json>> calls = {
                    {"Page.enable", json::object()},
                    {"Runtime.enable", json::object()},
                    {"Network.enable", {{"maxTotalBufferSize", 0}, {"maxResourceBufferSize", 0}}},
                    {"Emulation.setDeviceMetricsOverride",
                     {{"width", s->viewport.width}, {"height", s->viewport.height}, {"deviceScaleFactor", 1},
                      {"mobile", false}}},
                    {"Page.addScriptToEvaluateOnNewDocument", {{"source", render_new_document_script()}}},
                    {"Page.addScriptToEvaluateOnNewDocument", {{"source", OWN_SCRIPT}}},
                    {"Page.getFrameTree", json::object()},
                };
                auto left = std::make_shared<size_t>(calls.size());
                auto failed = std::make_shared<bool>(false);
                for (const auto& c : calls) {
                    std::string method = c.first;
                    engine_call(srv.engine, method, c.second, s->esession,
                                [alive, left, failed, method](const json& r, const std::string& err) {
                        if (*failed)
                            return;
                        Session* s = alive();
                        if (!s) {
                            *failed = true;
                            return;
                        }
                        if (!err.empty()) {
                            *failed = true;
                            return setup_failed(s, method, err);
                        }
                        if (method == "Page.getFrameTree" && r.contains("frameTree"))
                            s->main_frame = r["frameTree"]["frame"].value("id", s->target);
                        if (--*left == 0) {
                            s->page_ready = true;
                            setup_release(s->id);
                            dispatch(s);
                        }
                    }, SETUP_TIMEOUT_MS);
                }
            }, SETUP_TIMEOUT_MS);
        }, SETUP_TIMEOUT_MS);
    }, SETUP_TIMEOUT_MS);
}

// ---- the work queue ----

static void dispatch(Session* s)
{
    restart_deadline(s);
    arm_work_limit(s);
    const Work& w = s->current;
    if (s->lost) {
        // The page was lost; a typed address still opens, anything else
        // gets the page that says what happened.
        s->lost = false;
        bool crash = s->lost_crash;
        s->lost_crash = false;
        if (!(w.kind == WORK_MESSAGE && w.msg.kind == MSG_URL)) {
            if (crash)
                show_own(s, OWN_CRASHED, s->lost_url, std::string(), true);
            else
                show_own(s, OWN_RESTARTED, s->shown_url, std::string(), true);
            return;
        }
    }
    if (w.kind == WORK_LOGIN) {
        if (s->login.greeting_only || s->login.address.empty())
            show_own(s, OWN_START, std::string(), std::string(), true);
        else
            navigate(s, s->login.address, VIA_LOGIN);
        return;
    }
    const Message& m = w.msg;
    std::string body;
    switch (m.kind) {
    case MSG_MC:
        // On a page of plain text (or none) a tap shows the page the session
        // is on again, instead of clicking where the user sees nothing.
        if (!s->have_last)
            render_now(s, true, VIA_RELOAD, std::string());
        else
            click(s, m.x, m.y);
        return;
    case MSG_SC:
    case MSG_PGL:
    case MSG_PGR:
    case MSG_PGU:
    case MSG_PGD: {
        if (!s->have_last) {
            pw_st(body);
            finish(s, body, "no-page");
            return;
        }
        double x = s->last.scroll.x, y = s->last.scroll.y;
        if (m.kind == MSG_SC)
            render_scroll_bar_tap(s->last.scroll, m.x, m.y, &x, &y);
        else
            render_scroll_page(s->last.scroll, m.kind == MSG_PGL ? 'L' : m.kind == MSG_PGR ? 'R' : m.kind == MSG_PGU ? 'U' : 'D',
                               &x, &y);
        scroll_to(s, x, y);
        return;
    }
    case MSG_BA:
        history_step(s, -1);
        return;
    case MSG_FO:
        history_step(s, 1);
        return;
    case MSG_ZU:
    case MSG_ZD:
        set_viewport(s, m.kind == MSG_ZU);
        return;
    case MSG_RF:
        reload(s);
        return;
    case MSG_URL: {
        std::string url = typed_address(m.address);
        if (url.empty()) {
            pw_st(body);
            finish(s, body, "empty-address");
            return;
        }
        navigate(s, url, VIA_TYPED);
        return;
    }
    case MSG_TF:
    case MSG_TA:
    case MSG_LM:
    case MSG_DM:
        set_control(s, m);
        return;
    case MSG_STP:
        // Nothing in hand to stop: the page may still be loading pictures.
        call(s, "Page.stopLoading", json::object(), [](Session*, const json&, const std::string&) {});
        pw_st(body);
        finish(s, body, "stopped");
        return;
    case MSG_QT:
        return;  // handled on arrival
    }
}

static void start_next(Session* s)
{
    if (s->busy || s->queue.empty() || !srv.engine_up)
        return;
    s->current = s->queue.front();
    s->queue.pop_front();
    s->busy = true;
    ++s->op;
    restart_deadline(s);
    s->phases.clear();
    s->phase_mark = loop_now_ms();
    if (!s->page_ready || s->engine_gen != srv.engine_gen) {
        setup_page(s);
        return;
    }
    dispatch(s);
}

Session* session_create(Conn* c, const LoginInfo& login)
{
    auto owned = std::make_unique<Session>();
    Session* s = owned.get();
    s->id = srv.next_session++;
    s->conn = c;
    s->login = login;
    s->created_ms = loop_now_ms();
    srv.sessions[s->id] = std::move(owned);
    c->session = s;
    Work w;
    w.kind = WORK_LOGIN;
    w.arrived_ms = loop_now_ms();
    s->queue.push_back(w);
    start_next(s);
    return s;
}

// Stop: the work in hand (a page still loading) is answered with what is
// there now; the stop itself is answered with the end of the page.
static void stop_now(Session* s, const Work& stp)
{
    bool new_doc = false;
    Via via = VIA_LINK;
    const Work& w = s->current;
    if (w.kind == WORK_LOGIN)
        via = VIA_LOGIN;
    else if (w.msg.kind == MSG_URL)
        via = VIA_TYPED;
    else if (w.msg.kind == MSG_BA || w.msg.kind == MSG_FO)
        via = VIA_HISTORY;
    else if (w.msg.kind == MSG_RF || w.msg.kind == MSG_ZU || w.msg.kind == MSG_ZD)
        via = VIA_RELOAD;
    // Only a document that arrived is new; a typed address that did not
    // arrive is not confirmed.
    bool committed = s->ev.doc_seq != s->mark_doc;
    new_doc = committed || !s->have_last;
    if (!committed)
        via = VIA_RELOAD;
    clear_wait(s);
    ++s->op;  // the work's own chain stops here
    s->queue.push_front(stp);
    log_event("stop", ojson{{"session", s->id}, {"message", w.kind == WORK_LOGIN ? "login" : proto_message_code(w.msg.kind)}});
    call(s, "Page.stopLoading", json::object(), [new_doc, via](Session* s, const json&, const std::string&) {
        render_now(s, new_doc, via, std::string());
    });
}

void session_message(Session* s, const Message& m, int64_t arrived_ms)
{
    Work w;
    w.kind = WORK_MESSAGE;
    w.msg = m;
    w.arrived_ms = arrived_ms;
    if (m.kind == MSG_QT) {
        session_end(s, "quit");
        return;
    }
    if (m.kind == MSG_STP && s->busy && s->page_ready && s->engine_gen == srv.engine_gen) {
        stop_now(s, w);
        return;
    }
    if (s->queue.size() >= QUEUE_LIMIT) {
        log_event("error", ojson{{"session", s->id}, {"what", "too many messages waiting"}});
        conn_close(s->conn, "flood");
        return;
    }
    s->queue.push_back(w);
    start_next(s);
}

void session_end(Session* s, const char* reason)
{
    uint64_t id = s->id;
    clear_wait(s);
    cancel_work_limit(s);
    setup_release(id);
    ++s->op;
    if (s->page_ready && s->engine_gen == srv.engine_gen) {
        engine_drop_session(srv.engine, s->esession);
        engine_call(srv.engine, "Target.disposeBrowserContext", {{"browserContextId", s->context}}, "", nullptr);
    }
    srv.by_context.erase(s->context);
    log_event("session-end", ojson{{"session", id},
                                   {"reason", reason},
                                   {"pages", s->pages_sent},
                                   {"bytes", s->bytes_sent},
                                   {"seconds", (loop_now_ms() - s->created_ms) / 1000}});
    if (s->conn) {
        Conn* c = s->conn;
        c->session = nullptr;
        s->conn = nullptr;
        conn_close(c, reason);
    }
    srv.sessions.erase(id);
}

void sessions_engine_lost()
{
    srv.by_context.clear();
    setups.clear();
    setup_queue.clear();
    for (auto& e : srv.sessions) {
        Session* s = e.second.get();
        clear_wait(s);
        ++s->op;
        bool had_page = s->page_ready || s->busy;
        s->page_ready = false;
        s->images = RenderImages();
        // A login under way simply starts again; a session that had a page
        // is told that it was lost.
        if (had_page && !(s->busy && s->current.kind == WORK_LOGIN)) {
            s->lost = true;
            s->lost_crash = false;
        }
        if (s->busy) {
            // Answered once the engine is back (or by the fallback below).
            s->queue.push_front(s->current);
            s->busy = false;
        }
    }
    // If the engine is slow to come back, nobody waits for it for long.
    loop_timer(srv.loop, 5000, []() {
        if (srv.engine_up)
            return;
        for (auto& e : srv.sessions) {
            Session* s = e.second.get();
            while (!s->queue.empty() && !s->busy) {
                s->current = s->queue.front();
                s->queue.pop_front();
                s->busy = true;
                finish_text(s, {"The browser engine stopped and is being started again.", "Please try again in a moment."},
                            "engine-down");
            }
        }
    });
}

void sessions_engine_back()
{
    for (auto& e : srv.sessions)
        start_next(e.second.get());
}
