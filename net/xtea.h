// The XTEA block cipher (32 cycles) on 8-byte blocks, each enciphered on its
// own (no chaining). A block is two little-endian 32-bit words, the first
// from bytes 0-3; the 16-byte key is four little-endian words k0..k3.
#ifndef CV_NET_XTEA_H
#define CV_NET_XTEA_H

// Both return 0, or -1 without touching the buffer when len is not a
// multiple of 8.
int xtea_encipher_buffer(unsigned char* buf, int len, const unsigned char* key);
int xtea_decipher_buffer(unsigned char* buf, int len, const unsigned char* key);

#endif
