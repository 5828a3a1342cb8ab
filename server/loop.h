// The server's one event loop: file descriptors watched with epoll, one-shot
// timers, and the child-process signal, all served from one thread. Every
// handler does a bounded piece of work and returns; nothing in the server
// blocks on a socket, a pipe or a child.
#ifndef CV_SERVER_LOOP_H
#define CV_SERVER_LOOP_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

using LoopFdHandler = std::function<void(uint32_t events)>;  // EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR
using LoopTimerHandler = std::function<void()>;

struct Loop {
    int epfd = -1;
    bool running = false;
    // Handlers by descriptor; shared so that a handler that unwatches its own
    // descriptor while it runs stays alive until it returns.
    std::unordered_map<int, std::shared_ptr<LoopFdHandler>> fds;
    // Timers by (deadline, id): the earliest first.
    std::map<std::pair<int64_t, uint64_t>, LoopTimerHandler> timers;
    std::unordered_map<uint64_t, int64_t> timer_deadline;  // id -> deadline
    uint64_t next_timer = 1;
};

// Milliseconds of a monotonic clock.
int64_t loop_now_ms();

bool loop_init(Loop& loop);
void loop_close(Loop& loop);
// Watches fd for events (EPOLLIN and/or EPOLLOUT); a second call changes the
// events and the handler. False when epoll refuses the descriptor.
bool loop_watch(Loop& loop, int fd, uint32_t events, LoopFdHandler handler);
// Changes only the events of a watched descriptor.
void loop_events(Loop& loop, int fd, uint32_t events);
void loop_unwatch(Loop& loop, int fd);
// Runs handler once after delay_ms; returns its id (never 0).
uint64_t loop_timer(Loop& loop, int64_t delay_ms, LoopTimerHandler handler);
// Cancels a timer that has not run yet; 0 and unknown ids are ignored.
void loop_cancel(Loop& loop, uint64_t id);
// One turn: waits at most max_wait_ms (or until the next timer) and runs what
// is ready. Used by loop_run and by tests that drive the loop themselves.
void loop_turn(Loop& loop, int max_wait_ms);
// Turns until loop_stop.
void loop_run(Loop& loop);
void loop_stop(Loop& loop);

#endif
