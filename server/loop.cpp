// The event loop: epoll for descriptors, an ordered map for timers.
#include "loop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

int64_t loop_now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool loop_init(Loop& loop)
{
    loop.epfd = epoll_create1(EPOLL_CLOEXEC);
    return loop.epfd >= 0;
}

void loop_close(Loop& loop)
{
    if (loop.epfd >= 0)
        close(loop.epfd);
    loop.epfd = -1;
    loop.fds.clear();
    loop.timers.clear();
    loop.timer_deadline.clear();
}

bool loop_watch(Loop& loop, int fd, uint32_t events, LoopFdHandler handler)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    bool known = loop.fds.count(fd) != 0;
    if (epoll_ctl(loop.epfd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    loop.fds[fd] = std::make_shared<LoopFdHandler>(std::move(handler));
    return true;
}

void loop_events(Loop& loop, int fd, uint32_t events)
{
    if (!loop.fds.count(fd))
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(loop.epfd, EPOLL_CTL_MOD, fd, &ev);
}

void loop_unwatch(Loop& loop, int fd)
{
    if (!loop.fds.erase(fd))
        return;
    epoll_ctl(loop.epfd, EPOLL_CTL_DEL, fd, nullptr);
}

uint64_t loop_timer(Loop& loop, int64_t delay_ms, LoopTimerHandler handler)
{
    uint64_t id = loop.next_timer++;
    int64_t at = loop_now_ms() + (delay_ms > 0 ? delay_ms : 0);
    loop.timers.emplace(std::make_pair(at, id), std::move(handler));
    loop.timer_deadline[id] = at;
    return id;
}

void loop_cancel(Loop& loop, uint64_t id)
{
    auto it = loop.timer_deadline.find(id);
    if (it == loop.timer_deadline.end())
        return;
    loop.timers.erase(std::make_pair(it->second, id));
    loop.timer_deadline.erase(it);
}

// Runs every timer whose deadline has passed, earliest first. A handler may
// add or cancel timers; each is taken out of the map before it runs.
static void run_timers(Loop& loop)
{
    int64_t now = loop_now_ms();
    while (!loop.timers.empty()) {
        auto it = loop.timers.begin();
        if (it->first.first > now)
            break;
        LoopTimerHandler h = std::move(it->second);
        loop.timer_deadline.erase(it->first.second);
        loop.timers.erase(it);
        h();
    }
}

void loop_turn(Loop& loop, int max_wait_ms)
{
    int wait = max_wait_ms;
    if (!loop.timers.empty()) {
        int64_t until = loop.timers.begin()->first.first - loop_now_ms();
        if (until < 0)
            until = 0;
        if (wait < 0 || until < wait)
            wait = int(until);
    }
    epoll_event evs[64];
    int n = epoll_wait(loop.epfd, evs, 64, wait);
    if (n < 0 && errno != EINTR)
        n = 0;
    for (int i = 0; i < n; ++i) {
        auto it = loop.fds.find(evs[i].data.fd);
        if (it == loop.fds.end())
            continue;  // unwatched by an earlier handler of this turn
        std::shared_ptr<LoopFdHandler> h = it->second;
        (*h)(evs[i].events);
    }
    run_timers(loop);
}

void loop_run(Loop& loop)
{
    loop.running = true;
    while (loop.running)
        loop_turn(loop, 1000);
}

void loop_stop(Loop& loop)
{
    loop.running = false;
}
