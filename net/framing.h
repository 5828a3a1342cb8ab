// Requests to the rendering server: the login body, event requests and the
// scrambling of message bodies.
#ifndef CV_NET_FRAMING_H
#define CV_NET_FRAMING_H

#include "wince.h"

// On until shut-down sends the quit message in clear text.
extern BYTE scramble_flag;

// Builds the login body into out (size bytes); returns its length in bytes.
int login_build(char* out, int size);
// Sends one event message on the connection; the platform's send result, 0
// when the text is empty.
int send_message(const char* text);

#endif
