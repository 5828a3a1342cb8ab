// Whole screens of real pages as the client shows them, compared pixel for
// pixel with pictures a person has looked at (tests/render/golden). A missing
// golden fails like a mismatch: what the test got is kept beside the build
// (render-NAME.got.png), with the engine's own view of the page next to it
// (render-NAME.png), to be looked at and copied into the golden folder by
// hand when it is right.
#include "imageenc.h"
#include "render_fixture.h"

namespace {

class Golden : public RenderTest {
protected:
    void expect_golden(const std::vector<uint16_t>& screen, const std::string& name, const Rendered& r);
};

void Golden::expect_golden(const std::vector<uint16_t>& screen, const std::string& name, const Rendered& r) {
    std::string golden = std::string(CV_SOURCE_DIR) + "/tests/render/golden/" + name + ".png";
    std::string got = std::string(CV_BINARY_DIR) + "/render-" + name + ".got.png";
    RasterImage img;
    std::string error;
    if (!ie_load_png(golden, &img, &error)) {
        emu_write_png(got.c_str(), screen.data(), 320, 240);
        keep(name, screen, &r);
        FAIL() << "no golden picture " << golden << ": got " << got << " (look at it beside the engine's view in "
               << CV_BINARY_DIR << "/render-" << name << ".png before copying it there)";
    }
    ASSERT_EQ(img.width, 320);
    ASSERT_EQ(img.height, 240);
    std::vector<uint16_t> want = ie_to_rgb565(img, false);
    int differ = 0;
    for (size_t i = 0; i < screen.size(); i++) differ += screen[i] != want[i];
    if (differ) {
        emu_write_png(got.c_str(), screen.data(), 320, 240);
        keep(name, screen, &r);
    }
    EXPECT_EQ(differ, 0) << "pixels differ from " << golden << "; got " << got;
}

}  // namespace

TEST_F(Golden, TextPage) {
    Rendered r;
    ASSERT_TRUE(render(page_url("text.html"), false, &r));
    expect_golden(draw(r.stream, false), "text", r);
}

TEST_F(Golden, FormPageZoomedIn) {
    Rendered r;
    ASSERT_TRUE(render(page_url("form.html"), true, &r));
    expect_golden(draw(r.stream, true), "form-zoomed", r);
}

TEST_F(Golden, BoxesPage) {
    Rendered r;
    ASSERT_TRUE(render(page_url("boxes.html"), false, &r));
    expect_golden(draw(r.stream, false), "boxes", r);
}

TEST_F(Golden, BoxesPageZoomedIn) {
    Rendered r;
    ASSERT_TRUE(render(page_url("boxes.html"), true, &r));
    expect_golden(draw(r.stream, true), "boxes-zoomed", r);
}

TEST_F(Golden, PicturesPage) {
    Rendered r;
    ASSERT_TRUE(render(page_url("pictures.html"), false, &r));
    expect_golden(draw(r.stream, false), "pictures", r);
}
