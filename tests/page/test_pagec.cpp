// The page compiler: counted UTF-8 texts, named frames, pictures with their
// payloads last, enciphered blocks, the page cut option and the link areas.
#include "page_fixture.h"

#include <cstring>

#include "net/key.h"
#include "net/xtea.h"

namespace {

std::string compile(const std::string& dir, const std::string& source, const std::string& options = "") {
    std::ofstream(dir + "/t.page") << source;
    std::string cmd = std::string(CV_BINARY_DIR) + "/pagec " + options + " --links " + dir + "/t.links " + dir +
                      "/t.page " + dir + "/t.txt 2>" + dir + "/err.txt";
    if (system(cmd.c_str()) != 0) return "FAILED";
    std::ifstream f(dir + "/t.txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

using Pagec = PageTest;

}  // namespace

TEST_F(Pagec, CountsUtf8BytesAndWritesNumbersInHex) {
    std::string out = compile(root, "frame side 0 0 200 480\ntext side 10 20 café > ok\nrect 3 0 0 640 480\nend\n");
    uint32_t side = (0u | (0u << 16)) ^ (480u | (200u << 16));
    char want[128];
    snprintf(want, sizeof want, "<FR 0 0 c8 1e0><DS %x a 14 a café > ok><CR 3 0 0 280 1e0><ST>", side);
    EXPECT_EQ(out, want);
}

TEST_F(Pagec, PicturesArePlacedWhereShownAndTheirPayloadsFollowAtTheEnd) {
    std::string cmd = "cp '" CV_SOURCE_DIR "/data/pages/images/star.png' '" + root + "/'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::string out = compile(root, "header\npage\nimage s star.png transparent\nshow 3 s 20 30\nend\n", "--cut");
    size_t body = out.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(out.find("Content-Length: " + std::to_string(out.size() - body - 4)), std::string::npos);
    EXPECT_EQ(out.compare(body + 4, 4, "<CL>"), 0);
    size_t im = out.find("<IM 3 14 1e 48 48 ");
    ASSERT_NE(im, std::string::npos);
    EXPECT_LT(out.find("<IS 3 "), im);
    EXPECT_EQ(out.compare(out.size() - 8, 8, "<IE><ST>"), 0);
    // The page draws with the picture.
    write_page(out);
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 1);
    EXPECT_GT(screen().size() - count_of(WHITE565), 200u);
}

TEST_F(Pagec, EncipheredBlocksOpenWithTheDeploymentKey) {
    std::string out = compile(root, "encipher 3\nrect 3 0 0 20 20\nend-encipher\n");
    ASSERT_EQ(out.compare(0, 7, "<EN 83>"), 0);  // 16 bytes * 8 + 3
    std::string c = out.substr(7);
    ASSERT_EQ(c.size(), 16u);
    unsigned char key[16];
    memcpy(key, CV_BASE_KEY, 16);
    key[2] = 3;
    xtea_decipher_buffer((unsigned char*)&c[0], 16, key);
    EXPECT_EQ(c.substr(0, 16), std::string("<CR 3 0 0 14 14>"));
}

TEST_F(Pagec, LinkAreasGoToTheirOwnFileAndErrorsNameTheLine) {
    compile(root, "link 10 20 30 40 /cv/demo2.txt\n");
    std::ifstream l(root + "/t.links");
    std::string line;
    std::getline(l, line);
    EXPECT_EQ(line, "10 20 30 40 /cv/demo2.txt");
    EXPECT_EQ(compile(root, "rect 3 0 0\n"), "FAILED");
    std::ifstream e(root + "/err.txt");
    std::getline(e, line);
    EXPECT_NE(line.find("t.page:1:"), std::string::npos);
}
