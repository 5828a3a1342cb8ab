// corvanta-server: the rendering server.
//
//   corvanta-server [--listen ADDR] [--port N] [--users FILE] [--max-sessions N]
//                   [--log FILE] [--browser PATH] [--map-host NAME=ADDRESS]...
//                   [--idle-timeout SECONDS] [--page-timeout SECONDS] [--allow-host HOST[:PORT]]...
//                   [--max-answer-bytes N] [--max-page-seconds N] [--max-picture-pixels N]
//   corvanta-server --hash-password     (user name and password on stdin, a line each)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "passwords.h"
#include "server.h"

static void usage()
{
    fprintf(stderr,
            "usage: corvanta-server [--listen ADDR] [--port N] [--users FILE] [--max-sessions N]\n"
            "                       [--log FILE] [--browser PATH] [--map-host NAME=ADDRESS]...\n"
            "                       [--idle-timeout SECONDS] [--page-timeout SECONDS] [--allow-host HOST[:PORT]]...\n"
            "                       [--max-answer-bytes N] [--max-page-seconds N] [--max-picture-pixels N]\n"
            "       corvanta-server --hash-password   (reads a user name and a password, a line each)\n");
}

// A whole decimal number within [lo, hi].
static bool parse_int(const char* s, long lo, long hi, long* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || !*s || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

int main(int argc, char** argv)
{
    ServerConfig config;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage();
            return 0;
        }
        if (a == "--hash-password") {
            if (argc != 2) {
                fprintf(stderr, "corvanta-server: --hash-password takes no other options\n");
                return 2;
            }
            return passwords_hash_command(stdin, stdout, stderr);
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "corvanta-server: %s needs a value\n", a.c_str());
            usage();
            return 2;
        }
        const char* v = argv[++i];
        long n = 0;
        if (a == "--listen") {
            config.listen = v;
        } else if (a == "--port") {
            if (!parse_int(v, 0, 65535, &n)) {
                fprintf(stderr, "corvanta-server: bad port %s\n", v);
                return 2;
            }
            config.port = int(n);
        } else if (a == "--users") {
            config.users_path = v;
        } else if (a == "--max-sessions") {
            if (!parse_int(v, 0, 100000, &n)) {
                fprintf(stderr, "corvanta-server: bad session count %s\n", v);
                return 2;
            }
            config.max_sessions = int(n);
        } else if (a == "--log") {
            config.log_path = v;
        } else if (a == "--browser") {
            config.browser = v;
        } else if (a == "--map-host") {
            const char* eq = strchr(v, '=');
            if (!eq || eq == v || !eq[1] || strpbrk(v, " ,\t")) {
                fprintf(stderr, "corvanta-server: --map-host wants NAME=ADDRESS, not %s\n", v);
                return 2;
            }
            config.host_map.emplace_back(std::string(v, size_t(eq - v)), std::string(eq + 1));
        } else if (a == "--idle-timeout") {
            if (!parse_int(v, 1, 86400 * 7, &n)) {
                fprintf(stderr, "corvanta-server: bad idle time-out %s\n", v);
                return 2;
            }
            config.idle_timeout_ms = n * 1000;
        } else if (a == "--page-timeout") {
            if (!parse_int(v, 1, 600, &n)) {
                fprintf(stderr, "corvanta-server: bad page time-out %s\n", v);
                return 2;
            }
            config.page_timeout_ms = n * 1000;
        } else if (a == "--max-answer-bytes") {
            if (!parse_int(v, 1024, 1L << 30, &n)) {
                fprintf(stderr, "corvanta-server: bad answer size %s\n", v);
                return 2;
            }
            config.answer_limit_bytes = size_t(n);
        } else if (a == "--max-page-seconds") {
            if (!parse_int(v, 1, 3600, &n)) {
                fprintf(stderr, "corvanta-server: bad page time %s\n", v);
                return 2;
            }
            config.work_limit_ms = n * 1000;
        } else if (a == "--max-picture-pixels") {
            if (!parse_int(v, 0, 1L << 40, &n)) {
                fprintf(stderr, "corvanta-server: bad picture pixel count %s\n", v);
                return 2;
            }
            config.picture_pixel_limit = n;
        } else if (a == "--allow-host") {
            EgressAllow allow;
            std::string error;
            if (!egress_parse_allow(v, &allow, &error)) {
                fprintf(stderr, "corvanta-server: --allow-host: %s\n", error.c_str());
                return 2;
            }
            config.allow_hosts.push_back(allow);
        } else {
            fprintf(stderr, "corvanta-server: unknown option %s\n", a.c_str());
            usage();
            return 2;
        }
    }
    std::string error;
    if (!server_start(config, &error)) {
        fprintf(stderr, "corvanta-server: %s\n", error.c_str());
        server_shutdown();
        return 1;
    }
    server_run();
    server_shutdown();
    return 0;
}
