// Neutral stand-in until the request framing is built.
#include "net/framing.h"

#include "shell/app.h"

BYTE scramble_flag = 1;

int login_build(char* out, int size) {
    int n = snprintf(out, (size_t)size, "%s", app.greeting ? app.greeting : "");
    return n < 0 ? 0 : n;
}

int send_message(const char* text) { return (int)strlen(text); }
