// Image payloads: expansion, decoding and its bounds, the cache, IM and IS.
#include "page_fixture.h"

#include <cstring>
#include <random>

#include "imageenc.h"
#include "pagewriter.h"

namespace {

const char OPENING[] = "<FR 0 0 280 1e0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0>";

// A test picture: a gradient with a black square in the middle.
std::vector<uint16_t> picture(int w, int h) {
    std::vector<uint16_t> px((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            bool square = x >= w / 3 && x < 2 * w / 3 && y >= h / 3 && y < 2 * h / 3;
            px[(size_t)y * w + x] = square ? 0 : ie_rgb565((uint8_t)(x / 4 * 32), (uint8_t)(y / 4 * 32), 200);
        }
    return px;
}

std::vector<uint8_t> payload_of(int w, int h, uint32_t id, bool transparent, int method) {
    return ie_payload(ie_expanded(picture(w, h), w, h, id, transparent), method);
}

ImageRecord* decode(const std::vector<uint8_t>& p) { return image_decode(p.data(), (DWORD)p.size()); }

}  // namespace

using ImagePage = PageTest;

TEST(ImageDecode, StoredAndCompressedPayloadsOfOnePictureDecodeAlike) {
    std::vector<uint8_t> stored = payload_of(24, 17, 0x0DD369F3, true, IMAGE_STORED);
    std::vector<uint8_t> packed = payload_of(24, 17, 0x0DD369F3, true, IMAGE_COMPRESSED);
    EXPECT_EQ(stored.size(), 22u + 2 * 24 * 17);
    EXPECT_EQ(stored[2], 1);
    EXPECT_LT(packed.size(), stored.size());
    ImageRecord* a = decode(stored);
    ImageRecord* b = decode(packed);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->width, 24);
    EXPECT_EQ(a->height, 17);
    EXPECT_EQ(a->id, 0x0DD369F3u);
    EXPECT_EQ(b->id, 0x0DD369F3u);
    EXPECT_EQ(a->transparent, 1);
    EXPECT_EQ(a->key, 0);
    EXPECT_EQ(memcmp(a->pixels, b->pixels, 24 * 17 * 2), 0);
    EXPECT_EQ(a->pixels[0], picture(24, 17)[0]);
    EXPECT_EQ(a->reserved_colour[0], 0xFF);
    image_free(a);
    image_free(b);
    image_free(nullptr);
}

TEST(Lz, CompressorFindsTheRepeatsOfAPictureWithFlatAreas) {
    std::vector<uint16_t> px(64 * 40, ie_rgb565(30, 90, 200));
    for (int i = 0; i < 40; i++) px[(size_t)i * 64 + i] = 0;  // a diagonal line
    std::vector<uint8_t> e = ie_expanded(px, 64, 40, 1, false);
    std::vector<uint8_t> packed = ie_payload(e, IMAGE_COMPRESSED);
    EXPECT_LT(packed.size() * 5, e.size());
    ImageRecord* img = decode(packed);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(memcmp(img->pixels, px.data(), px.size() * 2), 0);
    image_free(img);
}

TEST(Lz, DistanceOneLengthSixteenRepeatsTheLastByte) {
    // flags: literal, match
    const BYTE in[] = {2, 0xCD, 0xCD, 0xCD, 0x02, 0x00, 'q', 0x0F, 0x01};
    BYTE out[32];
    EXPECT_EQ(lz_expand(in, sizeof in, out, sizeof out), 17);
    for (int i = 0; i < 17; i++) EXPECT_EQ(out[i], 'q');
}

TEST(Lz, StreamMayEndInsideAGroupAndSixBytePayloadIsEmpty) {
    const BYTE in[] = {2, 0xCD, 0xCD, 0xCD, 0x00, 0x00, 'a', 'b'};
    BYTE out[8];
    EXPECT_EQ(lz_expand(in, sizeof in, out, sizeof out), 2);
    EXPECT_EQ(lz_expand(in, 4, out, sizeof out), 0);
}

TEST(Lz, CompressorRoundTripsEveryKindOfData) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; round++) {
        std::vector<uint8_t> data(1 + rng() % 9000);
        int kind = round % 4;
        for (size_t i = 0; i < data.size(); i++) {
            if (kind == 0) data[i] = (uint8_t)rng();
            else if (kind == 1) data[i] = (uint8_t)(i / 37);
            else if (kind == 2) data[i] = (uint8_t)"abcabcabd"[i % 9];
            else data[i] = i > 5000 ? data[i - 4096 + 1] : (uint8_t)(rng() % 3);
        }
        std::vector<uint8_t> packed = lz_compress(data, round % 17);
        std::vector<uint8_t> in = {2, 0xCD, 0xCD, 0xCD};
        in.insert(in.end(), packed.begin(), packed.end());
        std::vector<uint8_t> out(data.size());
        ASSERT_EQ(lz_expand(in.data(), (DWORD)in.size(), out.data(), (DWORD)out.size()), (LONG)data.size());
        ASSERT_EQ(out, data) << "round " << round;
    }
}

TEST(Hostile, MatchesBeforeTheStartOrBeyondTheOutputAreRejected) {
    BYTE out[64];
    const BYTE before_start[] = {2, 0, 0, 0, 0x02, 0x00, 'a', 0x03, 0x02};  // distance 2 after 1 byte
    EXPECT_EQ(lz_expand(before_start, sizeof before_start, out, sizeof out), -1);
    const BYTE distance_zero[] = {2, 0, 0, 0, 0x02, 0x00, 'a', 0x03, 0x00};
    EXPECT_EQ(lz_expand(distance_zero, sizeof distance_zero, out, sizeof out), -1);
    const BYTE too_long[] = {2, 0, 0, 0, 0x02, 0x00, 'a', 0x0F, 0x01};
    EXPECT_EQ(lz_expand(too_long, sizeof too_long, out, 10), -1);
    const BYTE cut_match[] = {2, 0, 0, 0, 0x02, 0x00, 'a', 0x0F};
    EXPECT_EQ(lz_expand(cut_match, sizeof cut_match, out, sizeof out), -1);
    const BYTE stored_too_big[] = {1, 0, 0, 0, 1, 2, 3, 4, 5};
    EXPECT_EQ(lz_expand(stored_too_big, sizeof stored_too_big, out, 4), -1);
}

TEST(Hostile, RatioTooSmallOrPixelsMissingFailTheDecode) {
    std::vector<uint8_t> p = payload_of(10, 10, 5, false, IMAGE_COMPRESSED);
    p[1] = 1;  // promises far less room than the picture needs
    EXPECT_EQ(decode(p), nullptr);
    std::vector<uint8_t> s = payload_of(10, 10, 5, false, IMAGE_STORED);
    s[6 + 5] = 11;  // width 11: one row more than the data holds
    EXPECT_EQ(decode(s), nullptr);
    std::vector<uint8_t> neg = payload_of(10, 10, 5, false, IMAGE_STORED);
    neg[6 + 4] = 0xFF;  // negative width
    EXPECT_EQ(decode(neg), nullptr);
    // Width and height both -10: their product is positive, the picture is not.
    std::vector<uint8_t> both = payload_of(10, 10, 5, false, IMAGE_STORED);
    both[6 + 4] = both[6 + 6] = 0xFF;
    both[6 + 5] = both[6 + 7] = 0xF6;
    EXPECT_EQ(decode(both), nullptr);
    const BYTE tiny[] = {0, 8, 1, 0xCD, 0xCD};
    EXPECT_EQ(image_decode(tiny, sizeof tiny), nullptr);
}

TEST(Hostile, TruncatedAndMutatedPayloadsNeverFault) {
    std::vector<uint8_t> good = payload_of(31, 23, 77, true, IMAGE_COMPRESSED);
    for (size_t n = 0; n < good.size(); n++) {
        ImageRecord* img = image_decode(good.data(), (DWORD)n);
        image_free(img);
    }
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; round++) {
        std::vector<uint8_t> p = good;
        int flips = 1 + rng() % 6;
        for (int i = 0; i < flips; i++) p[rng() % p.size()] = (uint8_t)rng();
        if (round % 3 == 0) p[1] = (uint8_t)rng();
        ImageRecord* img = decode(p);
        if (img) {
            EXPECT_GT((int)img->width * img->height, 0);
            image_free(img);
        }
    }
}

TEST_F(ImagePage, ImageCacheKeepsAtMost128AndDecodesThe129thWithoutKeepingIt) {
    std::string page = OPENING;
    for (int i = 0; i < 129; i++) pw_im(page, 3, 0, 0, 4, 4, payload_of(2, 2, 1000 + i, false, IMAGE_COMPRESSED));
    page += "<IS 3 3e8 0 0><IS 3 468 20 0>";  // the first and the 129th
    write_page(page);
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 128);
    EXPECT_NE(image_cache_find(1000), nullptr);
    EXPECT_EQ(image_cache_find(1128), nullptr);
    EXPECT_EQ(at(0, 0), picture(2, 2)[0]);
    EXPECT_EQ(at(16, 0), WHITE565);
    // Drawn again: the compressed payloads are found by their key.
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 128);
}

TEST_F(ImagePage, CacheKeyOfCompressedPayloadIsTheImageId) {
    std::vector<uint8_t> p = payload_of(5, 5, 0x0DD369F3, true, IMAGE_COMPRESSED);
    EXPECT_EQ(p[16], 0x0D);
    EXPECT_EQ(p[17], 0xD3);
    EXPECT_EQ(p[18], 0x69);
    EXPECT_EQ(p[19], 0xF3);
    std::string page = OPENING;
    pw_im(page, 3, 0, 0, 10, 10, p);
    write_page(page);
    page_draw(0, 0);
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 1);
    EXPECT_EQ(image_cache.entries[0].key, 0x0DD369F3u);
}

TEST_F(ImagePage, StoredPayloadIsFoundByItsKeyAndPlacedByItsId) {
    // The key of a stored payload is not its id, but the same payload has
    // the same key, so it is decoded once.
    std::string page = std::string(OPENING) + "<IS 3 9 0 0>";
    pw_im(page, 3, 0, 0, 10, 10, payload_of(5, 5, 9, false, IMAGE_STORED));
    write_page(page);
    page_draw(0, 0);
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 1);
    EXPECT_NE(image_cache.entries[0].key, 9u);
    EXPECT_EQ(at(0, 0), picture(5, 5)[0]);
}

TEST_F(ImagePage, TransparentPixelsLeaveTheGroundAndOpaqueOnesCoverIt) {
    std::string page = std::string(OPENING) + "<BC ff 0 0><CR 3 0 0 280 1e0><IS 3 9 14 14><IS 3 a 50 14>";
    pw_im(page, 3, 0, 0, 30, 30, payload_of(15, 15, 9, true, IMAGE_COMPRESSED));
    pw_im(page, 3, 0, 0, 30, 30, payload_of(15, 15, 10, false, IMAGE_COMPRESSED));
    write_page(page);
    page_draw(0, 0);
    // The black square in the middle of the first lets the red through.
    EXPECT_EQ(at(10 + 7, 10 + 7), RED565);
    EXPECT_EQ(at(10, 10), picture(15, 15)[0]);
    EXPECT_EQ(at(40 + 7, 10 + 7), BLACK565);
}

TEST_F(ImagePage, PlacingAnUnknownImageDrawsNothing) {
    write_page(std::string(OPENING) + "<IS 3 1234 0 0>");
    page_draw(0, 0);
    EXPECT_EQ(parser.drawn, 0);
    EXPECT_EQ(count_of(WHITE565), 320 * 240);
}

TEST_F(ImagePage, PayloadNotYetArrivedIsDecodedByALaterPass) {
    std::string page = std::string(OPENING) + "<IS 3 9 0 0>";
    std::string im;
    pw_im(im, 3, 0, 0, 10, 10, payload_of(5, 5, 9, false, IMAGE_COMPRESSED));
    write_page(page + im.substr(0, im.size() - 20));
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 0);
    write_page(page + im);
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 1);
    EXPECT_EQ(at(0, 0), picture(5, 5)[0]);
}

TEST_F(ImagePage, CachePageCutFreesTheImagesAndPlacementsBeforeTheNextImagePassDrawNothing) {
    std::string page = std::string(OPENING) + "<IS 3 9 0 0>";
    pw_im(page, 3, 0, 0, 10, 10, payload_of(5, 5, 9, false, IMAGE_COMPRESSED));
    write_page(page);
    page_draw(0, 0);
    ASSERT_EQ(image_cache.count, 1);
    write_page(page + "<CL>" + OPENING + "<IS 3 9 0 0>");
    page_draw(0, 0);
    EXPECT_EQ(image_cache.count, 0);
    EXPECT_EQ(at(0, 0), WHITE565);
}
