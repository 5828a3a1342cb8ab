// The floor under the client's idle CPU: a thread that does nothing but wait
// 10 ms at a time on a condition variable, as the emulated device's message
// wait does while the client's 10 ms timer runs. The benchmark measures it as
// it measures the idle client, so the difference is the client's own work.
//
//   wakefloor SECONDS
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: wakefloor SECONDS\n");
        return 2;
    }
    double seconds = atof(argv[1]);
    std::mutex lock;
    std::condition_variable wake;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::unique_lock<std::mutex> g(lock);
    while (std::chrono::steady_clock::now() < end) wake.wait_for(g, std::chrono::milliseconds(10));
    return 0;
}
