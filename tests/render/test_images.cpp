// Pictures within a session: a picture the client holds is shown again
// without its payload; the client's cache (128 pictures, emptied only by a
// page cut) is never asked to hold more.
#include <set>

#include "render_fixture.h"

namespace {

using Images = RenderTest;

// IM payload ids and IS ids of a stream, in order.
void picture_tags(const std::string& stream, std::vector<uint32_t>* payloads, std::vector<uint32_t>* shown) {
    for (size_t i = 0; i + 3 < stream.size(); i++) {
        if (stream[i] != '<') continue;
        if (stream.compare(i, 4, "<IS ") == 0) {
            unsigned f, id;
            if (sscanf(stream.c_str() + i, "<IS %x %x", &f, &id) == 2) shown->push_back(id);
        } else if (stream.compare(i, 4, "<IM ") == 0) {
            unsigned v[6];
            if (sscanf(stream.c_str() + i, "<IM %x %x %x %x %x %x>", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6) {
                size_t p = stream.find('>', i) + 1;
                const uint8_t* q = (const uint8_t*)stream.data() + p + 16;  // the id, big-endian
                payloads->push_back((uint32_t)q[0] << 24 | q[1] << 16 | q[2] << 8 | q[3]);
                i = p + v[5];
            }
        } else if (stream.compare(i, 4, "<EN ") == 0) {
            unsigned v;
            sscanf(stream.c_str() + i, "<EN %x", &v);
            i = stream.find('>', i) + ((v >> 3) + 7) / 8 * 8;
        }
    }
}

}  // namespace

TEST_F(Images, APictureTheClientHoldsTravelsOnce) {
    Rendered r;
    ASSERT_TRUE(render(page_url("pictures.html"), false, &r));
    std::vector<uint32_t> payloads, shown;
    picture_tags(r.stream, &payloads, &shown);
    ASSERT_FALSE(payloads.empty());
    EXPECT_EQ(payloads, r.page.new_image_ids);
    // every picture shown has its payload in this answer (the cut emptied the cache)
    for (uint32_t id : shown) EXPECT_NE(std::find(payloads.begin(), payloads.end(), id), payloads.end());
    std::vector<uint16_t> first = draw(r.stream, false);
    RenderImages images;
    render_images_commit(images, r.page);
    EXPECT_EQ(images.ids, r.page.new_image_ids);

    // The same state again without a cut: nothing visible changed, no payload.
    Rendered again;
    again.viewport = r.viewport;
    ASSERT_TRUE(rerender("", &again, false, images));
    EXPECT_FALSE(again.page.cut);
    EXPECT_EQ(again.page.signature, r.page.signature);
    payloads.clear();
    shown.clear();
    picture_tags(again.stream, &payloads, &shown);
    EXPECT_TRUE(payloads.empty());
    EXPECT_FALSE(shown.empty());

    // A picture changes: only it changes in the stream, and the client shows
    // the new page from its cache.
    Rendered changed;
    changed.viewport = r.viewport;
    ASSERT_TRUE(rerender("var g = document.getElementById('c').getContext('2d'); g.fillStyle = '#c00';"
                         "g.fillRect(0, 0, 60, 40);",
                         &changed, false, images));
    EXPECT_FALSE(changed.page.cut);
    EXPECT_NE(changed.page.signature, r.page.signature);
    payloads.clear();
    shown.clear();
    picture_tags(changed.stream, &payloads, &shown);
    // the canvas is now one colour: a rectangle, without a payload
    EXPECT_TRUE(payloads.empty());
    // the client's file: the first page, then the update (its frame replaced)
    std::vector<uint16_t> s = draw_update("<CL>" + r.page.body + "<ST>", changed.stream, false);
    keep("pictures-update", s, &changed);
    int red = 0;
    for (uint16_t p : s) red += p == 0xC800;
    EXPECT_GT(red, 200) << "the canvas shows red";
}

TEST_F(Images, MoreThanTheCacheHoldsIsCutToIt) {
    Rendered r;
    ASSERT_TRUE(render(page_url("many.html"), false, &r));
    std::vector<uint32_t> payloads, shown;
    picture_tags(r.stream, &payloads, &shown);
    EXPECT_EQ(payloads.size(), 128u);
    EXPECT_EQ(shown.size(), 128u) << "pictures the client could not keep are not shown";
    RenderImages images;
    render_images_commit(images, r.page);
    EXPECT_EQ(images.ids.size(), 128u);

    // One picture more: the cache is full, so the answer cuts the page and
    // starts the cache afresh.
    Rendered more;
    more.viewport = r.viewport;
    ASSERT_TRUE(rerender("var g = document.getElementById('c3').getContext('2d'); g.fillStyle = '#000';"
                         "g.fillRect(0, 0, 18, 18);",
                         &more, false, images));
    EXPECT_TRUE(more.page.cut);
    payloads.clear();
    shown.clear();
    picture_tags(more.stream, &payloads, &shown);
    EXPECT_EQ(payloads.size(), 128u);
    render_images_commit(images, more.page);
    EXPECT_EQ(images.ids.size(), 128u);
    std::set<uint32_t> distinct(images.ids.begin(), images.ids.end());
    EXPECT_EQ(distinct.size(), 128u);
}
