// Pictures in parts. The handheld's LZ format copies at most sixteen bytes a
// match, so even a one-colour picture costs about two bits a pixel, while a
// filled rectangle (BC + CR) costs a few tens of bytes whatever its size. A
// picture with large one-colour areas (a sky band, the plain ground of a
// drawing) is therefore cut, along whole rows or columns, into one-colour
// rectangles and rectangular pieces that travel as pictures of their own;
// but only where the parts, compressed as they will travel, make the stream
// smaller than the picture sent whole.
//
// Weighing every candidate by compressing it would cost many compressions a
// picture, so the planning weighs pieces by what their pixels cost in the
// picture compressed whole (the bits of the LZ tokens that made each pixel),
// and only the plan found is compressed and compared with the whole picture.
// Plans are kept (by a hash of the pixels) for the pictures seen last, so a
// picture that comes again costs no compression at all.
//
// The plan depends on the pixels alone (never on where the picture stands or
// what the handheld holds), so the same picture always gives the same
// pieces, and their ids (hashes of their pixels) find them in the handheld's
// cache when they come again.
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

#include "server/render_internal.h"
#include "tools/pagestream/imageenc.h"
#include "tools/pagestream/pagewriter.h"

namespace {

// A one-colour rectangle smaller than this (pixels) is left in its piece: at
// the LZ format's floor its pixels cost less than the rectangle's tags.
const long FLAT_MIN_AREA = 128;
// Nesting of cuts in one picture at most (each level cuts one rectangle out).
const int PLAN_MAX_DEPTH = 48;
// What one of the handheld's 128 picture slots is worth, in stream bytes: a
// piece must save more than its tags and this to be cut out.
const long SLOT_PRICE = 16;
// Pieces of one picture at most: a picture that would need more (a fine
// pattern of plain patches) saves too little for the handheld's slots and
// its work of decoding them, and travels whole.
const size_t PICTURE_MAX_PIECES = 16;
// Plans kept for pictures that come again: their payloads' bytes at most.
const size_t KEPT_PLAN_BYTES = 8u << 20;
// Fills of a picture that are looked at for joining, at most.
const size_t JOIN_MAX_FILLS = 64;
// Unions of parts tried as one piece, at most, a picture (each costs a
// compression) and the largest such union (pixels).
const int MERGE_TRIALS = 8;
const long MERGE_MAX_AREA = 1L << 16;

bool exact_payloads = false;

struct Rect {
    int x0, y0, x1, y1;
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    long area() const { return (long)width() * height(); }
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    bool operator==(const Rect& o) const { return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1; }
};

// The tags a piece needs besides its payload: its IM tag and end, and one
// IS; and the payload's own header.
long piece_tag_bytes() {
    static const long bytes = [] {
        std::string s;
        pw_im(s, 3, 0x123, 0x123, 0x123, 0x123, std::vector<uint8_t>(0x1234));
        long tags = (long)s.size() - 0x1234;
        s.clear();
        pw_is(s, 3, 0x12345678u, 0x123, 0x123);
        return tags + (long)s.size();
    }();
    return bytes;
}

long piece_cost(size_t payload) { return (long)payload + piece_tag_bytes() + SLOT_PRICE; }

// What each pixel of a picture cost in its payload: a literal's
// nine bits go to its byte, a match's seventeen are shared by the bytes it
// makes; the header's sixteen bytes are left out.
std::vector<uint32_t> pixel_bits(const std::vector<uint8_t>& payload, size_t pixels) {
    // In sixteenths of a bit, so that a match's share is exact enough.
    std::vector<uint32_t> bits(pixels, 16 * 16);
    if (payload.size() < 6 || payload[2] != IMAGE_COMPRESSED) return bits;  // stored: sixteen bits each
    std::fill(bits.begin(), bits.end(), 0);
    size_t out = 0, p = 6, end = payload.size(), limit = 16 + 2 * pixels;
    auto give = [&](size_t n, uint32_t sixteenths) {
        for (size_t k = 0; k < n; k++, out++)
            if (out >= 16 && out < limit) bits[(out - 16) / 2] += sixteenths / (uint32_t)n;
    };
    while (p + 2 <= end && out < limit) {
        unsigned flags = payload[p] | payload[p + 1] << 8;
        p += 2;
        for (int bit = 0; bit < 16 && p < end; bit++, flags >>= 1) {
            if (!(flags & 1)) {
                give(1, 9 * 16);
                p++;
            } else {
                if (p + 2 > end) break;
                give((size_t)(payload[p] & 0x0F) + 1, 17 * 16);
                p += 2;
            }
        }
    }
    return bits;
}

struct Planner {
    const std::vector<uint16_t>& px;
    int stride;
    bool zoomed;
    std::vector<uint64_t> sum;  // summed pixel bits (sixteenths): (stride + 1) x (rows + 1)

    uint16_t at(int x, int y) const { return px[(size_t)y * stride + x]; }

    void weigh(const std::vector<uint32_t>& bits, int rows) {
        size_t w = (size_t)stride + 1;
        sum.assign(w * (size_t)(rows + 1), 0);
        for (int y = 0; y < rows; y++)
            for (int x = 0; x < stride; x++)
                sum[(size_t)(y + 1) * w + x + 1] = bits[(size_t)y * stride + x] + sum[(size_t)y * w + x + 1] +
                                                   sum[(size_t)(y + 1) * w + x] - sum[(size_t)y * w + x];
    }

    // The bytes r's pixels cost in the picture compressed whole.
    long pixel_bytes(const Rect& r) const {
        size_t w = (size_t)stride + 1;
        uint64_t s = sum[(size_t)r.y1 * w + r.x1] - sum[(size_t)r.y0 * w + r.x1] - sum[(size_t)r.y1 * w + r.x0] +
                     sum[(size_t)r.y0 * w + r.x0];
        return (long)((s + 127) / 128);
    }

    bool uniform(const Rect& r, uint16_t* colour) const {
        uint16_t c = at(r.x0, r.y0);
        for (int y = r.y0; y < r.y1; y++)
            for (int x = r.x0; x < r.x1; x++)
                if (at(x, y) != c) return false;
        *colour = c;
        return true;
    }

    // What the rectangle costs as a fill wherever it stands: the handheld
    // places some thin rectangles only as lines, depending on how the page
    // units fall, so the dearest of the alignments counts.
    long fill_cost(const Rect& r) const {
        long most = 0;
        for (int dy = 0; dy < 3; dy++)
            for (int dx = 0; dx < 3; dx++) {
                Emitter e;
                e.zoomed = zoomed;
                e.dev_w = e.dev_h = 4096;
                int x = 192 + dx, y = 144 + dy;
                remit_fill(e, x, y, x + r.width(), y + r.height(), Colour{0x12, 0x34, 0x56, 255});
                most = std::max(most, (long)e.out.size());
            }
        return most;
    }

    // The largest one-colour rectangle inside r: for every row, the runs of
    // one colour along it, over columns of how many rows above share each
    // pixel's colour (the largest rectangle under a histogram).
    long largest_flat(const Rect& r, Rect* best) const {
        int w = r.width();
        std::vector<int> height((size_t)w, 0);
        std::vector<std::pair<int, int>> stack;  // start, height
        long best_area = 0;
        for (int y = r.y0; y < r.y1; y++) {
            for (int i = 0; i < w; i++) {
                int x = r.x0 + i;
                height[(size_t)i] = y > r.y0 && at(x, y) == at(x, y - 1) ? height[(size_t)i] + 1 : 1;
            }
            int rows = y - r.y0 + 1;
            for (int a = 0; a < w;) {
                int b = a + 1;
                while (b < w && at(r.x0 + b, y) == at(r.x0 + a, y)) b++;
                if ((long)(b - a) * rows > best_area) {
                    stack.clear();
                    for (int i = a; i <= b; i++) {
                        int h = i < b ? height[(size_t)i] : 0;
                        int start = i;
                        while (!stack.empty() && stack.back().second >= h) {
                            auto [s, sh] = stack.back();
                            stack.pop_back();
                            long area = (long)sh * (i - s);
                            if (area > best_area) {
                                best_area = area;
                                *best = Rect{r.x0 + s, y - sh + 1, r.x0 + i, y + 1};
                            }
                            start = s;
                        }
                        stack.emplace_back(start, h);
                    }
                }
                a = b;
            }
        }
        return best_area;
    }

    // The parts left around f when it is cut out of r: two whole bands and
    // two pieces beside f, across or along, whichever leaves the smaller
    // pieces beside it.
    static std::vector<Rect> around(const Rect& r, const Rect& f) {
        long beside_across = (long)(r.width() - f.width()) * f.height();
        long beside_along = (long)(r.height() - f.height()) * f.width();
        Rect across[4] = {{r.x0, r.y0, r.x1, f.y0}, {r.x0, f.y0, f.x0, f.y1}, {f.x1, f.y0, r.x1, f.y1},
                          {r.x0, f.y1, r.x1, r.y1}};
        Rect along[4] = {{r.x0, r.y0, f.x0, r.y1}, {f.x0, r.y0, f.x1, f.y0}, {f.x0, f.y1, f.x1, r.y1},
                         {f.x1, r.y0, r.x1, r.y1}};
        std::vector<Rect> parts;
        for (const Rect& p : beside_across <= beside_along ? across : along)
            if (!p.empty()) parts.push_back(p);
        return parts;
    }

    static PicturePart part(const Rect& r, bool flat, uint16_t colour) {
        PicturePart p;
        p.x0 = r.x0;
        p.y0 = r.y0;
        p.x1 = r.x1;
        p.y1 = r.y1;
        p.flat = flat;
        p.colour = colour;
        return p;
    }

    // The cheapest parts of r found, by the estimate: r as one piece, or
    // its largest one-colour rectangle cut out and the rest planned alike.
    long plan(const Rect& r, int depth, std::vector<PicturePart>* parts) const {
        uint16_t colour;
        if (uniform(r, &colour)) {
            parts->push_back(part(r, true, colour));
            return fill_cost(r);
        }
        long best = piece_cost(16 + 6 + (size_t)pixel_bytes(r));
        Rect f{0, 0, 0, 0};
        if (depth < PLAN_MAX_DEPTH && r.area() > FLAT_MIN_AREA && largest_flat(r, &f) >= FLAT_MIN_AREA) {
            std::vector<PicturePart> split;
            split.push_back(part(f, true, at(f.x0, f.y0)));
            long cost = fill_cost(f);
            for (const Rect& p : around(r, f)) {
                if (cost >= best) break;
                cost += plan(p, depth + 1, &split);
            }
            if (cost < best) {
                for (PicturePart& p : split) parts->push_back(std::move(p));
                return cost;
            }
        }
        parts->push_back(part(r, false, 0));
        return best;
    }

    // A piece's pixels, id and payload.
    void make_piece(PicturePart* p) const {
        int w = p->x1 - p->x0, h = p->y1 - p->y0;
        p->pixels.resize((size_t)w * h);
        for (int y = p->y0; y < p->y1; y++)
            std::copy(&px[(size_t)y * stride + p->x0], &px[(size_t)y * stride + p->x1],
                      &p->pixels[(size_t)(y - p->y0) * w]);
        p->id = rimage_id(p->pixels.data(), w, h, w);
        p->payload = rpieces_payload(p->pixels, w, h, p->id);
    }
};

// Plans of the pictures seen last, by their pixels; oldest dropped first.
struct KeptPlans {
    std::mutex lock;
    std::map<std::pair<uint64_t, uint64_t>, PicturePlan> plans;
    std::deque<std::pair<uint64_t, uint64_t>> order;
    size_t bytes = 0;
};
KeptPlans kept;

size_t plan_bytes(const PicturePlan& plan) {
    size_t n = plan.whole.payload.size() + sizeof plan;
    for (const PicturePart& p : plan.parts) n += p.payload.size() + sizeof p;
    return n;
}

std::pair<uint64_t, uint64_t> plan_key(const std::vector<uint16_t>& pixels, int width, int height, bool zoomed) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a over the pixels
    for (uint16_t v : pixels) {
        h = (h ^ (v & 0xFF)) * 1099511628211ull;
        h = (h ^ (v >> 8)) * 1099511628211ull;
    }
    return {h, (uint64_t)width << 32 | (uint64_t)height << 1 | (zoomed ? 1 : 0)};
}

}  // namespace

bool rpieces_enabled = true;

void rpieces_exact_payloads(bool exact) {
    std::lock_guard<std::mutex> hold(kept.lock);
    exact_payloads = exact;
    kept.plans.clear();
    kept.order.clear();
    kept.bytes = 0;
}

std::vector<uint8_t> rpieces_payload(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id) {
    if (exact_payloads) return ie_payload_pixels(ie_expanded(pixels, width, height, id, false), width, 0);
    return rimage_payload(pixels, width, height, id);
}

Colour rpieces_colour(uint16_t rgb565) {
    int r = rgb565 >> 11, g = (rgb565 >> 5) & 0x3F, b = rgb565 & 0x1F;
    // The high bits repeated below: white stays 255, and the handheld, which
    // keeps the high bits, gets this very value back.
    return Colour{r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2, 255};
}

std::vector<PictureDraw> rpieces_draws(const std::vector<PicturePart>& parts) {
    std::vector<PictureDraw> joined, rest;
    std::vector<int> flats;
    int w = 0, h = 0;
    for (size_t k = 0; k < parts.size(); k++) {
        const PicturePart& p = parts[k];
        if (p.flat && !Rect{p.x0, p.y0, p.x1, p.y1}.empty() && p.x0 >= 0 && p.y0 >= 0) flats.push_back((int)k);
        w = std::max(w, p.x1);
        h = std::max(h, p.y1);
    }
    std::vector<bool> absorbed(parts.size(), false);
    // Joining looks at every pair of fills a pass: pictures of more fills
    // (a fine pattern) are drawn as cut.
    if (flats.size() >= 3 && flats.size() <= JOIN_MAX_FILLS && (long)w * h <= (1L << 22)) {
        // How many pixels the fills cover, summed over every rectangle from
        // the top left corner, so that a rectangle's cover is four lookups.
        size_t stride = (size_t)w + 1;
        std::vector<int32_t> filled(stride * (size_t)(h + 1), 0);
        for (int k : flats) {
            const PicturePart& p = parts[(size_t)k];
            for (int y = p.y0; y < p.y1; y++)
                for (int x = p.x0; x < p.x1; x++) filled[(size_t)(y + 1) * stride + x + 1] = 1;
        }
        for (int y = 1; y <= h; y++)
            for (int x = 1; x <= w; x++)
                filled[(size_t)y * stride + x] += filled[(size_t)(y - 1) * stride + x] +
                                                  filled[(size_t)y * stride + x - 1] -
                                                  filled[(size_t)(y - 1) * stride + x - 1];
        auto covered = [&](const Rect& r) {
            long n = (long)filled[(size_t)r.y1 * stride + r.x1] - filled[(size_t)r.y0 * stride + r.x1] -
                     filled[(size_t)r.y1 * stride + r.x0] + filled[(size_t)r.y0 * stride + r.x0];
            return n == r.area();
        };
        auto overlap = [](const Rect& a, const Rect& b) {
            return a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
        };
        auto fits = [&](const Rect& r) {
            for (const PictureDraw& j : joined)
                if (overlap(r, Rect{j.x0, j.y0, j.x1, j.y1})) return false;
            return covered(r);
        };
        for (int seed : flats) {
            if (absorbed[(size_t)seed]) continue;
            const PicturePart& s = parts[(size_t)seed];
            Rect box{s.x0, s.y0, s.x1, s.y1};
            std::vector<int> members{seed};
            for (bool grew = true; grew;) {
                grew = false;
                for (int k : flats) {
                    const PicturePart& t = parts[(size_t)k];
                    if (absorbed[(size_t)k] || t.colour != s.colour ||
                        std::find(members.begin(), members.end(), k) != members.end())
                        continue;
                    Rect b{std::min(box.x0, t.x0), std::min(box.y0, t.y0), std::max(box.x1, t.x1),
                           std::max(box.y1, t.y1)};
                    if (!fits(b)) continue;
                    box = b;
                    members.push_back(k);
                    grew = true;
                }
            }
            if (members.size() < 2) continue;
            for (int k : members) absorbed[(size_t)k] = true;
            PictureDraw d;
            d.x0 = box.x0, d.y0 = box.y0, d.x1 = box.x1, d.y1 = box.y1;
            d.colour = s.colour;
            joined.push_back(d);
        }
    }
    for (size_t k = 0; k < parts.size(); k++) {
        if (absorbed[k]) continue;
        const PicturePart& p = parts[k];
        PictureDraw d;
        d.part = (int)k;
        d.x0 = p.x0, d.y0 = p.y0, d.x1 = p.x1, d.y1 = p.y1;
        d.colour = p.colour;
        rest.push_back(d);
    }
    joined.insert(joined.end(), rest.begin(), rest.end());
    return joined;
}

// What a part costs in the stream (its fill, or its piece with tags and slot).
static long part_cost(const Planner& planner, const PicturePart& p) {
    return p.flat ? planner.fill_cost(Rect{p.x0, p.y0, p.x1, p.y1}) : piece_cost(p.payload.size());
}

// The planning weighs a piece by what its pixels cost in the whole picture,
// which misses how much cheaper a strip is beside the rows it can copy from:
// a thin piece cut off below a larger one may cost more, with its own tags,
// than the two together. Unions of two parts (at least one a piece) that
// are exactly covered by parts are compressed as one piece, smallest first,
// and replace their parts where that is cheaper. `cost` is each part's.
static void merge_parts(const Planner& planner, const Rect& all, std::vector<PicturePart>* parts,
                        std::vector<long>* cost, long* bytes) {
    int trials = 0;
    for (bool merged = true; merged && trials < MERGE_TRIALS;) {
        merged = false;
        std::vector<Rect> unions;
        for (size_t i = 0; i < parts->size(); i++)
            for (size_t j = i + 1; j < parts->size(); j++) {
                const PicturePart &a = (*parts)[i], &b = (*parts)[j];
                if (a.flat && b.flat) continue;
                Rect u{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
                if (u.area() <= MERGE_MAX_AREA && !(u == all) &&
                    std::find(unions.begin(), unions.end(), u) == unions.end())
                    unions.push_back(u);
            }
        std::stable_sort(unions.begin(), unions.end(), [](const Rect& a, const Rect& b) { return a.area() < b.area(); });
        for (const Rect& u : unions) {
            // the parts inside it, which must cover it exactly
            long area = 0, before = 0;
            std::vector<size_t> inside;
            for (size_t k = 0; k < parts->size(); k++) {
                const PicturePart& p = (*parts)[k];
                if (p.x0 >= u.x0 && p.y0 >= u.y0 && p.x1 <= u.x1 && p.y1 <= u.y1) {
                    inside.push_back(k);
                    area += (long)(p.x1 - p.x0) * (p.y1 - p.y0);
                    before += (*cost)[k];
                }
            }
            if (area != u.area()) continue;
            if (trials++ >= MERGE_TRIALS) break;
            PicturePart one = Planner::part(u, false, 0);
            planner.make_piece(&one);
            one.pixels.clear();
            long after = piece_cost(one.payload.size());
            if (after >= before) continue;
            for (size_t k = inside.size(); k-- > 0;) {
                parts->erase(parts->begin() + (long)inside[k]);
                cost->erase(cost->begin() + (long)inside[k]);
            }
            parts->push_back(std::move(one));
            cost->push_back(after);
            *bytes -= before - after;
            merged = true;
            break;
        }
    }
}

static PicturePlan make_plan(const std::vector<uint16_t>& pixels, int width, int height, bool zoomed) {
    PicturePlan plan;
    Planner planner{pixels, width, zoomed, {}};
    Rect all{0, 0, width, height};
    uint16_t colour;
    if (planner.uniform(all, &colour)) {
        plan.parts.push_back(Planner::part(all, true, colour));
        plan.bytes = plan.whole_bytes = planner.fill_cost(all);
        return plan;
    }
    plan.whole = Planner::part(all, false, 0);
    planner.make_piece(&plan.whole);
    plan.whole.pixels.clear();
    plan.bytes = plan.whole_bytes = piece_cost(plan.whole.payload.size());
    Rect f;
    if (planner.largest_flat(all, &f) >= FLAT_MIN_AREA) {
        planner.weigh(pixel_bits(plan.whole.payload, pixels.size()), height);
        std::vector<PicturePart> parts;
        planner.plan(all, 0, &parts);
        size_t pieces = (size_t)std::count_if(parts.begin(), parts.end(), [](const PicturePart& p) { return !p.flat; });
        if (parts.size() > 1 && pieces <= PICTURE_MAX_PIECES) {
            // Weighed as they will travel.
            long bytes = 0;
            std::vector<long> cost;
            for (PicturePart& p : parts) {
                if (!p.flat) {
                    planner.make_piece(&p);
                    p.pixels.clear();
                }
                cost.push_back(part_cost(planner, p));
                bytes += cost.back();
            }
            if (bytes < plan.whole_bytes) {
                merge_parts(planner, all, &parts, &cost, &bytes);
                plan.parts = std::move(parts);
                plan.bytes = bytes;
                return plan;
            }
        }
    }
    plan.parts.push_back(plan.whole);
    return plan;
}

PicturePlan rpieces_plan(const std::vector<uint16_t>& pixels, int width, int height, bool zoomed) {
    if (width <= 0 || height <= 0 || pixels.size() != (size_t)width * height) return PicturePlan();
    std::pair<uint64_t, uint64_t> key = plan_key(pixels, width, height, zoomed);
    {
        std::lock_guard<std::mutex> hold(kept.lock);
        auto it = kept.plans.find(key);
        if (it != kept.plans.end()) return it->second;
    }
    PicturePlan plan = make_plan(pixels, width, height, zoomed);
    std::lock_guard<std::mutex> hold(kept.lock);
    size_t n = plan_bytes(plan);
    if (n <= KEPT_PLAN_BYTES / 4 && kept.plans.emplace(key, plan).second) {
        kept.order.push_back(key);
        kept.bytes += n;
        while (kept.bytes > KEPT_PLAN_BYTES && !kept.order.empty()) {
            auto old = kept.plans.find(kept.order.front());
            kept.bytes -= plan_bytes(old->second);
            kept.plans.erase(old);
            kept.order.pop_front();
        }
    }
    return plan;
}

PicturePlan rpieces_whole(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id) {
    PicturePlan plan;
    PicturePart p;
    p.x1 = width;
    p.y1 = height;
    p.pixels = pixels;
    p.id = id;
    plan.parts.push_back(p);
    plan.whole = std::move(p);
    return plan;
}
