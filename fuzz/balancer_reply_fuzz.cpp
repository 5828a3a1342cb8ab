// Fuzz target: the client's reader of the load balancer's answers (bare
// reply texts, HTTP answers, chunked ones, redirects). Whatever arrives, the
// server host and the first page stay bounded and terminated, a redirect
// request fits its buffer, and the reader never asks for what cannot be.
//
// Input: the answers of one lookup, separated by NUL bytes.
#include <string>

#include "fuzz/fuzz_device.h"
#include "net/balancer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_device_on();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    app_state_init();
    HostEntry server = app.server_entry;
    std::string in((const char*)data, size);
    size_t at = 0;
    for (int answers = 1; at <= in.size() && answers < 8; answers++) {
        size_t end = in.find('\0', at);
        if (end == std::string::npos) end = in.size();
        // An answer as the receive step leaves it: at most 4095 bytes.
        std::string answer = in.substr(at, std::min<size_t>(end - at, 4095));
        at = end + 1;
        char redirect[800];
        int len = -1;
        BalancerOutcome r = balancer_read_answer(answer.c_str(), answers, &server, redirect, sizeof redirect, &len);
        if (!memchr(server.host, 0, sizeof server.host)) abort();
        if (!memchr(app.start_url, 0, sizeof app.start_url)) abort();
        if (r == BALANCER_REDIRECT) {
            if (len <= 0 || len >= (int)sizeof redirect || (int)strlen(redirect) != len) abort();
            if (strncmp(redirect, "GET ", 4) != 0) abort();
        } else if (len != 0) {
            abort();
        }
        if (r == BALANCER_DONE || r == BALANCER_RESTART || r == BALANCER_FAIL || r == BALANCER_EXIT) break;
    }
    app_state_init();
    return 0;
}
