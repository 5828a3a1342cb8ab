// The base key of the message scrambling: a secret shared by the client and
// the server deployment. This is the only place it is written down; the
// rendering server and the test peers under tests/peers/ read it from this
// file too.
#ifndef CV_NET_KEY_H
#define CV_NET_KEY_H

static const unsigned char CV_BASE_KEY[16] = {
    0xc7, 0x3e, 0x91, 0x5a, 0x0b, 0xf4, 0x62, 0xd8,
    0x1d, 0xa9, 0xe5, 0x37, 0x80, 0x4c, 0xf2, 0x6b,
};

#endif
