// The render test fixture: one engine for the whole test program, one page
// of its own per test.
#include "render_fixture.h"

#include <cstdio>
#include <fstream>

Engine RenderTest::engine;
bool RenderTest::engine_ok = false;
std::string RenderTest::engine_error;
const uint8_t RenderTest::KEY[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                     0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xf0, 0x0f};

// What the page itself says about its words and controls.
static const char* const TRUTH_JS = R"JS((() => {
  const words = [], controls = [];
  const root = document.body || document.documentElement;
  const walker = document.createTreeWalker(root, NodeFilter.SHOW_TEXT);
  let n;
  while ((n = walker.nextNode())) {
    const p = n.parentElement;
    if (!p || p.closest('svg,button,select,textarea,option,script,style,noscript,title')) continue;
    const cs = getComputedStyle(p);
    if (cs.visibility !== 'visible') continue;
    const re = /[^\s]+/g;
    let m;
    while ((m = re.exec(n.data))) {
      const r = document.createRange();
      r.setStart(n, m.index);
      r.setEnd(n, m.index + m[0].length);
      const rects = r.getClientRects();
      if (!rects.length) continue;
      const q = rects[0];
      // left out: words hidden by an overflow clip; faded words (their
      // colour is blended)
      let clipped = false, opacity = 1;
      for (let a = p; a && a !== document.documentElement; a = a.parentElement) {
        const st = getComputedStyle(a);
        opacity *= parseFloat(st.opacity);
        if (st.overflowX === 'visible' && st.overflowY === 'visible') continue;
        const b = a.getBoundingClientRect();
        const x0 = b.left + a.clientLeft, y0 = b.top + a.clientTop;
        const mx = q.left + q.width / 2, my = q.top + q.height / 2;
        if (mx < x0 || mx >= x0 + a.clientWidth || my < y0 || my >= y0 + a.clientHeight) clipped = true;
      }
      if (clipped || opacity < 1) continue;
      words.push([m[0], q.left, q.top, q.height, parseFloat(cs.fontSize), cs.color]);
    }
  }
  for (const e of document.querySelectorAll('input,select,textarea,button')) {
    const r = e.getBoundingClientRect();
    if (!r.width || !r.height) continue;
    controls.push([e.tagName, e.type || '', r.left, r.top, r.right, r.bottom]);
  }
  const pictures = [];
  for (const e of document.querySelectorAll('*')) {
    const tag = e.tagName.toLowerCase();
    const bg = getComputedStyle(e).backgroundImage;
    if (!(tag === 'img' || tag === 'canvas' || (tag === 'svg' && !e.parentElement.closest('svg')) ||
          (bg && bg !== 'none' && tag !== 'html' && tag !== 'body'))) continue;
    const r = e.getBoundingClientRect();
    if (!r.width || !r.height) continue;
    // replaced elements: their content box; backgrounds: the padding box
    const st = getComputedStyle(e), px = v => parseFloat(v) || 0;
    const replaced = tag !== 'div' && !(bg && bg !== 'none');
    const l = r.left + e.clientLeft + (replaced ? px(st.paddingLeft) : 0);
    const t = r.top + e.clientTop + (replaced ? px(st.paddingTop) : 0);
    const w = tag === 'svg' ? r.width : e.clientWidth - (replaced ? px(st.paddingLeft) + px(st.paddingRight) : 0);
    const h = tag === 'svg' ? r.height : e.clientHeight - (replaced ? px(st.paddingTop) + px(st.paddingBottom) : 0);
    pictures.push([e.tagName, '', l, t, l + w, t + h]);
  }
  return {words, controls, pictures};
})())JS";

// Paints the page's text again for a capture people look at: a sheet
// adopted after the renderer's, and Liberation Sans itself in place of the
// layout faces (which carry advances but no outlines). That capture is laid
// out with Liberation Sans's own advances, so its words may stand a little
// apart from the renderer's layout; the tests measure word positions from the
// page itself, never from this picture. HIDE_TEXT_JS puts everything back.
static const char* const SHOW_TEXT_JS =
    "(function(){var s=new CSSStyleSheet();s.replaceSync('*,*::before,*::after,*::marker,*::placeholder"
    "{-webkit-text-fill-color:currentcolor!important}');window.__cvShow=s;"
    "document.adoptedStyleSheets=document.adoptedStyleSheets.concat([s]);var kept=[];"
    "document.querySelectorAll('*').forEach(function(e){var f=e.style&&e.style.getPropertyValue('font-family');"
    "if(f&&/cvz?-[0-9]/.test(f)){kept.push([e,f]);e.style.setProperty('font-family','\"Liberation Sans\"','important');}});"
    "window.__cvKept=kept;})()";
static const char* const HIDE_TEXT_JS =
    "(function(){document.adoptedStyleSheets=document.adoptedStyleSheets.filter(function(s){return s!==window.__cvShow;});"
    "(window.__cvKept||[]).forEach(function(k){k[0].style.setProperty('font-family',k[1],'important');});})()";

void RenderTest::SetUpTestSuite() {
    std::string error;
    engine_ok = rtext_init(&error);
    if (!engine_ok) {
        engine_error = "render_init: " + error;
        return;
    }
    EngineOptions options;
    options.extra_args = render_engine_switches();
    engine_ok = engine_start(engine, options, &engine_error);
}

void RenderTest::TearDownTestSuite() { engine_stop(engine); }

void RenderTest::SetUp() {
    PageTest::SetUp();
    ASSERT_TRUE(engine_ok) << engine_error;
    ensure_text(root);
}

void RenderTest::TearDown() {
    if (page_open_) engine_close_page(engine, epage_);
    page_open_ = false;
    zoom_mode = 0;
    PageTest::TearDown();
}

std::string RenderTest::page_url(const std::string& name) {
    return "file://" CV_SOURCE_DIR "/tests/render/pages/" + name;
}

bool RenderTest::render(const std::string& url, bool zoomed, Rendered* out, double scroll_x, double scroll_y,
                        const RenderImages* images) {
    std::string error;
    if (page_open_ && zoomed_open_ != zoomed) {
        engine_close_page(engine, epage_);
        page_open_ = false;
    }
    out->viewport.zoomed = zoomed;
    out->viewport.width = zoomed ? 480 : 640;
    out->viewport.height = zoomed ? 360 : 480;
    if (!page_open_) {
        if (!engine_open_page(engine, out->viewport.width, out->viewport.height, {render_new_document_script()},
                              &epage_, &error)) {
            ADD_FAILURE() << "open page: " << error;
            return false;
        }
        page_open_ = true;
        zoomed_open_ = zoomed;
    }
    if (!engine_load(engine, epage_, url, &error)) {
        ADD_FAILURE() << "load " << url << ": " << error;
        return false;
    }
    nlohmann::json r;
    if (!engine_call_wait(engine, "Runtime.evaluate",
                          {{"expression", render_settle_script(out->viewport)}, {"awaitPromise", true},
                           {"returnByValue", true}},
                          epage_.session, &r, &error)) {
        ADD_FAILURE() << "settle: " << error;
        return false;
    }
    if (scroll_x != 0 || scroll_y != 0) {
        char js[128];
        snprintf(js, sizeof js, "window.scrollTo(%g, %g)", scroll_x, scroll_y);
        engine_call_wait(engine, "Runtime.evaluate", {{"expression", js}}, epage_.session, &r, &error);
    }
    RenderImages none;
    return take(out, true, images ? *images : none);
}

bool RenderTest::rerender(const std::string& script, Rendered* out, bool new_page, const RenderImages& images) {
    std::string error;
    nlohmann::json r;
    if (!script.empty() &&
        !engine_call_wait(engine, "Runtime.evaluate", {{"expression", script}, {"awaitPromise", true}},
                          epage_.session, &r, &error)) {
        ADD_FAILURE() << "script: " << error;
        return false;
    }
    engine_call_wait(engine, "Runtime.evaluate",
                     {{"expression", render_settle_script(out->viewport)}, {"awaitPromise", true}}, epage_.session,
                     &r, &error);
    return take(out, new_page, images);
}

std::vector<EngineBox> RenderTest::boxes_of(const std::string& expression) {
    std::vector<EngineBox> boxes;
    nlohmann::json v;
    std::string error;
    std::string js = "(" + expression +
                     ").map(e=>{const b=e.getBoundingClientRect();return [b.left,b.top,b.right,b.bottom];})";
    if (!engine_call_wait(engine, "Runtime.evaluate", {{"expression", js}, {"returnByValue", true}}, epage_.session,
                          &v, &error)) {
        ADD_FAILURE() << "boxes: " << error;
        return boxes;
    }
    for (const auto& a : v["result"]["value"])
        boxes.push_back({"", "", a[0].get<double>(), a[1].get<double>(), a[2].get<double>(), a[3].get<double>()});
    return boxes;
}

bool RenderTest::take(Rendered* out, bool new_page, const RenderImages& images) {
    std::string error;
    nlohmann::json r;
    if (!engine_call_wait(engine, "DOMSnapshot.captureSnapshot", render_snapshot_params(), epage_.session,
                          &out->snapshot, &error)) {
        ADD_FAILURE() << "snapshot: " << error;
        return false;
    }
    nlohmann::json params = render_capture_params(out->snapshot, out->viewport);
    // The tests always take the capture, to compare the client's screen with it.
    nlohmann::json shot = params.is_null() ? nlohmann::json{{"format", "png"}} : params;
    if (!engine_call_wait(engine, "Page.captureScreenshot", shot, epage_.session, &r, &error)) {
        ADD_FAILURE() << "capture: " << error;
        return false;
    }
    std::string png = engine_base64_decode(r.value("data", std::string()));
    out->capture = params.is_null() ? std::string() : png;
    double scale = out->viewport.zoomed ? 2.0 / 3.0 : 0.5;
    if (!rimage_decode(png, &out->engine_full, &error) ||
        !rimage_device_capture(png, scale, &out->engine_view, &error)) {
        ADD_FAILURE() << "engine view: " << error;
        return false;
    }
    // A second capture with the text painted, for people comparing the
    // client's screen with the engine's page; then the page is as before.
    engine_call_wait(engine, "Runtime.evaluate", {{"expression", SHOW_TEXT_JS}}, epage_.session, &r, &error);
    nlohmann::json seen_shot;
    bool seen =
        engine_call_wait(engine, "Page.captureScreenshot", {{"format", "png"}}, epage_.session, &seen_shot, &error);
    engine_call_wait(engine, "Runtime.evaluate", {{"expression", HIDE_TEXT_JS}}, epage_.session, &r, &error);
    if (!seen || !rimage_device_capture(engine_base64_decode(seen_shot.value("data", std::string())), scale,
                                        &out->engine_seen, &error)) {
        ADD_FAILURE() << "engine view with text: " << error;
        return false;
    }
    if (!engine_call_wait(engine, "Runtime.evaluate", {{"expression", TRUTH_JS}, {"returnByValue", true}},
                          epage_.session, &r, &error)) {
        ADD_FAILURE() << "truth: " << error;
        return false;
    }
    const nlohmann::json& v = r["result"]["value"];
    out->words.clear();
    for (const auto& w : v["words"])
        out->words.push_back({w[0].get<std::string>(), w[1].get<double>(), w[2].get<double>(), w[3].get<double>(),
                              w[4].get<double>(), w[5].get<std::string>()});
    auto boxes = [](const nlohmann::json& list, std::vector<EngineBox>* out) {
        out->clear();
        for (const auto& c : list)
            out->push_back({c[0].get<std::string>(), c[1].get<std::string>(), c[2].get<double>(), c[3].get<double>(),
                            c[4].get<double>(), c[5].get<double>()});
    };
    boxes(v["controls"], &out->controls);
    boxes(v["pictures"], &out->pictures);

    RenderInput in;
    in.snapshot = &out->snapshot;
    in.capture_png = out->capture;
    in.viewport = out->viewport;
    in.new_page = new_page;
    in.key = KEY;
    in.notice = notice;
    out->page = render_page(in, images);
    out->stream = (out->page.cut ? "<CL>" : "") + out->page.body + "<ST>";
    return true;
}

std::vector<uint16_t> RenderTest::draw(const std::string& stream, bool zoomed) {
    zoom_mode = zoomed ? 1 : 0;
    memcpy(working_key, KEY, sizeof KEY);
    write_page(stream);
    page_draw(0, 0);
    return screen();
}

std::vector<uint16_t> RenderTest::draw_update(const std::string& first, const std::string& update, bool zoomed) {
    draw(first, zoomed);
    return draw_more(update);
}

std::vector<uint16_t> RenderTest::draw_more(const std::string& update) {
    write_page(read_page() + update);
    page_draw(0, 0);
    return screen();
}

// Reads a hexadecimal argument (with an optional sign) at p; moves p past it.
static long hex_arg(const std::string& s, size_t* p) {
    while (*p < s.size() && s[*p] == ' ') (*p)++;
    bool neg = *p < s.size() && s[*p] == '-';
    if (neg) (*p)++;
    long v = 0;
    while (*p < s.size() && isxdigit((unsigned char)s[*p])) {
        char c = s[*p];
        v = v * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        (*p)++;
    }
    return neg ? -v : v;
}

static std::u16string utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = (unsigned char)s[i];
        size_t len = b < 0x80 ? 1 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        uint32_t cp = len == 1 ? b : b & (0xFF >> (len + 1));
        for (size_t k = 1; k < len && i + k < s.size(); k++) cp = cp << 6 | ((unsigned char)s[i + k] & 0x3F);
        out += (char16_t)cp;
        i += len;
    }
    return out;
}

void RenderTest::client_text(const std::string& stream, bool zoomed, std::vector<ClientWord>* words,
                             std::vector<ClientRun>* runs) {
    zoom_mode = zoomed ? 1 : 0;
    long size = 16, colour = 0;
    for (size_t i = 0; i + 3 < stream.size(); i++) {
        if (stream[i] != '<') continue;
        std::string code = stream.substr(i + 1, 2);
        size_t p = i + 3;
        if (code == "SZ") {
            size = hex_arg(stream, &p);
        } else if (code == "FC") {
            long r = hex_arg(stream, &p), g = hex_arg(stream, &p), b = hex_arg(stream, &p);
            colour = r << 16 | g << 8 | b;
        } else if (code == "IM") {
            for (int k = 0; k < 5; k++) hex_arg(stream, &p);
            long n = hex_arg(stream, &p);
            i = p + (size_t)n;  // past the payload
        } else if (code == "EN") {
            long v = hex_arg(stream, &p);
            i = p + (((size_t)(v >> 3) + 7) & ~(size_t)7);
        } else if (code == "DS") {
            hex_arg(stream, &p);
            long x = hex_arg(stream, &p), y = hex_arg(stream, &p), n = hex_arg(stream, &p);
            std::string text = stream.substr(p + 1, (size_t)n);
            i = p + 1 + (size_t)n;
            int px = (int)page_scale(size), pen = (int)page_scale(x), base = (int)page_scale(y);
            std::u16string t = utf16(text);
            int err = 0;
            runs->push_back({pen, pen + text_measure(text_engine, (const WCHAR*)t.c_str(), (uint16_t)t.size(), 0,
                                                     (int16_t)px, &err),
                             base, px, text});
            size_t start = 0;
            while (start < t.size()) {
                while (start < t.size() && (t[start] == u' ' || t[start] == 0xA0)) start++;
                if (start >= t.size()) break;
                size_t end = start;
                while (end < t.size() && t[end] != u' ' && t[end] != 0xA0) end++;
                int x0 = pen + text_measure(text_engine, (const WCHAR*)t.c_str(), (uint16_t)start, 0, (int16_t)px, &err);
                std::u16string w = t.substr(start, end - start);
                std::string w8;
                for (char16_t c : w) {
                    if (c < 0x80) w8 += (char)c;
                    else if (c < 0x800) w8 += (char)(0xC0 | (c >> 6)), w8 += (char)(0x80 | (c & 0x3F));
                    else w8 += (char)(0xE0 | (c >> 12)), w8 += (char)(0x80 | ((c >> 6) & 0x3F)), w8 += (char)(0x80 | (c & 0x3F));
                }
                words->push_back({w8, x0, base, px, colour});
                start = end;
            }
        }
    }
}

void RenderTest::keep(const std::string& name, const std::vector<uint16_t>& screen, const Rendered* r) {
    int w = r ? 640 : 320;
    std::vector<uint16_t> out((size_t)w * 240, 0x8410);
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++) {
            if (r && x < r->engine_seen.width && y < r->engine_seen.height)
                out[(size_t)y * w + x] = r->engine_seen.pixels[(size_t)y * r->engine_seen.width + x];
            out[(size_t)y * w + (r ? 320 : 0) + x] = screen[(size_t)y * 320 + x];
        }
    std::string path = std::string(CV_BINARY_DIR) + "/render-" + name + ".png";
    emu_write_png(path.c_str(), out.data(), w, 240);
}
