// Form controls: the page's inputs, selects, text areas and buttons as the
// handheld's own controls, drawn and worked by it. Each gets a name unique in
// the page ("i" and the element's backend node id); the session finds the
// element again by that name when the handheld reports an edit or a choice.
#include <algorithm>
#include <cctype>

#include "server/render_internal.h"
#include "server/render_text.h"
#include "tools/pagestream/pagewriter.h"

// Texts of controls fit in one tag of at most 1023 bytes.
static const size_t CONTROL_TEXT_MAX = 900;
static const size_t LABEL_MAX = 200;
// The handheld's lists hold at most 500 items.
static const size_t LIST_ITEMS_MAX = 500;

static std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

static std::string input_type(const SnapDoc& d, int node) {
    std::string t = lower(d.attribute(node, "type"));
    return t.empty() ? "text" : t;
}

bool rcontrol_is_control(const SnapDoc& d, int node) {
    if (d.node_type[(size_t)node] != 1) return false;
    std::string n = d.name(node);
    if (n == "SELECT" || n == "TEXTAREA" || n == "BUTTON") return true;
    if (n != "INPUT") return false;
    std::string t = input_type(d, node);
    return t != "hidden" && t != "range" && t != "color";
}

// UTF-8 cut to at most `max` bytes at a character boundary; characters
// beyond the handheld's 16-bit range become "?" (it reads 4-byte sequences
// as the end of the text).
static std::string fit_utf8(const std::string& s, size_t max) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = (unsigned char)s[i];
        size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (i + len > s.size()) break;
        std::string ch = len == 4 ? std::string("?") : s.substr(i, len);
        if (out.size() + ch.size() > max) break;
        out += ch;
        i += len;
    }
    return out;
}

// A label as the handheld can draw it: white space collapsed, characters
// mapped to those its font cache holds.
static std::string label_text(const std::string& s) {
    std::u16string mapped;
    bool space = true;
    for (char16_t m : rtext_map_utf8(s)) {
        if (m == u' ') {
            if (space) continue;
            space = true;
        } else {
            space = false;
        }
        mapped += m;
    }
    while (!mapped.empty() && mapped.back() == u' ') mapped.pop_back();
    return fit_utf8(rtext_utf8(mapped, 0, mapped.size()), LABEL_MAX);
}

static bool is_descendant(const SnapDoc& d, int node, int ancestor) {
    for (int a = d.parent[(size_t)node]; a >= 0; a = d.parent[(size_t)a])
        if (a == ancestor) return true;
    return false;
}

// Text of a node's descendants (text nodes in document order).
static std::string inner_text(const SnapDoc& d, int node) {
    std::string out;
    for (size_t i = (size_t)node + 1; i < d.node_name.size() && is_descendant(d, (int)i, node); i++)
        if (d.node_type[i] == 3) out += d.str(d.node_value[i]) + " ";
    return out;
}

static std::string value_of(const SnapDoc& d, int node, bool textarea) {
    auto it = textarea ? d.text_value.find(node) : d.input_value.find(node);
    if (it == (textarea ? d.text_value.end() : d.input_value.end())) {
        it = d.input_value.find(node);
        if (it == d.input_value.end()) return "";
    }
    return d.str(it->second);
}

static std::string form_of(const SnapDoc& d, int node) {
    std::string f = d.attribute(node, "form");
    if (!f.empty()) return "#" + f;
    for (int a = d.parent[(size_t)node]; a >= 0; a = d.parent[(size_t)a])
        if (d.name(a) == "FORM") return std::to_string(a);
    return "-";
}

// The device rectangle of a control the handheld can show, or false when it
// is hidden, clipped away, inside another control or not placeable.
static bool control_place(PageContext& ctx, int li, int* x0, int* y0, int* x1, int* y1) {
    const SnapDoc& d = ctx.doc;
    int node = d.layout_node[(size_t)li];
    if (rpage_inside_control(ctx, node)) return false;  // a control inside a button: the button is what shows
    if (d.style(li, ST_VISIBILITY) == "hidden" || rpage_opacity(ctx, node) < 0.05f) return false;
    Box b = rpage_border_box(ctx, li);
    Box vis = rsnap_intersect(b, rpage_clip(ctx, node));
    if (vis.empty()) return false;
    const Geometry& g = ctx.geo;
    rpage_device_rect(ctx, b, x0, y0, x1, y1);
    // The handheld cannot place a control above the frame; one that begins
    // above it or ends beyond the content area is not offered.
    return !(*y0 < 0 || *x0 < 0 || *y0 >= g.dev_h || *x0 >= g.dev_w || *x1 <= *x0 || *y1 <= *y0);
}

bool rcontrol_offered(PageContext& ctx, int li) {
    const SnapDoc& d = ctx.doc;
    int node = d.layout_node[(size_t)li];
    if (node < 0 || (size_t)node >= d.node_name.size() || !rcontrol_is_control(d, node)) return false;
    int x0, y0, x1, y1;
    return control_place(ctx, li, &x0, &y0, &x1, &y1);
}

bool rcontrol_emit(PageContext& ctx, int li) {
    const SnapDoc& d = ctx.doc;
    int node = d.layout_node[(size_t)li];
    if (node < 0 || (size_t)node >= d.node_name.size() || !rcontrol_is_control(d, node)) return false;
    int x0, y0, x1, y1;
    if (!control_place(ctx, li, &x0, &y0, &x1, &y1)) return true;
    const Geometry& g = ctx.geo;
    bool z = g.zoomed;
    uint32_t f = ctx.em.frame;
    long x = render_unit_lo(z, x0), y = render_unit_lo(z, y0);
    long w = render_unit_lo(z, x1 - x0), h = render_unit_lo(z, y1 - y0);
    std::string name = "i" + std::to_string(d.backend[(size_t)node]);
    std::string tag = d.name(node);
    RenderControl rc;
    rc.name = name;
    rc.backend_node_id = d.backend[(size_t)node];
    std::string& out = ctx.em.out;

    if (tag == "INPUT") {
        std::string t = input_type(d, node);
        if (t == "checkbox" || t == "radio") {
            // The handheld's box is 7 pixels (9 zoomed), placed one pixel up
            // and left of the tag's position: centre it on the engine's.
            int icon = z ? 9 : 7;
            int cx = (x0 + x1 - icon) / 2 + 1, cy = (y0 + y1 - icon) / 2 + 1;
            long ux = render_unit_lo(z, std::max(cx, 1)), uy = render_unit_lo(z, std::max(cy, 1));
            int checked = d.checked.count(node) ? 1 : 0;
            if (t == "checkbox") {
                rc.kind = 'C';
                pw_check(out, "CB", f, ux, uy, w, h, checked, name);
            } else {
                rc.kind = 'R';
                std::string key = form_of(d, node) + "\n" + d.attribute(node, "name");
                if (d.attribute(node, "name").empty()) key = "#" + name;
                auto it = ctx.radio_groups.find(key);
                if (it == ctx.radio_groups.end()) it = ctx.radio_groups.emplace(key, "g" + name.substr(1)).first;
                rc.name = it->second;
                pw_check(out, "RB", f, ux, uy, w, h, checked, it->second);
            }
        } else if (t == "submit" || t == "reset" || t == "button" || t == "image" || t == "file") {
            rc.kind = 'B';
            std::string label = d.attribute(node, "value");
            if (!d.has_attribute(node, "value")) {
                label = t == "submit" ? "Submit" : t == "reset" ? "Reset" : t == "file" ? "Choose File" : "";
                if (t == "image") label = d.has_attribute(node, "alt") ? d.attribute(node, "alt") : "Submit";
            }
            label = label_text(label);
            pw_bt(out, f, x, y, w, h, name, label.empty() ? " " : label);
        } else if (t == "password") {
            rc.kind = 'P';
            std::string value = fit_utf8(value_of(d, node, false), CONTROL_TEXT_MAX);
            // The value travels only inside the scrambled block.
            if (ctx.input && ctx.input->key) pw_field(ctx.secret, "PF", f, x, y, w, h, name, value);
            else pw_field(out, "PF", f, x, y, w, h, name, "");
        } else {
            rc.kind = 'T';
            std::string value = value_of(d, node, false);
            value.erase(std::remove(value.begin(), value.end(), '\r'), value.end());
            std::replace(value.begin(), value.end(), '\n', ' ');
            pw_field(out, "TF", f, x, y, w, h, name, fit_utf8(value, CONTROL_TEXT_MAX));
        }
    } else if (tag == "TEXTAREA") {
        rc.kind = 'A';
        std::string value = value_of(d, node, true);
        value.erase(std::remove(value.begin(), value.end(), '\r'), value.end());
        pw_field(out, "TA", f, x, y, w, h, name, fit_utf8(value, CONTROL_TEXT_MAX));
    } else if (tag == "BUTTON") {
        rc.kind = 'B';
        std::string label = label_text(inner_text(d, node));
        pw_bt(out, f, x, y, w, h, name, label.empty() ? " " : label);
    } else if (tag == "SELECT") {
        std::string size = d.attribute(node, "size");
        bool list = d.has_attribute(node, "multiple") || (!size.empty() && atoi(size.c_str()) > 1);
        rc.kind = list ? 'L' : 'D';
        std::vector<int> options;
        for (size_t i = (size_t)node + 1; i < d.node_name.size() && is_descendant(d, (int)i, node); i++)
            if (d.node_type[i] == 1 && d.name((int)i) == "OPTION" && options.size() < LIST_ITEMS_MAX)
                options.push_back((int)i);
        // The handheld adds to the width it is given: a drop-down its arrow
        // button (9 pixels, 11 zoomed) and frame, a list box its frame and,
        // when the rows do not all show, its scroll buttons. Its rows never
        // cut a label short: the widest sets the least width.
        std::vector<std::string> labels;
        int widest = 0, px = z ? 10 : 8;
        for (int i : options) {
            labels.push_back(label_text(d.has_attribute(i, "label") ? d.attribute(i, "label") : inner_text(d, i)));
            widest = std::max(widest, rtext_client_width(rtext_from_utf8(labels.back()), px) + 4);
        }
        int dev_w = x1 - x0, dev_h = y1 - y0;
        if (list) {
            int rows = std::max(1, dev_h / 12);
            dev_w -= 3 + ((int)options.size() > rows ? 9 : 0);
            dev_h = std::max(dev_h, 12);
        } else {
            dev_w -= z ? 13 : 11;
            widest += 4;  // the drop-down is given its width less 4
        }
        w = render_unit_lo(z, std::max({dev_w, widest, 8}));
        h = render_unit_lo(z, dev_h);
        pw_list(out, list ? "LM" : "DM", f, x, y, w, h, name);
        for (size_t k = 0; k < options.size(); k++) {
            pw_item(out, list ? "LI" : "DI", d.selected.count(options[k]) ? 1 : 0, name, labels[k]);
            rc.options.push_back((int)k);
        }
    } else {
        return false;
    }
    ctx.controls.push_back(rc);
    return true;
}
