// The JSON log.
#include "log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

static int log_fd = -1;

bool log_open(const std::string& path, std::string* error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    log_close();
    log_fd = fd;
    return true;
}

void log_close()
{
    if (log_fd >= 0)
        close(log_fd);
    log_fd = -1;
}

static std::string now_text()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    gmtime_r(&tv.tv_sec, &t);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, int(tv.tv_usec / 1000));
    return buf;
}

void log_event(const char* event, const nlohmann::ordered_json& fields)
{
    if (log_fd < 0)
        return;
    // Built by hand so that time and event come first; the fields follow.
    std::string line = "{\"time\":\"" + now_text() + "\",\"event\":" + nlohmann::json(event).dump();
    if (fields.is_object()) {
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            line += ',';
            line += nlohmann::json(it.key()).dump();
            line += ':';
            line += it.value().dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        }
    }
    line += "}\n";
    // One write per line, so that lines of a log shared by several servers
    // do not interleave.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(log_fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a full disk loses log lines, never the session
        p += n;
        left -= size_t(n);
    }
}
