// Whole screens of real pages as the client shows them, compared pixel for
// pixel with pictures a person has looked at (tests/render/golden). A missing
// golden is written from what the test got and the test fails, so that it is
// looked at before it is kept; a mismatch keeps what the test got beside the
// build.
#include "imageenc.h"
#include "render_fixture.h"

namespace {

using Golden = RenderTest;

void expect_golden(const std::vector<uint16_t>& screen, const std::string& name) {
    std::string golden = std::string(CV_SOURCE_DIR) + "/tests/render/golden/" + name + ".png";
    std::string got = std::string(CV_BINARY_DIR) + "/render-" + name + ".got.png";
    RasterImage img;
    std::string error;
    if (!ie_load_png(golden, &img, &error)) {
        emu_write_png(golden.c_str(), screen.data(), 320, 240);
        FAIL() << "no golden picture: wrote " << golden << "; look at it before keeping it";
    }
    ASSERT_EQ(img.width, 320);
    ASSERT_EQ(img.height, 240);
    std::vector<uint16_t> want = ie_to_rgb565(img, false);
    int differ = 0;
    for (size_t i = 0; i < screen.size(); i++) differ += screen[i] != want[i];
    if (differ) emu_write_png(got.c_str(), screen.data(), 320, 240);
    EXPECT_EQ(differ, 0) << "pixels differ from " << golden << "; got " << got;
}

}  // namespace

TEST_F(Golden, TextPage) {
    Rendered r;
    ASSERT_TRUE(render(page_url("text.html"), false, &r));
    expect_golden(draw(r.stream, false), "text");
}

TEST_F(Golden, FormPageZoomedIn) {
    Rendered r;
    ASSERT_TRUE(render(page_url("form.html"), true, &r));
    expect_golden(draw(r.stream, true), "form-zoomed");
}

TEST_F(Golden, BoxesPage) {
    Rendered r;
    ASSERT_TRUE(render(page_url("boxes.html"), false, &r));
    expect_golden(draw(r.stream, false), "boxes");
}

TEST_F(Golden, PicturesPage) {
    Rendered r;
    ASSERT_TRUE(render(page_url("pictures.html"), false, &r));
    expect_golden(draw(r.stream, false), "pictures");
}
