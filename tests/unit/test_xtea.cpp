// The cipher against published XTEA vectors, and the key-variant padding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/framing.h"
#include "net/key.h"
#include "net/xtea.h"

static std::vector<unsigned char> hex(const char* h) {
    std::vector<unsigned char> out;
    for (size_t i = 0; h[i] && h[i + 1]; i += 2) out.push_back((unsigned char)std::stoul(std::string(h + i, 2), nullptr, 16));
    return out;
}

// Published vectors write each 32-bit word big-endian; the client reads its
// words little-endian, so every 4-byte group is reversed.
static std::vector<unsigned char> words_le(const char* h) {
    std::vector<unsigned char> v = hex(h);
    for (size_t i = 0; i + 4 <= v.size(); i += 4) {
        std::swap(v[i], v[i + 3]);
        std::swap(v[i + 1], v[i + 2]);
    }
    return v;
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

static const Vector BIG_ENDIAN_VECTORS[] = {
    {"000102030405060708090a0b0c0d0e0f", "4142434445464748", "497df3d072612cb5"},
    {"000102030405060708090a0b0c0d0e0f", "4141414141414141", "e78f2d13744341d8"},
    {"000102030405060708090a0b0c0d0e0f", "5a5b6e278948d77f", "4141414141414141"},
    {"00000000000000000000000000000000", "0000000000000000", "dee9d4d8f7131ed9"},
    {"00000000000000000000000000000000", "0102030405060708", "065c1b8975c6a816"},
    {"0123456712345678234567893456789a", "0000000000000000", "1ff9a0261ac64264"},
    {"0123456712345678234567893456789a", "0102030405060708", "8c67155b2ef91ead"},
};

TEST(Xtea, EnciphersAndDeciphersThePublishedVectorsWithLittleEndianWords) {
    for (const Vector& v : BIG_ENDIAN_VECTORS) {
        std::vector<unsigned char> key = words_le(v.key), buf = words_le(v.plain), want = words_le(v.cipher);
        ASSERT_EQ(0, xtea_encipher_buffer(buf.data(), 8, key.data()));
        EXPECT_EQ(want, buf) << v.key << " " << v.plain;
        ASSERT_EQ(0, xtea_decipher_buffer(buf.data(), 8, key.data()));
        EXPECT_EQ(words_le(v.plain), buf);
    }
}

TEST(Xtea, ReadsTheFirstWordFromBytesZeroToThree) {
    // The all-zero vector written byte for byte as the client stores it.
    unsigned char key[16] = {0}, buf[8] = {0};
    xtea_encipher_buffer(buf, 8, key);
    EXPECT_EQ(hex("d8d4e9ded91e13f7"), std::vector<unsigned char>(buf, buf + 8));
}

TEST(Xtea, EnciphersEachBlockOnItsOwn) {
    std::vector<unsigned char> key = words_le("000102030405060708090a0b0c0d0e0f");
    unsigned char buf[16];
    memcpy(buf, "AAAAAAAAAAAAAAAA", 16);
    ASSERT_EQ(0, xtea_encipher_buffer(buf, 16, key.data()));
    EXPECT_EQ(0, memcmp(buf, buf + 8, 8));
    EXPECT_EQ(words_le("e78f2d13744341d8"), std::vector<unsigned char>(buf, buf + 8));
}

TEST(Xtea, RefusesLengthsThatAreNotWholeBlocks) {
    unsigned char key[16] = {1}, buf[12], copy[12];
    for (int i = 0; i < 12; i++) buf[i] = copy[i] = (unsigned char)i;
    EXPECT_EQ(-1, xtea_encipher_buffer(buf, 12, key));
    EXPECT_EQ(-1, xtea_decipher_buffer(buf, 9, key));
    EXPECT_EQ(0, memcmp(buf, copy, 12));
    EXPECT_EQ(0, xtea_encipher_buffer(buf, 0, key));
}

TEST(Scramble, PadsToWholeBlocksAndCarriesLengthAndVariantInV) {
    struct { int len, padded; } cases[] = {{1, 8}, {8, 8}, {9, 16}, {15, 16}, {16, 16}};
    for (auto c : cases) {
        scramble_reset_key();
        unsigned char buf[32];
        memset(buf, 'x', sizeof buf);
        int padded = -1;
        DWORD v = scramble_block(buf, c.len, &padded);
        EXPECT_EQ(c.padded, padded) << c.len;
        EXPECT_EQ((DWORD)c.len, v >> 3);
        EXPECT_EQ(v & 7, (DWORD)working_key[2]);
        // Deciphering gives the text back, zero padded.
        unsigned char plain[32];
        memcpy(plain, buf, 32);
        EXPECT_EQ(c.len, scramble_decipher(v, plain, padded));
        for (int i = 0; i < c.len; i++) EXPECT_EQ('x', plain[i]);
        for (int i = c.len; i < padded; i++) EXPECT_EQ(0, plain[i]);
    }
}

TEST(Scramble, TwoSendsOfOneTextDifferOnlyInTheVariant) {
    scramble_reset_key();
    unsigned char a[8] = "hello", b[8];
    int pa, pb;
    DWORD va = scramble_block(a, 5, &pa), vb;
    // The variant is random: draw until it differs.
    do {
        memcpy(b, "hello", 6);
        vb = scramble_block(b, 5, &pb);
    } while ((vb & 7) == (va & 7));
    EXPECT_EQ(va >> 3, vb >> 3);
    EXPECT_NE(0, memcmp(a, b, 8));
    // Only key byte 2 differs from the base key.
    for (int i = 0; i < 16; i++) {
        if (i == 2) continue;
        EXPECT_EQ(CV_BASE_KEY[i], working_key[i]) << i;
    }
}

TEST(Scramble, DeciphersWithTheVariantOfTheBlockWhateverTheLastSendUsed) {
    scramble_reset_key();
    unsigned char block[16];
    memcpy(block, "page text", 9);
    // Build a block with variant 5 by hand.
    unsigned char key[16];
    memcpy(key, working_key, 16);
    key[2] = 5;
    memset(block + 9, 0, 7);
    xtea_encipher_buffer(block, 16, key);
    working_key[2] = 1;  // what some send left there
    EXPECT_EQ(9, scramble_decipher(0x4d, block, 16));
    EXPECT_EQ(5, working_key[2]);
    EXPECT_EQ(0, memcmp(block, "page text", 9));
    EXPECT_EQ(-1, scramble_decipher(0x4d, block, 8));  // too short: refused
}
