// Tag arguments are read by page_scan, which must read exactly as the C
// library's sscanf does: the same result and the same stored values for
// every format the tags use, on well-formed tags and on every kind of damage
// (signs, 0x prefixes, numbers beyond 64 bits, missing or extra white space,
// wrong codes, tags cut anywhere).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "page/scan.h"

namespace {

const char* const NUMBERS[] = {"0", "1", "ff", "FF", "7fffffff", "80000000", "ffffffff", "100000000",
                               "-1", "-ff", "+7", "0x1f", "0X1F", "-0x10", "+0x", "0x", "0xg", "0g", "-",
                               "+", "-0", "ffffffffffffffff", "10000000000000000", "fffffffffffffffffffff",
                               "-ffffffffffffffff", "-10000000000000000", "00000000000000000000001",
                               "deadBEEF", "g", "1g", "12 34"};
const char* const WORDS[] = {"name", "a>", "x", "", ">", "0x12", "long_name_with_digits_0123"};
const char* const SPACES[] = {" ", "", "  ", "\t", "\r\n", " \v"};

// Formats as the interpreter, the rewriter and the network loop use them.
struct Format {
    const char* fmt;
    const char* code;
    int numbers;  // conversions in order: 'x' unsigned, 'l' unsigned long, 's' word
    const char* kinds;
};
const Format FORMATS[] = {
    {"<CR %x %x %x %x %x>", "<CR", 5, "xxxxx"},
    {"<DS %x %x %x %x", "<DS", 4, "xxxx"},
    {"<EN %x>", "<EN", 1, "x"},
    {"<EN %lx>", "<EN", 1, "l"},
    {"<IM %lx %x %x %x %x %lx>", "<IM", 6, "lxxxxl"},
    {"<IS %x %x %x %x>", "<IS", 4, "xxxx"},
    {"<BT %x %x %x %x %x %255s %x", "<BT", 7, "xxxxxsx"},
    {"<DI %x %255s %x", "<DI", 3, "xsx"},
    {"<sw %lx %x %x>", "<sw", 3, "lxx"},
    {"%x %x %x %x %x %256s", "", 6, "xxxxxs"},
    {"%x %256s %x", "", 3, "xsx"},
    {"%x", "", 1, "x"},
    {"<TA %lx %x %x %x %x %s %x", "<TA", 7, "lxxxxsx"},
};

struct Outputs {
    unsigned x[8];
    unsigned long l[8];
    char s[8][300];
};

int run(bool real, const Format& f, const std::string& in, Outputs* o) {
    for (int i = 0; i < 8; i++) {
        o->x[i] = 0xA5A5A5A5u;
        o->l[i] = 0x5A5A5A5A5A5A5A5Aul;
        snprintf(o->s[i], sizeof o->s[i], "untouched");
    }
    void* a[8];
    for (int i = 0; i < f.numbers; i++)
        a[i] = f.kinds[i] == 'x' ? (void*)&o->x[i] : f.kinds[i] == 'l' ? (void*)&o->l[i] : (void*)o->s[i];
    // Both are called with the same argument list.
#define ARGS a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]
    return real ? sscanf(in.c_str(), f.fmt, ARGS) : page_scan(in.c_str(), f.fmt, ARGS);
#undef ARGS
}

void expect_same(const Format& f, const std::string& in) {
    Outputs want, got;
    int r = run(true, f, in, &want);
    int g = run(false, f, in, &got);
    ASSERT_EQ(g, r) << f.fmt << " on \"" << in << "\"";
    for (int i = 0; i < f.numbers; i++) {
        ASSERT_EQ(got.x[i], want.x[i]) << f.fmt << " on \"" << in << "\" argument " << i;
        ASSERT_EQ(got.l[i], want.l[i]) << f.fmt << " on \"" << in << "\" argument " << i;
        ASSERT_STREQ(got.s[i], want.s[i]) << f.fmt << " on \"" << in << "\" argument " << i;
    }
}

}  // namespace

TEST(PageScan, ReadsEveryFormatAsTheCLibraryDoes) {
    std::mt19937 rng(1);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    for (const Format& f : FORMATS) {
        for (int round = 0; round < 3000; round++) {
            std::string in = round % 17 == 0 ? "<XX" : f.code;
            if (round % 23 == 0 && in.size() > 2) in[2] = (char)tolower(in[2]);
            for (int i = 0; i < f.numbers + (int)pick(3) - 1; i++) {
                in += SPACES[pick(round % 5 == 0 ? 6 : 1)];
                char kind = i < f.numbers ? f.kinds[i] : 'x';
                in += kind == 's' ? WORDS[pick(7)] : NUMBERS[pick(round % 3 == 0 ? 31 : 9)];
            }
            if (pick(4)) in += ">";
            if (pick(6) == 0) in += " text after>";
            if (round % 7 == 0) in.resize(pick(in.size() + 1));  // cut anywhere
            expect_same(f, in);
        }
    }
}

TEST(PageScan, EmptyInputAndMismatchAtTheStart) {
    for (const Format& f : FORMATS) {
        expect_same(f, "");
        expect_same(f, " ");
        expect_same(f, "<");
        expect_same(f, "?");
        expect_same(f, std::string(f.code) + " ");
    }
}

TEST(PageScan, NamesStopAtTheirWidth) {
    const Format& f = FORMATS[7];  // "<DI %x %255s %x"
    expect_same(f, "<DI 1 " + std::string(400, 'n') + " 5 text>");
    expect_same(f, "<DI 1 " + std::string(255, 'n') + " 5 text>");
    expect_same(f, "<DI 1 " + std::string(256, 'n') + "5 text>");
}
