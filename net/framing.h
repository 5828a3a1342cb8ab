// Requests to the rendering server: the login body, event requests and the
// scrambling of message bodies.
//
// A scrambled block, in the login body, in every event request and in the
// page stream:
//
//   | "<EN " | V in lower-case hex | ">" | ciphertext, len rounded up to 8 |
//
//   V = plaintext length * 8 + R, R (0..7) the key variant: working-key
//   byte 2 holds R while the block is enciphered or deciphered.
//
// Event request (login framing: the Host line carries no port):
//
//   POST http://host:port/j.t HTTP/1.0\r\n
//   Host: host:port\r\n
//   Connection: keep-alive\r\n
//   Content-length: n\r\n
//   \r\n
//   <EN v>ciphertext            (the quit message: its clear text)
#ifndef CV_NET_FRAMING_H
#define CV_NET_FRAMING_H

#include "wince.h"

#define SEND_BUFFER_SIZE 4096
#define REQUEST_BUFFER_SIZE 4128

// On until shut-down sends the quit message in clear text.
extern BYTE scramble_flag;
// The working key: the base key with bytes 1, 2, 7, 8 and 14 overwritten at
// run time (2 by every block, the others by the login).
extern unsigned char working_key[16];
// The framed request handed to the socket; the receive step reuses it.
extern char request_buffer[REQUEST_BUFFER_SIZE];

// Puts the working key back to the base key.
void scramble_reset_key();
// Key variant and padding: picks R, stores it in key byte 2, pads buf (which
// must have room) with zeros from len up to a multiple of 8 and enciphers it
// in place. Returns V; *padded gets the ciphertext length.
DWORD scramble_block(unsigned char* buf, int len, int* padded);
// Deciphers a scrambled block of the page stream in place: v from its EN tag,
// data holding at least the rounded-up ciphertext length (avail bytes).
// Returns the plaintext length, or -1 when avail is too short.
int scramble_decipher(DWORD v, unsigned char* data, int avail);

// Builds the login body into out (size bytes); returns its length in bytes.
// Without a first page the body is the greeting alone.
int login_build(char* out, int size);
// Frames the login body as its POST request into request_buffer; returns the
// request length, or -1 when it does not fit.
int login_frame(const char* body, int body_len);
// Sends one event message on the connection; the platform's send result, 0
// when the text is empty. A message too long for the buffers is not sent:
// -1 with WSAEMSGSIZE.
int send_message(const char* text);

#endif
