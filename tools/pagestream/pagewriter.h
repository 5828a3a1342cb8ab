// The page-stream writer: every tag of the page stream with its numbers in
// hexadecimal, counted UTF-8 texts, image payloads and scrambled blocks.
// Used by the page compiler and by the test peers.
//
//   <DS F x y n text>   n = bytes of UTF-8 text (the text may hold ">")
//   <IM F x y w h n>payload<IE>
//   <EN V>ciphertext    V = plaintext length * 8 + key variant
#ifndef CV_TOOLS_PAGEWRITER_H
#define CV_TOOLS_PAGEWRITER_H

#include <cstdint>
#include <string>
#include <vector>

// A number as the page stream writes it: lower-case hexadecimal, "-" for
// negative values.
std::string pw_hex(long v);
// "<XY a b c>" with the numbers in hexadecimal.
void pw_tag(std::string& out, const char* code, const std::vector<long>& numbers);

// HTTP response header lines that open a page as the server answers it.
void pw_http_header(std::string& out, size_t body_length);

void pw_fr(std::string& out, long x, long y, long w, long h);
void pw_bc(std::string& out, int r, int g, int b);
void pw_fc(std::string& out, int r, int g, int b);
void pw_sz(std::string& out, long size);
void pw_cr(std::string& out, uint32_t f, long x, long y, long w, long h);
void pw_dl(std::string& out, uint32_t f, long x0, long y0, long x1, long y1);
void pw_ds(std::string& out, uint32_t f, long x, long y, const std::string& utf8);
void pw_sw(std::string& out, long dx, long dy);
void pw_sw_frame(std::string& out, uint32_t f, long dx, long dy);
void pw_sh(std::string& out, uint32_t f, long x, long y, long w, long pos, long len);
void pw_sv(std::string& out, uint32_t f, long x, long y, long h, long pos, long len);
void pw_im(std::string& out, uint32_t f, long x, long y, long w, long h, const std::vector<uint8_t>& payload);
void pw_is(std::string& out, uint32_t f, uint32_t id, long x, long y);
// Form controls.
void pw_bt(std::string& out, uint32_t f, long x, long y, long w, long h, const std::string& name,
           const std::string& label);
void pw_check(std::string& out, const char* code, uint32_t f, long x, long y, long w, long h, int checked,
              const std::string& name);  // CB or RB
void pw_list(std::string& out, const char* code, uint32_t f, long x, long y, long w, long h,
             const std::string& name);  // DM or LM
void pw_item(std::string& out, const char* code, int selected, const std::string& list,
             const std::string& label);  // DI or LI
void pw_field(std::string& out, const char* code, uint32_t f, long x, long y, long w, long h,
              const std::string& name, const std::string& text);  // TF, PF or TA
// A scrambled block holding plaintext, enciphered with key (16 bytes) whose
// byte 2 becomes the variant (0-7).
void pw_en(std::string& out, const std::string& plaintext, const uint8_t key[16], int variant);
void pw_cl(std::string& out);
void pw_st(std::string& out);

// The frame number of a frame declared with these page values (3 and 4 for
// the two standard frames).
uint32_t pw_frame_number(long x, long y, long w, long h);

#endif
