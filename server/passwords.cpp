// Password hashes, their checks on worker threads, and the delays.
#include "passwords.h"

#include <sodium.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "loop.h"

// Two workers: a login never waits long behind another, and at most two
// hashes' memory (64 MiB each) is in use at once.
static const int WORKERS = 2;
// Checks waiting for a worker before further logins are refused outright.
static const size_t QUEUE_LIMIT = 64;

struct Job {
    uint64_t id = 0;
    std::string stored;    // hash or plain password
    std::string password;  // wiped once checked
};

struct Result {
    uint64_t id = 0;
    bool ok = false;
};

// An address's failures and the logins that wait for their turn.
struct Turns {
    int failures = 0;
    int64_t last_failure = 0;
    int64_t not_before = 0;    // loop_now_ms() of the next check allowed
    bool busy = false;         // a check of the address is under way
    uint64_t timer = 0;
    std::deque<std::function<void()>> waiting;
};

// The module's state. jobs, results and stopping are shared with the
// workers under mutex; everything else belongs to the loop.
struct Passwords {
    Loop* loop = nullptr;
    int event_fd = -1;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::deque<Result> results;
    bool stopping = false;
    std::unordered_map<uint64_t, std::function<void(bool)>> done;
    uint64_t next_id = 1;
    std::unordered_map<std::string, Turns> turns;
};

static Passwords pw;

// Checked instead for a name that is not in the file: a hash of a text no
// password matches, with the limits of the hashes this server writes.
static const char DUMMY_HASH[] = "$argon2id$v=19$m=65536,t=2,p=1$spVUD0hgwuBbV0seDAVxjA$"
                                 "rt9Iu58pyKQ5UkBgLmw/xza4MvcqzAzmhDteGnTEC+8";

// ---- hashes ----

bool passwords_is_hash(const std::string& text)
{
    return text.compare(0, 10, "$argon2id$") == 0 || text.compare(0, 9, "$argon2i$") == 0;
}

bool passwords_valid_hash(const std::string& text)
{
    if (!passwords_is_hash(text) || text.size() >= crypto_pwhash_STRBYTES)
        return false;
    if (sodium_init() < 0)
        return false;
    // -1: not a hash libsodium can read; 0 or 1: readable (1: weaker
    // limits than today's, still verifiable).
    return crypto_pwhash_str_needs_rehash(text.c_str(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                          crypto_pwhash_MEMLIMIT_INTERACTIVE) >= 0;
}

bool passwords_hash(const std::string& password, std::string* hash)
{
    if (sodium_init() < 0)
        return false;
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return false;
    *hash = out;
    return true;
}

bool passwords_match(const std::string& stored, const std::string& password)
{
    if (passwords_is_hash(stored)) {
        if (stored.size() >= crypto_pwhash_STRBYTES || sodium_init() < 0)
            return false;
        return crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) == 0;
    }
    // Plain: the same time for every password of this length.
    if (stored.size() != password.size())
        return false;
    return stored.empty() || sodium_memcmp(stored.data(), password.data(), stored.size()) == 0;
}

static bool read_line(FILE* in, std::string* line)
{
    line->clear();
    int ch;
    bool any = false;
    while ((ch = fgetc(in)) != EOF) {
        any = true;
        if (ch == '\n')
            break;
        *line += char(ch);
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return any;
}

int passwords_hash_command(FILE* in, FILE* out, FILE* err)
{
    std::string name, password;
    if (!read_line(in, &name) || !read_line(in, &password)) {
        fprintf(err, "corvanta-server: --hash-password reads a user name and a password, a line each\n");
        return 2;
    }
    size_t a = name.find_first_not_of(" \t");
    size_t b = name.find_last_not_of(" \t");
    name = a == std::string::npos ? std::string() : name.substr(a, b - a + 1);
    if (name.empty() || name.find_first_of(" \t") != std::string::npos || name[0] == '#') {
        fprintf(err, "corvanta-server: a user name is one word, not starting with '#'\n");
        return 2;
    }
    if (password.empty()) {
        fprintf(err, "corvanta-server: the password is empty\n");
        return 2;
    }
    std::string hash;
    bool ok = passwords_hash(password, &hash);
    sodium_memzero(&password[0], password.size());
    if (!ok) {
        fprintf(err, "corvanta-server: the password could not be hashed (out of memory?)\n");
        return 2;
    }
    fprintf(out, "%s %s\n", name.c_str(), hash.c_str());
    return 0;
}

// ---- workers ----

static void worker()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(pw.mutex);
            pw.wake.wait(lock, [] { return pw.stopping || !pw.jobs.empty(); });
            if (pw.stopping)
                return;
            job = std::move(pw.jobs.front());
            pw.jobs.pop_front();
        }
        bool ok = passwords_match(job.stored, job.password);
        if (!job.password.empty())
            sodium_memzero(&job.password[0], job.password.size());
        {
            std::lock_guard<std::mutex> lock(pw.mutex);
            pw.results.push_back(Result{job.id, ok});
        }
        uint64_t one = 1;
        ssize_t n = write(pw.event_fd, &one, sizeof one);
        (void)n;  // the counter only overflows after 2^64 writes
    }
}

static void on_results(uint32_t)
{
    uint64_t count;
    ssize_t n = read(pw.event_fd, &count, sizeof count);
    (void)n;
    std::deque<Result> ready;
    {
        std::lock_guard<std::mutex> lock(pw.mutex);
        ready.swap(pw.results);
    }
    for (const Result& r : ready) {
        auto it = pw.done.find(r.id);
        if (it == pw.done.end())
            continue;
        std::function<void(bool)> done = std::move(it->second);
        pw.done.erase(it);
        done(r.ok);
    }
}

bool passwords_start(Loop& loop, std::string* error)
{
    passwords_stop();
    if (sodium_init() < 0) {
        *error = "libsodium cannot start";
        return false;
    }
    pw.loop = &loop;
    pw.event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (pw.event_fd < 0) {
        *error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    loop_watch(loop, pw.event_fd, EPOLLIN, on_results);
    pw.stopping = false;
    for (int i = 0; i < WORKERS; ++i)
        pw.workers.emplace_back(worker);
    return true;
}

void passwords_stop()
{
    {
        std::lock_guard<std::mutex> lock(pw.mutex);
        pw.stopping = true;
        pw.jobs.clear();
        pw.results.clear();
    }
    pw.wake.notify_all();
    for (auto& t : pw.workers)
        t.join();
    pw.workers.clear();
    if (pw.event_fd >= 0) {
        if (pw.loop)
            loop_unwatch(*pw.loop, pw.event_fd);
        close(pw.event_fd);
    }
    pw.event_fd = -1;
    if (pw.loop)
        for (auto& t : pw.turns)
            loop_cancel(*pw.loop, t.second.timer);
    pw.turns.clear();
    pw.done.clear();
    pw.loop = nullptr;
}

void passwords_check(const Users& users, const std::string& name, const std::string& password,
                     std::function<void(bool ok)> done)
{
    if (!users.enabled) {
        done(true);
        return;
    }
    const std::string* stored = nullptr;
    bool any_hash = false;
    for (const auto& e : users.entries) {
        if (!stored && e.first == name)
            stored = &e.second;
        any_hash = any_hash || passwords_is_hash(e.second);
    }
    Job job;
    bool known = stored != nullptr;
    if (known) {
        job.stored = *stored;
    } else if (any_hash) {
        // An unknown name costs a hash too, so that its answer takes as long
        // as a known name's.
        job.stored = DUMMY_HASH;
    } else {
        done(false);
        return;
    }
    if (!passwords_is_hash(job.stored) || pw.event_fd < 0) {
        // Plain entries are quick: no worker needed.
        done(known && passwords_match(job.stored, password));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pw.mutex);
        if (pw.jobs.size() >= QUEUE_LIMIT) {
            done(false);
            return;
        }
        job.id = pw.next_id++;
        job.password = password;
        uint64_t id = job.id;
        pw.done[id] = [known, done](bool ok) { done(known && ok); };
        pw.jobs.push_back(std::move(job));
    }
    pw.wake.notify_one();
}

// ---- delays ----

static int64_t delay_after(int failures)
{
    if (failures <= 0)
        return 0;
    int64_t d = PW_FIRST_DELAY_MS;
    for (int i = 1; i < failures && d < PW_MAX_DELAY_MS; ++i)
        d *= 2;
    return std::min<int64_t>(d, PW_MAX_DELAY_MS);
}

// Forgets failures that are old enough, and addresses with nothing left.
static void prune(int64_t now)
{
    if (pw.turns.size() < 1024)
        return;
    for (auto it = pw.turns.begin(); it != pw.turns.end();) {
        Turns& t = it->second;
        if (!t.busy && t.waiting.empty() && !t.timer && now - t.last_failure > PW_FORGET_MS)
            it = pw.turns.erase(it);
        else
            ++it;
    }
}

static void pump(const std::string& address)
{
    auto it = pw.turns.find(address);
    if (it == pw.turns.end())
        return;
    Turns& t = it->second;
    if (t.busy || t.timer || t.waiting.empty())
        return;
    int64_t wait = t.not_before - loop_now_ms();
    if (wait > 0 && pw.loop) {
        t.timer = loop_timer(*pw.loop, wait, [address]() {
            auto it = pw.turns.find(address);
            if (it == pw.turns.end())
                return;
            it->second.timer = 0;
            pump(address);
        });
        return;
    }
    t.busy = true;
    std::function<void()> go = std::move(t.waiting.front());
    t.waiting.pop_front();
    go();
}

int64_t passwords_next_delay_ms(const std::string& address)
{
    auto it = pw.turns.find(address);
    if (it == pw.turns.end() || !it->second.failures)
        return 0;
    if (loop_now_ms() - it->second.last_failure > PW_FORGET_MS)
        return 0;
    return std::max<int64_t>(0, it->second.not_before - it->second.last_failure);
}

bool passwords_wait_turn(const std::string& address, std::function<void()> go)
{
    int64_t now = loop_now_ms();
    prune(now);
    Turns& t = pw.turns[address];
    if (t.failures && now - t.last_failure > PW_FORGET_MS) {
        t.failures = 0;
        t.not_before = 0;
    }
    if (t.waiting.size() >= PW_WAITING_LIMIT)
        return false;
    t.waiting.push_back(std::move(go));
    pump(address);
    return true;
}

void passwords_result(const std::string& address, PasswordOutcome outcome)
{
    auto it = pw.turns.find(address);
    if (it == pw.turns.end())
        return;
    Turns& t = it->second;
    t.busy = false;
    int64_t now = loop_now_ms();
    if (outcome == PW_OK) {
        t.failures = 0;
        t.not_before = 0;
    } else if (outcome == PW_FAILED) {
        t.failures++;
        t.last_failure = now;
        t.not_before = now + delay_after(t.failures);
    }
    pump(address);
}
