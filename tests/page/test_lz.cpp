// The image expander against the format's plain reading: one token at a
// time, every match copied byte by byte, every bound checked per byte. Random
// token streams (every distance class, overlapping matches, groups cut short
// at the end, output buffers exactly as large as needed or a byte short) and
// damaged streams must give the same result and the same bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "page/image.h"

namespace {

// The plain reading of a compressed or stored body (from the method byte on).
LONG reference_expand(const BYTE* in, DWORD len, BYTE* out, DWORD out_size) {
    if (len < 4) return len == 0 ? 0 : -1;
    const BYTE* p = in + 4;
    const BYTE* end = in + len;
    if (in[0] == 1) {
        if ((DWORD)(end - p) > out_size) return -1;
        for (DWORD i = 0; p + i < end; i++) out[i] = p[i];
        return (LONG)(end - p);
    }
    DWORD o = 0;
    while (p < end) {
        if (end - p < 2) return -1;
        unsigned flags = p[0] | (p[1] << 8);
        p += 2;
        for (int bit = 0; bit < 16 && p < end; bit++, flags >>= 1) {
            if (!(flags & 1)) {
                if (o >= out_size) return -1;
                out[o++] = *p++;
                continue;
            }
            if (end - p < 2) return -1;
            DWORD d = ((DWORD)(p[0] & 0xF0) << 4) + p[1];
            DWORD n = (DWORD)(p[0] & 0x0F) + 1;
            p += 2;
            if (d == 0 || d > o) return -1;
            for (DWORD i = 0; i < n; i++, o++) {
                if (o >= out_size) return -1;
                out[o] = out[o - d];
            }
        }
    }
    return (LONG)o;
}

// A random stream of groups: literals and matches of every distance class
// (1, 2, 4, 8, odd short ones, 16 and more, up to 4095), written as the
// format has them. `produced` receives the expanded length.
std::vector<BYTE> random_stream(std::mt19937& rng, int groups, DWORD* produced) {
    std::vector<BYTE> s = {2, 0xCD, 0xCD, 0xCD};
    DWORD o = 0;
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    static const int classes[] = {1, 2, 4, 8, 3, 5, 7, 13, 15, 16, 17, 100, 4095};
    for (int g = 0; g < groups; g++) {
        size_t at = s.size();
        s.push_back(0);
        s.push_back(0);
        unsigned flags = 0;
        int tokens = (g == groups - 1) ? pick(1, 16) : 16;  // the last group may stop early
        int literal_share = pick(0, 3);                      // some groups all literals
        for (int t = 0; t < tokens; t++) {
            if (o == 0 || pick(0, 3) < literal_share) {
                s.push_back((BYTE)pick(0, 255));
                o++;
                continue;
            }
            int d = classes[pick(0, 12)];
            if ((DWORD)d > o) d = pick(1, (int)std::min<DWORD>(o, 4095));
            int n = pick(0, 2) ? 16 : pick(1, 16);
            s.push_back((BYTE)(((d >> 4) & 0xF0) | (n - 1)));
            s.push_back((BYTE)(d & 0xFF));
            flags |= 1u << t;
            o += (DWORD)n;
        }
        s[at] = (BYTE)flags;
        s[at + 1] = (BYTE)(flags >> 8);
    }
    *produced = o;
    return s;
}

void expect_same(const std::vector<BYTE>& in, DWORD out_size, const char* what, int i) {
    std::vector<BYTE> got(out_size + 1, 0xAB), want(out_size + 1, 0xAB);
    LONG n = lz_expand(in.data(), (DWORD)in.size(), got.data(), out_size);
    LONG m = reference_expand(in.data(), (DWORD)in.size(), want.data(), out_size);
    ASSERT_EQ(n, m) << what << " " << i;
    if (n >= 0) {
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, want.begin())) << what << " " << i;
    }
    ASSERT_EQ(got[out_size], 0xAB) << "wrote past the buffer: " << what << " " << i;
}

}  // namespace

TEST(LzExpand, RandomStreamsExpandAsTheirPlainReadingDoes) {
    std::mt19937 rng(7);
    for (int i = 0; i < 400; i++) {
        DWORD produced;
        std::vector<BYTE> in = random_stream(rng, 1 + i % 40, &produced);
        expect_same(in, produced, "exact room", i);
        expect_same(in, produced + 300, "ample room", i);
        if (produced > 0) expect_same(in, produced - 1, "a byte short", i);
    }
}

TEST(LzExpand, DamagedStreamsFailOrExpandAsTheirPlainReadingDoes) {
    std::mt19937 rng(11);
    for (int i = 0; i < 600; i++) {
        DWORD produced;
        std::vector<BYTE> in = random_stream(rng, 2 + i % 30, &produced);
        // Flip bytes (distances reaching before the start, flag words that
        // turn literals into matches) and cut the stream anywhere.
        int flips = std::uniform_int_distribution<int>(1, 4)(rng);
        for (int f = 0; f < flips; f++) {
            size_t at = std::uniform_int_distribution<size_t>(4, in.size() - 1)(rng);
            in[at] ^= (BYTE)std::uniform_int_distribution<int>(1, 255)(rng);
        }
        if (i % 3 == 0) in.resize(std::uniform_int_distribution<size_t>(4, in.size())(rng));
        expect_same(in, produced + 64, "damaged", i);
        expect_same(in, produced / 2, "damaged, small buffer", i);
    }
}

TEST(LzExpand, StoredBodiesAreCopiedWhenTheyFit) {
    std::vector<BYTE> in = {1, 0xCD, 0xCD, 0xCD};
    for (int i = 0; i < 100; i++) in.push_back((BYTE)i);
    expect_same(in, 100, "stored", 0);
    expect_same(in, 99, "stored, too big", 0);
}
