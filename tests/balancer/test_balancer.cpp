// The load balancer's configuration, query and status parsing, its choice,
// and its asking of servers that misbehave in ways a real rendering server
// cannot be made to (accepting and never answering, answering in pieces).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "balancer/balancer.h"

static std::string parse_error(const std::string& text) {
    BalancerConfig c;
    std::string error;
    EXPECT_FALSE(config_parse(text, c, error)) << text;
    return error;
}

TEST(BalancerConfig, ReadsServersStartAndMinimumWithCommentsAndBlankLines) {
    BalancerConfig c;
    std::string error;
    ASSERT_TRUE(config_parse("# rendering servers\n"
                             "server render1.example   # the first\n"
                             "\n"
                             "\tserver 10.0.0.2\r\n"
                             "start www.example.com/news?a=1\n"
                             "minimum-version 1.01\n",
                             c, error))
        << error;
    ASSERT_EQ(2u, c.servers.size());
    EXPECT_EQ("render1.example", c.servers[0]);
    EXPECT_EQ("10.0.0.2", c.servers[1]);
    EXPECT_EQ("www.example.com/news?a=1", c.start);
    EXPECT_TRUE(c.has_minimum);
    EXPECT_EQ(1, c.minimum.major);
    EXPECT_EQ(1, c.minimum.minor);
}

TEST(BalancerConfig, MinimumVersionIsOptional) {
    BalancerConfig c;
    std::string error;
    ASSERT_TRUE(config_parse("server a\nstart b/\n", c, error)) << error;
    EXPECT_FALSE(c.has_minimum);
}

TEST(BalancerConfig, EachFaultNamesItsLine) {
    EXPECT_EQ("line 2: unknown directive \"servers\"", parse_error("start a/\nservers b\n"));
    EXPECT_EQ("line 1: \"server\" takes exactly one value", parse_error("server\nstart a/\n"));
    EXPECT_EQ("line 1: \"server\" takes exactly one value", parse_error("server a b\nstart a/\n"));
    EXPECT_EQ("line 3: a second \"start\"", parse_error("server a\nstart a/\nstart b/\n"));
    EXPECT_EQ("line 2: the start address is written without \"http://\"",
              parse_error("server a\nstart http://a/\n"));
    EXPECT_EQ("line 1: \"a:80\" is not a host name or address", parse_error("server a:80\nstart a/\n"));
    EXPECT_EQ("line 3: \"1\" is not a version MAJOR.MINOR", parse_error("server a\nstart a/\nminimum-version 1\n"));
    EXPECT_EQ("line 3: \"1.x\" is not a version MAJOR.MINOR",
              parse_error("server a\nstart a/\nminimum-version 1.x\n"));
    EXPECT_EQ("line 1: the start address is longer than 255 characters",
              parse_error("start " + std::string(256, 'p') + "\nserver a\n"));
}

TEST(BalancerConfig, ServerAndStartAreRequired) {
    EXPECT_EQ("no \"server\" line", parse_error("start a/\n"));
    EXPECT_EQ("no \"start\" line", parse_error("server a\n"));
    EXPECT_EQ("no \"server\" line", parse_error(""));
}

TEST(BalancerConfig, MissingFileIsNamedWithTheReason) {
    BalancerConfig c;
    std::string error;
    EXPECT_FALSE(config_read("/nonexistent/balancer.conf", c, error));
    EXPECT_EQ("cannot read /nonexistent/balancer.conf: No such file or directory", error);
}

TEST(BalancerConfig, FileErrorsNameTheFileAndLine) {
    char path[] = "/tmp/cvbalancer-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "server a\nstart a/\nbogus\n";
    ASSERT_EQ((ssize_t)text.size(), write(fd, text.data(), text.size()));
    close(fd);
    BalancerConfig c;
    std::string error;
    EXPECT_FALSE(config_read(path, c, error));
    EXPECT_EQ(std::string(path) + " line 3: unknown directive \"bogus\"", error);
    unlink(path);
}

TEST(BalancerQuery, CustomerAndVersion) {
    ClientQuery q;
    ASSERT_TRUE(config_parse_query("Tess+1.01", q));
    EXPECT_EQ("Tess", q.customer);
    EXPECT_EQ(1, q.version.major);
    EXPECT_EQ(1, q.version.minor);
    // The default settings have no customer name; a customer name may hold '+'.
    ASSERT_TRUE(config_parse_query("+1.0", q));
    EXPECT_EQ("", q.customer);
    ASSERT_TRUE(config_parse_query("a+b+2.30", q));
    EXPECT_EQ("a+b", q.customer);
    EXPECT_EQ(2, q.version.major);
    EXPECT_EQ(30, q.version.minor);
    // A version file "1." gives no minor digits.
    ASSERT_TRUE(config_parse_query("Tess+1.", q));
    EXPECT_EQ(0, q.version.minor);
}

TEST(BalancerQuery, MalformedQueriesAreRefused) {
    ClientQuery q;
    for (const char* bad : {"", "Tess", "Tess+", "Tess+1", "Tess+.1", "Tess+x.1", "Tess+1.0a", "Tess+-1.0",
                            "Tess+1.0 ", "Tess+1234567890.1", "Tess+1.2.3"}) {
        EXPECT_FALSE(config_parse_query(bad, q)) << bad;
    }
}

TEST(BalancerVersion, ComparesAsIntegerPairs) {
    auto v = [](const char* s) {
        Version r;
        EXPECT_TRUE(config_parse_version(s, r)) << s;
        return r;
    };
    EXPECT_EQ(0, config_compare_versions(v("1.01"), v("1.1")));
    EXPECT_EQ(-1, config_compare_versions(v("1.9"), v("1.10")));
    EXPECT_EQ(1, config_compare_versions(v("2.0"), v("1.99")));
    EXPECT_EQ(-1, config_compare_versions(v("0.99"), v("1.0")));
}

static int status_of(const std::string& answer, long& s, long& m, std::string& why) {
    return status_parse(answer, s, m, why);
}

TEST(BalancerStatus, ReadsSessionsAndMaximum) {
    long s = -1, m = -1;
    std::string why;
    EXPECT_EQ(1, status_of("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nsessions 3\r\nmax-sessions 50\r\n", s,
                           m, why));
    EXPECT_EQ(3, s);
    EXPECT_EQ(50, m);
    // Order and plain LF line ends do not matter.
    EXPECT_EQ(1, status_of("HTTP/1.1 200 OK\r\n\r\nmax-sessions 2\nsessions 0\n", s, m, why));
    EXPECT_EQ(0, s);
    EXPECT_EQ(2, m);
}

TEST(BalancerStatus, AnUnfinishedAnswerAsksForMore) {
    long s, m;
    std::string why;
    EXPECT_EQ(0, status_of("", s, m, why));
    EXPECT_EQ(0, status_of("HTTP/1.0 2", s, m, why));
    EXPECT_EQ(0, status_of("HTTP/1.0 200 OK\r\nA: b\r\n", s, m, why));
    EXPECT_EQ(0, status_of("HTTP/1.0 200 OK\r\n\r\nsessions 3\r\nmax-sess", s, m, why));
    EXPECT_EQ(0, status_of("HTTP/1.0 200 OK\r\n\r\nsessions 3", s, m, why));
}

TEST(BalancerStatus, UnreadableAnswersSayWhy) {
    long s, m;
    std::string why;
    EXPECT_EQ(-1, status_of("HTTP/1.0 404 Not Found\r\n\r\n", s, m, why));
    EXPECT_EQ("/status answered \"HTTP/1.0 404 Not Found\"", why);
    EXPECT_EQ(-1, status_of("SSH-2.0-OpenSSH\r\n", s, m, why));
    EXPECT_EQ("an answer that is not HTTP", why);
    EXPECT_EQ(-1, status_of("HTTP/1.0 200 OK\r\n\r\nsessions many\r\nmax-sessions 5\r\n", s, m, why));
    EXPECT_EQ("an unreadable /status answer", why);
    EXPECT_EQ(-1, status_of("HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'x'), s, m, why));
}

static ServerStatus up(const char* host, long sessions, long max) {
    ServerStatus s;
    s.host = host;
    s.answered = true;
    s.sessions = sessions;
    s.max_sessions = max;
    return s;
}

static ServerStatus down(const char* host) {
    ServerStatus s;
    s.host = host;
    s.why = "down";
    return s;
}

static int pick_last(int ties) { return ties - 1; }

TEST(BalancerChoose, MostFreeSessionsWinsAndFullOrSilentServersArePassedOver) {
    EXPECT_EQ(0, status_choose({up("a", 10, 50), up("b", 2, 10), up("c", 45, 50)}, nullptr));
    EXPECT_EQ(1, status_choose({up("a", 1, 1), up("b", 5, 6)}, nullptr));
    EXPECT_EQ(2, status_choose({down("a"), up("b", 7, 5), up("c", 0, 1)}, nullptr));
}

TEST(BalancerChoose, NoneWhenAllAreFullOrDown) {
    EXPECT_EQ(-1, status_choose({}, nullptr));
    EXPECT_EQ(-1, status_choose({up("a", 1, 1), down("b"), up("c", 0, 0)}, nullptr));
}

TEST(BalancerChoose, EqualServersAreLeftToThePick) {
    EXPECT_EQ(0, status_choose({up("a", 1, 3), up("b", 0, 2), up("c", 0, 1)}, nullptr));
    EXPECT_EQ(1, status_choose({up("a", 1, 3), up("b", 0, 2), up("c", 0, 1)}, pick_last));
    EXPECT_EQ(2, status_choose({up("a", 0, 1), down("b"), up("c", 0, 1)}, pick_last));
}

// A scripted status peer on one loopback address: `answer` is sent in the
// given pieces, then the connection is held open until the test ends (or
// closed at once when `close_after` is set). An empty script never answers.
struct Peer {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};

    Peer(const std::string& addr, int port, std::vector<std::string> pieces, bool close_after) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
            ADD_FAILURE() << "cannot listen on " << addr << ":" << port;
            return;
        }
        thread = std::thread([this, pieces, close_after] {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) return;
            char buf[512];
            std::string req;
            while (req.find("\r\n\r\n") == std::string::npos) {
                ssize_t r = recv(c, buf, sizeof buf, 0);
                if (r <= 0) break;
                req.append(buf, (size_t)r);
            }
            for (const std::string& p : pieces) {
                send(c, p.data(), p.size(), MSG_NOSIGNAL);
                usleep(20000);
            }
            if (!close_after)
                while (!stop) usleep(5000);
            close(c);
        });
    }
    ~Peer() {
        stop = true;
        shutdown(fd, SHUT_RDWR);
        if (thread.joinable()) thread.join();
        close(fd);
    }
};

// Loopback addresses of the test's own, all with the same free port.
static std::string test_addr(int last) {
    static int b = std::random_device{}() % 200 + 20, c = std::random_device{}() % 250 + 1;
    return "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(last);
}

static int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, test_addr(1).c_str(), &a.sin_addr);
    bind(fd, (sockaddr*)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr*)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

TEST(BalancerQuery, AskEveryServerAtOnceAndPassOverThoseThatDoNotAnswer) {
    int port = free_port();
    const std::string ok = "HTTP/1.0 200 OK\r\n\r\nsessions 1\r\nmax-sessions 4\r\n";
    Peer pieces(test_addr(1), port, {"HTTP/1.0 200 OK\r\n", "\r\nsessions 2\r\n", "max-sessions 9\r\n"}, false);
    Peer silent(test_addr(2), port, {}, false);
    Peer closes(test_addr(3), port, {"HTTP/1.0 200 OK\r\n\r\nsess"}, true);
    Peer whole(test_addr(4), port, {ok}, true);
    // test_addr(5): nothing listens there.
    std::vector<std::string> hosts = {test_addr(1), test_addr(2), test_addr(3), test_addr(4), test_addr(5),
                                      "no-such-host.invalid"};
    std::vector<ServerStatus> st = status_query(hosts, port, 400);
    ASSERT_EQ(hosts.size(), st.size());
    EXPECT_TRUE(st[0].answered) << st[0].why;
    EXPECT_EQ(2, st[0].sessions);
    EXPECT_EQ(9, st[0].max_sessions);
    EXPECT_FALSE(st[1].answered);
    EXPECT_EQ("did not answer /status within 400 ms", st[1].why);
    EXPECT_FALSE(st[2].answered);
    EXPECT_EQ("sent an incomplete /status answer", st[2].why);
    EXPECT_TRUE(st[3].answered) << st[3].why;
    EXPECT_EQ(1, st[3].sessions);
    EXPECT_FALSE(st[4].answered);
    EXPECT_EQ("cannot be reached: Connection refused", st[4].why);
    EXPECT_FALSE(st[5].answered);
    EXPECT_EQ(0u, st[5].why.find("does not resolve")) << st[5].why;
    for (size_t i = 0; i < hosts.size(); i++) EXPECT_EQ(hosts[i], st[i].host);
}

// The whole CGI answer for a configuration file of the test's own.
struct CgiCase {
    std::string path;
    explicit CgiCase(const std::string& conf) {
        char p[] = "/tmp/cvbalancer-XXXXXX";
        int fd = mkstemp(p);
        EXPECT_GE(fd, 0);
        EXPECT_EQ((ssize_t)conf.size(), write(fd, conf.data(), conf.size()));
        close(fd);
        path = p;
    }
    ~CgiCase() { unlink(path.c_str()); }
    std::string run(const std::string& query, std::vector<std::string>& log, int port,
                    const std::string& method = "GET") {
        CgiRequest r;
        r.method = method;
        r.query = query;
        r.config_path = path;
        return cgi_answer(r, log, port, 300);
    }
};

static const std::string EMPTY = "Content-Type: text/plain\r\nCache-Control: no-store\r\nContent-Length: 0\r\n\r\n";

TEST(BalancerAnswer, NamesTheFreestServerAndAsksOldClientsToUpgrade) {
    int port = free_port();
    Peer a(test_addr(1), port, {"HTTP/1.0 200 OK\r\n\r\nsessions 4\r\nmax-sessions 4\r\n"}, true);
    Peer b(test_addr(2), port, {"HTTP/1.0 200 OK\r\n\r\nsessions 0\r\nmax-sessions 4\r\n"}, true);
    CgiCase c("server " + test_addr(1) + "\nserver " + test_addr(2) + "\nserver " + test_addr(3) +
              "\nstart site.example/home\nminimum-version 1.2\n");
    std::vector<std::string> log;
    std::string text = test_addr(2) + " site.example/home UP\r\n\r\n";
    EXPECT_EQ("Content-Type: text/plain\r\nCache-Control: no-store\r\nContent-Length: " +
                  std::to_string(text.size()) + "\r\n\r\n" + text,
              c.run("Tess+1.01", log, port));
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("passed over " + test_addr(3) + " cannot be reached: Connection refused", log[0]);
}

TEST(BalancerAnswer, EmptyWhenNoServerCanTakeASession) {
    int port = free_port();
    Peer a(test_addr(1), port, {"HTTP/1.0 200 OK\r\n\r\nsessions 4\r\nmax-sessions 4\r\n"}, true);
    CgiCase c("server " + test_addr(1) + "\nserver " + test_addr(3) + "\nstart s/\n");
    std::vector<std::string> log;
    EXPECT_EQ(EMPTY, c.run("Tess+1.01", log, port));
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("no rendering server can take a session: " + test_addr(1) + " has 4 of 4 sessions; " + test_addr(3) +
                  " cannot be reached: Connection refused",
              log[0]);
}

TEST(BalancerAnswer, EmptyWithOneLineForABadRequestOrConfiguration) {
    CgiCase c("server a\nstart\n");
    std::vector<std::string> log;
    EXPECT_EQ(EMPTY, c.run("Tess+1.01", log, 80));
    EXPECT_EQ(EMPTY, c.run("Tess\n1.01", log, 80));
    EXPECT_EQ(EMPTY, c.run("Tess+1.01", log, 80, "POST"));
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("configuration: " + c.path + " line 2: \"start\" takes exactly one value", log[0]);
    EXPECT_EQ("malformed query \"Tess?1.01\" (expected CUSTOMER+MAJOR.MINOR)", log[1]);
    EXPECT_EQ("refused a POST request (only GET is answered)", log[2]);
}
