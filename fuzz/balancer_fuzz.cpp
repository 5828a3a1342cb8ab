// Fuzz target of the load balancer's parsers: the configuration file, the
// client's query and a server's /status answer all come from outside, and
// the balancer must answer every one of them without a crash.
//
//   cmake -S . -B build-fuzz -DCV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
//   cmake --build build-fuzz --target balancer_fuzz
//   build-fuzz/fuzz/balancer_fuzz -max_total_time=60 fuzz/corpus/balancer
#include <cstddef>
#include <cstdint>
#include <string>

#include "balancer/balancer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text((const char*)data, size);
    BalancerConfig config;
    std::string error;
    if (config_parse(text, config, error)) {
        // A configuration that parses holds what the answer is built from.
        if (config.servers.empty() || config.start.empty()) __builtin_trap();
    }
    ClientQuery query;
    if (config_parse_query(text, query) && (query.version.major < 0 || query.version.minor < 0)) __builtin_trap();
    long sessions = -1, max_sessions = -1;
    std::string why;
    int r = status_parse(text, sessions, max_sessions, why);
    if (r == 1 && (sessions < 0 || max_sessions < 0)) __builtin_trap();
    if (r == -1 && why.empty()) __builtin_trap();
    return 0;
}
