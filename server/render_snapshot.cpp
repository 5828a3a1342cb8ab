// The engine's DOM snapshot as plain tables, and the small parsers of the
// computed-style strings it carries (colours, lengths).
#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "server/render_internal.h"

const char* const RENDER_STYLE_NAMES[ST_COUNT] = {
    "display", "visibility", "color", "background-color", "background-image", "font-size",
    "overflow-x", "overflow-y", "position", "opacity", "white-space", "text-decoration-line",
    "letter-spacing", "word-spacing",
    "border-top-width", "border-right-width", "border-bottom-width", "border-left-width",
    "border-top-style", "border-right-style", "border-bottom-style", "border-left-style",
    "border-top-color", "border-right-color", "border-bottom-color", "border-left-color",
    "padding-top", "padding-right", "padding-bottom", "padding-left",
    "font-family", "-webkit-text-fill-color", "text-overflow",
};

Box rsnap_intersect(const Box& a, const Box& b) {
    Box r;
    r.x0 = std::max(a.x0, b.x0);
    r.y0 = std::max(a.y0, b.y0);
    r.x1 = std::min(a.x1, b.x1);
    r.y1 = std::min(a.y1, b.y1);
    return r;
}

Colour rsnap_colour(const std::string& s) {
    Colour c;
    double r = 0, g = 0, b = 0, a = 1;
    if (sscanf(s.c_str(), "rgba(%lf, %lf, %lf, %lf)", &r, &g, &b, &a) == 4 ||
        sscanf(s.c_str(), "rgb(%lf, %lf, %lf)", &r, &g, &b) == 3) {
        auto clamp = [](double v) { return (int)std::min(255.0, std::max(0.0, v + 0.5)); };
        c.r = clamp(r);
        c.g = clamp(g);
        c.b = clamp(b);
        c.a = clamp(a * 255);
    }
    return c;
}

Colour rsnap_colour_over(Colour c, double opacity, Colour bg) {
    double a = c.a / 255.0 * opacity;
    if (a >= 1) return {c.r, c.g, c.b, 255};
    auto mix = [a](int f, int b) { return (int)(f * a + b * (1 - a) + 0.5); };
    return {mix(c.r, bg.r), mix(c.g, bg.g), mix(c.b, bg.b), 255};
}

double rsnap_px(const std::string& s) { return s.empty() || s == "normal" ? 0 : atof(s.c_str()); }

static const std::string EMPTY;

// A whole number of the snapshot that fits T, or -1: the engine's tables
// hold indices and counts, and anything else in their place (a fraction, a
// number out of range, a string) must not be converted (out of range that
// would be undefined) nor throw.
template <typename T>
static T whole(const nlohmann::json& v) {
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        return u <= (uint64_t)std::numeric_limits<T>::max() ? (T)u : (T)-1;
    }
    if (v.is_number_integer()) {
        int64_t i = v.get<int64_t>();
        return i >= (int64_t)std::numeric_limits<T>::min() && i <= (int64_t)std::numeric_limits<T>::max() ? (T)i : (T)-1;
    }
    return (T)-1;
}

const std::string& SnapDoc::str(int i) const {
    if (!strings || !strings->is_array() || i < 0 || (size_t)i >= strings->size()) return EMPTY;
    const nlohmann::json& v = (*strings)[(size_t)i];
    return v.is_string() ? v.get_ref<const std::string&>() : EMPTY;
}

const std::string& SnapDoc::style(int layout, RenderStyle s) const {
    if (layout < 0 || (size_t)layout >= styles.size() || styles[(size_t)layout].size() <= (size_t)s) return EMPTY;
    return str(styles[(size_t)layout][(size_t)s]);
}

std::string SnapDoc::name(int node) const {
    if (node < 0 || (size_t)node >= node_name.size()) return EMPTY;
    return str(node_name[(size_t)node]);
}

static bool same_word(const std::string& a, const char* b) {
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

std::string SnapDoc::attribute(int node, const char* attr) const {
    if (!attributes || node < 0 || (size_t)node >= attributes->size()) return EMPTY;
    const nlohmann::json& list = (*attributes)[(size_t)node];
    if (!list.is_array()) return EMPTY;
    for (size_t i = 0; i + 1 < list.size(); i += 2)
        if (same_word(str(whole<int>(list[i])), attr)) return str(whole<int>(list[i + 1]));
    return EMPTY;
}

bool SnapDoc::has_attribute(int node, const char* attr) const {
    if (!attributes || node < 0 || (size_t)node >= attributes->size()) return false;
    const nlohmann::json& list = (*attributes)[(size_t)node];
    if (!list.is_array()) return false;
    for (size_t i = 0; i + 1 < list.size(); i += 2)
        if (same_word(str(whole<int>(list[i])), attr)) return true;
    return false;
}

// Reads an array of numbers; missing or malformed gives an empty list.
template <typename T>
static void read_ints(const nlohmann::json& obj, const char* key, std::vector<T>* out) {
    out->clear();
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_array()) return;
    out->reserve(it->size());
    for (const auto& v : *it) out->push_back(whole<T>(v));
}

// Sparse lists: {index: [...], value: [...]}.
static void read_sparse(const nlohmann::json& obj, const char* key, std::unordered_map<int, int>* out) {
    out->clear();
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_object()) return;
    auto idx = it->find("index"), val = it->find("value");
    if (idx == it->end() || val == it->end() || !idx->is_array() || !val->is_array()) return;
    for (size_t i = 0; i < idx->size() && i < val->size(); i++) (*out)[whole<int>((*idx)[i])] = whole<int>((*val)[i]);
}

static void read_flags(const nlohmann::json& obj, const char* key, std::unordered_map<int, bool>* out) {
    out->clear();
    auto it = obj.find(key);
    if (it == obj.end() || !it->is_object()) return;
    auto idx = it->find("index");
    if (idx == it->end() || !idx->is_array()) return;
    for (const auto& v : *idx) (*out)[whole<int>(v)] = true;
}

// A coordinate or length of the layout, within what the engine's layout can
// hold (its units saturate at about 2^25 CSS pixels): a number beyond that
// is no place on a page, and kept within it every product with the device's
// scale stays inside an int.
static double coord(const nlohmann::json& v) {
    if (!v.is_number()) return 0;
    const double most = 33554432.0;
    double c = v.get<double>();
    return c < -most ? -most : c > most ? most : c;
}

static double coord_of(const nlohmann::json& obj, const char* key) {
    auto it = obj.find(key);
    return it == obj.end() ? 0 : coord(*it);
}

static Box read_box(const nlohmann::json& v) {
    Box b;
    if (v.is_array() && v.size() >= 4) {
        b.x0 = coord(v[0]);
        b.y0 = coord(v[1]);
        b.x1 = b.x0 + coord(v[2]);
        b.y1 = b.y0 + coord(v[3]);
    }
    return b;
}

bool rsnap_parse(const nlohmann::json& snapshot, int document, SnapDoc* doc, std::string* error) {
    try {
        const auto& docs = snapshot.at("documents");
        if (document < 0 || (size_t)document >= docs.size()) {
            if (error) *error = "the snapshot has no such document";
            return false;
        }
        const auto& d = docs[(size_t)document];
        doc->strings = &snapshot.at("strings");
        const auto& nodes = d.at("nodes");
        read_ints(nodes, "parentIndex", &doc->parent);
        read_ints(nodes, "nodeType", &doc->node_type);
        read_ints(nodes, "nodeName", &doc->node_name);
        read_ints(nodes, "nodeValue", &doc->node_value);
        read_ints(nodes, "backendNodeId", &doc->backend);
        auto at = nodes.find("attributes");
        doc->attributes = at != nodes.end() && at->is_array() ? &*at : nullptr;
        read_sparse(nodes, "inputValue", &doc->input_value);
        read_sparse(nodes, "textValue", &doc->text_value);
        read_sparse(nodes, "contentDocumentIndex", &doc->content_document);
        read_flags(nodes, "inputChecked", &doc->checked);
        read_flags(nodes, "optionSelected", &doc->selected);
        size_t n = doc->node_name.size();
        doc->parent.resize(n, -1);
        // Nodes come in document order, every parent before its children;
        // a parent that does not is dropped, so that every walk up the tree
        // ends and stays inside the table.
        for (size_t i = 0; i < n; i++)
            if (doc->parent[i] < 0 || (size_t)doc->parent[i] >= i) doc->parent[i] = -1;
        doc->node_type.resize(n, 0);
        doc->node_value.resize(n, -1);
        doc->backend.resize(n, 0);

        const auto& layout = d.at("layout");
        read_ints(layout, "nodeIndex", &doc->layout_node);
        read_ints(layout, "text", &doc->layout_text);
        read_ints(layout, "paintOrders", &doc->paint_order);
        size_t m = doc->layout_node.size();
        doc->layout_text.resize(m, -1);
        doc->paint_order.resize(m, 0);
        doc->bounds.assign(m, Box());
        const auto& bounds = layout.at("bounds");
        for (size_t i = 0; i < m && i < bounds.size(); i++) doc->bounds[i] = read_box(bounds[i]);
        doc->client.assign(m, Box());
        auto cr = layout.find("clientRects");
        if (cr != layout.end() && cr->is_array())
            for (size_t i = 0; i < m && i < cr->size(); i++) doc->client[i] = read_box((*cr)[i]);
        doc->styles.assign(m, {});
        const auto& styles = layout.at("styles");
        for (size_t i = 0; i < m && i < styles.size(); i++) {
            auto& s = doc->styles[i];
            if (styles[i].is_array())
                for (const auto& v : styles[i]) s.push_back(whole<int>(v));
        }
        doc->layout_of.assign(n, -1);
        for (size_t i = 0; i < m; i++) {
            int node = doc->layout_node[i];
            if (node >= 0 && (size_t)node < n && doc->layout_of[(size_t)node] < 0) doc->layout_of[(size_t)node] = (int)i;
        }

        const auto& tb = d.at("textBoxes");
        read_ints(tb, "layoutIndex", &doc->tb_layout);
        read_ints(tb, "start", &doc->tb_start);
        read_ints(tb, "length", &doc->tb_length);
        size_t t = doc->tb_layout.size();
        doc->tb_start.resize(t, 0);
        doc->tb_length.resize(t, 0);
        doc->tb_bounds.assign(t, Box());
        const auto& tbb = tb.at("bounds");
        for (size_t i = 0; i < t && i < tbb.size(); i++) doc->tb_bounds[i] = read_box(tbb[i]);

        doc->scroll_x = coord_of(d, "scrollOffsetX");
        doc->scroll_y = coord_of(d, "scrollOffsetY");
        doc->content_w = coord_of(d, "contentWidth");
        doc->content_h = coord_of(d, "contentHeight");
    } catch (const std::exception& e) {
        if (error) *error = std::string("malformed snapshot: ") + e.what();
        return false;
    }
    return true;
}
