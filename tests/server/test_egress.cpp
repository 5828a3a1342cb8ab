// The engine's way out: the address policy, and the proxy on real loopback
// sockets with a real web server behind it, so that what is refused is seen
// never to arrive.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "egress.h"
#include "loop.h"

namespace {

const char* range_of(const char* text)
{
    EgressAddress a;
    if (!egress_parse_address(text, &a))
        return "(not an address)";
    const char* r = egress_refused_range(a);
    return r ? r : "public";
}

// A web server on 127.0.0.1 that records every connection it accepts and
// what came on it; it answers `reply` (or echoes, for tunnels) and closes.
struct Upstream {
    int fd = -1;
    int port = 0;
    bool echo = false;
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: keep-alive\r\nKeep-Alive: timeout=5\r\n\r\nhello";
    std::atomic<int> accepted{0};
    std::mutex mutex;
    std::vector<std::string> received;
    std::thread thread;
    std::atomic<bool> stop{false};

    void start()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(fd, 16), 0);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this]() { serve(); });
    }
    void serve()
    {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept(fd, nullptr, nullptr);
            if (c < 0)
                continue;
            accepted++;
            std::string got;
            char buf[4096];
            for (;;) {
                pollfd q{c, POLLIN, 0};
                if (poll(&q, 1, 2000) <= 0)
                    break;
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, size_t(n));
                if (echo) {
                    send(c, buf, size_t(n), MSG_NOSIGNAL);
                    continue;
                }
                if (got.find("\r\n\r\n") != std::string::npos)
                    break;
            }
            if (!echo)
                send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(got);
            }
            close(c);
        }
    }
    std::string first()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received.empty() ? std::string() : received[0];
    }
    ~Upstream()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (fd >= 0)
            close(fd);
    }
};

struct Proxy : ::testing::Test {
    Loop loop;
    Upstream up;
    EgressPolicy policy;
    std::string hosts_path;

    void SetUp() override
    {
        ASSERT_TRUE(loop_init(loop));
        up.start();
        // Names the resolver takes from a hosts file of the test's own.
        char path[] = "/tmp/cv-egress-hosts-XXXXXX";
        int f = mkstemp(path);
        ASSERT_GE(f, 0);
        std::string hosts = "127.0.0.1 localhost\n127.0.0.1 public-looking.example\n10.1.2.3 intranet.example\n"
                            "::1 six.example\n";
        ASSERT_EQ(write(f, hosts.data(), hosts.size()), ssize_t(hosts.size()));
        close(f);
        hosts_path = path;
        setenv("CARES_HOSTS", path, 1);
    }
    void TearDown() override
    {
        egress_stop();
        loop_close(loop);
        unsetenv("CARES_HOSTS");
        unlink(hosts_path.c_str());
    }
    void start()
    {
        std::string error;
        ASSERT_TRUE(egress_start(loop, policy, &error)) << error;
    }
    void allow(const char* text)
    {
        EgressAllow a;
        std::string error;
        ASSERT_TRUE(egress_parse_allow(text, &a, &error)) << error;
        policy.allow.push_back(a);
    }
    // Sends bytes to the proxy and turns the loop until the proxy closes (or
    // `until` shows up in what came back); returns what came back.
    std::string exchange(const std::string& request, const std::string& until = std::string(), int* keep_fd = nullptr)
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(egress_port()));
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        fcntl(s, F_SETFL, O_NONBLOCK);
        EXPECT_EQ(send(s, request.data(), request.size(), 0), ssize_t(request.size()));
        std::string got;
        int64_t end = loop_now_ms() + 15000;
        while (loop_now_ms() < end) {
            loop_turn(loop, 10);
            char buf[4096];
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n > 0) {
                got.append(buf, size_t(n));
                if (!until.empty() && got.find(until) != std::string::npos)
                    break;
                continue;
            }
            if (n == 0)
                break;
        }
        if (keep_fd)
            *keep_fd = s;
        else
            close(s);
        return got;
    }
    std::string get(const std::string& host_port, const std::string& path = "/")
    {
        return exchange("GET http://" + host_port + path + " HTTP/1.1\r\nHost: " + host_port +
                        "\r\nProxy-Connection: keep-alive\r\nAccept: */*\r\n\r\n");
    }
    std::string local(int port)
    {
        return "127.0.0.1:" + std::to_string(port);
    }
};

}  // namespace

TEST(EgressPolicy, RefusesEveryInternalRangeOfBothFamilies)
{
    EXPECT_STREQ(range_of("127.0.0.1"), "loopback");
    EXPECT_STREQ(range_of("127.255.3.4"), "loopback");
    EXPECT_STREQ(range_of("10.20.30.40"), "private");
    EXPECT_STREQ(range_of("172.16.0.1"), "private");
    EXPECT_STREQ(range_of("172.31.255.255"), "private");
    EXPECT_STREQ(range_of("192.168.1.1"), "private");
    EXPECT_STREQ(range_of("169.254.169.254"), "link-local");  // cloud metadata
    EXPECT_STREQ(range_of("100.64.0.1"), "carrier-grade NAT");
    EXPECT_STREQ(range_of("100.127.255.255"), "carrier-grade NAT");
    EXPECT_STREQ(range_of("224.0.0.251"), "multicast");
    EXPECT_STREQ(range_of("0.0.0.0"), "unspecified");
    EXPECT_STREQ(range_of("255.255.255.255"), "reserved");
    EXPECT_STREQ(range_of("::1"), "loopback");
    EXPECT_STREQ(range_of("::"), "unspecified");
    EXPECT_STREQ(range_of("fe80::1"), "link-local");
    EXPECT_STREQ(range_of("fd12:3456::1"), "private");
    EXPECT_STREQ(range_of("ff02::1"), "multicast");
    // IPv4 inside IPv6 is judged by the IPv4 address.
    EXPECT_STREQ(range_of("::ffff:127.0.0.1"), "loopback");
    EXPECT_STREQ(range_of("::ffff:10.0.0.1"), "private");
    EXPECT_STREQ(range_of("[::ffff:7f00:1]"), "loopback");
    EXPECT_STREQ(range_of("64:ff9b::a9fe:a9fe"), "link-local");  // NAT64 to 169.254.169.254
    EXPECT_STREQ(range_of("2002:c0a8:0101::1"), "private");      // 6to4 of 192.168.1.1
}

TEST(EgressPolicy, LeavesPublicAddressesAndTheEdgesOfRangesOpen)
{
    EXPECT_STREQ(range_of("93.184.216.34"), "public");
    EXPECT_STREQ(range_of("8.8.8.8"), "public");
    EXPECT_STREQ(range_of("172.15.255.255"), "public");
    EXPECT_STREQ(range_of("172.32.0.0"), "public");
    EXPECT_STREQ(range_of("100.63.255.255"), "public");
    EXPECT_STREQ(range_of("100.128.0.0"), "public");
    EXPECT_STREQ(range_of("11.0.0.1"), "public");
    EXPECT_STREQ(range_of("2606:2800:220:1:248:1893:25c8:1946"), "public");
    EXPECT_STREQ(range_of("::ffff:93.184.216.34"), "public");
    EXPECT_STREQ(range_of("64:ff9b::5db8:d822"), "public");  // NAT64 of a public address
    // Forms that are not address literals are names, to be resolved.
    EXPECT_STREQ(range_of("127.1"), "(not an address)");
    EXPECT_STREQ(range_of("2130706433"), "(not an address)");
    EXPECT_STREQ(range_of("fe80::1%eth0"), "(not an address)");
}

TEST(EgressPolicy, AllowHostTakesNamesAddressesAndPorts)
{
    EgressAllow a;
    std::string error;
    ASSERT_TRUE(egress_parse_allow("Intranet.Example.", &a, &error));
    EXPECT_EQ(a.host, "intranet.example");
    EXPECT_EQ(a.port, 0);
    ASSERT_TRUE(egress_parse_allow("intranet.example:8080", &a, &error));
    EXPECT_EQ(a.port, 8080);
    ASSERT_TRUE(egress_parse_allow("127.0.0.1:80", &a, &error));
    EXPECT_EQ(a.address.family, AF_INET);
    ASSERT_TRUE(egress_parse_allow("[::1]:8443", &a, &error));
    EXPECT_EQ(a.address.family, AF_INET6);
    EXPECT_EQ(a.port, 8443);
    ASSERT_TRUE(egress_parse_allow("fd00::1", &a, &error));
    EXPECT_EQ(a.port, 0);
    for (const char* bad : {"", "host:", "host:0", "host:65536", "host:http", "[::1", "[::1]x", "bad host", "a/b"}) {
        EXPECT_FALSE(egress_parse_allow(bad, &a, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(EgressPolicy, AnAllowedNameOrAddressOpensOnlyItsPort)
{
    EgressPolicy p;
    EgressAllow a;
    std::string error, why;
    ASSERT_TRUE(egress_parse_allow("intranet.example:8080", &a, &error));
    p.allow.push_back(a);
    ASSERT_TRUE(egress_parse_allow("192.168.7.7", &a, &error));
    p.allow.push_back(a);
    EgressAddress ten, seven, seven_mapped, pub;
    egress_parse_address("10.1.2.3", &ten);
    egress_parse_address("192.168.7.7", &seven);
    egress_parse_address("::ffff:192.168.7.7", &seven_mapped);
    egress_parse_address("93.184.216.34", &pub);
    EXPECT_TRUE(egress_permits(p, "INTRANET.example", 8080, ten, &why));
    EXPECT_FALSE(egress_permits(p, "intranet.example", 80, ten, &why));
    EXPECT_EQ(why, "private");
    EXPECT_FALSE(egress_permits(p, "other.example", 8080, ten, &why));
    EXPECT_TRUE(egress_permits(p, "anything.example", 443, seven, &why));
    EXPECT_TRUE(egress_permits(p, "anything.example", 443, seven_mapped, &why));
    EXPECT_TRUE(egress_permits(p, "www.example.com", 443, pub, &why));
}

TEST_F(Proxy, ALoopbackAddressIsRefusedAndItsServerHearsNothing)
{
    start();
    std::string got = get(local(up.port), "/secret");
    EXPECT_EQ(got.compare(0, 22, "HTTP/1.1 403 Forbidden"), 0) << got;
    EXPECT_NE(got.find("X-Corvanta-Egress: refused"), std::string::npos);
    // A tunnel and the other spellings of the same machine fare no better.
    got = exchange("CONNECT " + local(up.port) + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(got.find(" 403 "), std::string::npos) << got;
    got = get("localhost:" + std::to_string(up.port));
    EXPECT_NE(got.find(" 403 "), std::string::npos) << got;
    got = get("[::ffff:127.0.0.1]:" + std::to_string(up.port));
    EXPECT_NE(got.find(" 403 "), std::string::npos) << got;
    EXPECT_EQ(up.accepted.load(), 0);
    EXPECT_EQ(egress_outcome("https://127.0.0.1:" + std::to_string(up.port) + "/x", 0), EGRESS_REFUSED);
}

TEST_F(Proxy, APublicLookingNameThatResolvesToLoopbackIsRefused)
{
    start();
    std::string got = get("public-looking.example:" + std::to_string(up.port));
    EXPECT_NE(got.find(" 403 "), std::string::npos) << got;
    got = exchange("CONNECT six.example:" + std::to_string(up.port) + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(got.find(" 403 "), std::string::npos) << got;
    EXPECT_EQ(up.accepted.load(), 0);
    EXPECT_EQ(egress_outcome("http://Public-Looking.example:" + std::to_string(up.port) + "/", 0), EGRESS_REFUSED);
}

TEST_F(Proxy, AnAllowedHostIsRelayedInOriginFormWithTheConnectionClosedBothWays)
{
    allow(("127.0.0.1:" + std::to_string(up.port)).c_str());
    start();
    std::string got = get(local(up.port), "/page?q=1#frag");
    EXPECT_EQ(got.compare(0, 15, "HTTP/1.1 200 OK"), 0) << got;
    EXPECT_NE(got.find("\r\nConnection: close\r\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("keep-alive"), std::string::npos) << got;
    EXPECT_EQ(got.find("Keep-Alive"), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.size() - 5), "hello");
    std::string req = up.first();
    EXPECT_EQ(req.rfind("GET /page?q=1 HTTP/1.1\r\n", 0), 0u) << req;
    EXPECT_NE(req.find("\r\nConnection: close\r\n"), std::string::npos) << req;
    EXPECT_EQ(req.find("Proxy-Connection"), std::string::npos) << req;
    EXPECT_NE(req.find("\r\nAccept: */*\r\n"), std::string::npos) << req;
    EXPECT_EQ(egress_outcome("http://127.0.0.1:" + std::to_string(up.port) + "/", 0), EGRESS_OK);
    // The same address on another port stays closed.
    got = get("127.0.0.1:1");
    EXPECT_NE(got.find(" 403 "), std::string::npos) << got;
}

TEST_F(Proxy, MappedAndAllowedNamesReachTheirAddressAndTunnelsCarryBytesBothWays)
{
    up.echo = true;
    policy.host_map.emplace_back("www.corvanta.example", "127.0.0.1");
    allow("www.corvanta.example");
    start();
    int s = -1;
    std::string got = exchange("CONNECT www.corvanta.example:" + std::to_string(up.port) + " HTTP/1.1\r\n\r\n",
                               "\r\n\r\n", &s);
    EXPECT_EQ(got, "HTTP/1.1 200 Connection established\r\n\r\n");
    ASSERT_GE(s, 0);
    ASSERT_EQ(send(s, "ping", 4, 0), 4);
    std::string echo;
    int64_t end = loop_now_ms() + 5000;
    while (echo.size() < 4 && loop_now_ms() < end) {
        loop_turn(loop, 10);
        char buf[16];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0)
            echo.append(buf, size_t(n));
    }
    EXPECT_EQ(echo, "ping");
    close(s);
    // The engine's end closes the relay.
    end = loop_now_ms() + 5000;
    while (egress_connections() > 0 && loop_now_ms() < end)
        loop_turn(loop, 10);
    EXPECT_EQ(egress_connections(), 0);
    // An allowed name resolved from the hosts file.
    up.echo = false;
    policy.allow.clear();
    allow("public-looking.example");
    egress_stop();
    start();
    got = get("public-looking.example:" + std::to_string(up.port));
    EXPECT_EQ(got.compare(0, 15, "HTTP/1.1 200 OK"), 0) << got;
}

TEST_F(Proxy, UnknownNamesClosedPortsAndBadRequestsGetTheProxysOwnAnswers)
{
    allow("127.0.0.1");
    start();
    // A port nothing listens on: take one and let it go.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    int closed_port = ntohs(a.sin_port);
    close(probe);
    std::string got = get(local(closed_port));
    EXPECT_NE(got.find(" 502 "), std::string::npos) << got;
    EXPECT_NE(got.find("X-Corvanta-Egress: unreachable"), std::string::npos) << got;
    got = get("no-such-host.invalid");
    EXPECT_NE(got.find(" 502 "), std::string::npos) << got;
    EXPECT_NE(got.find("X-Corvanta-Egress: no-such-host"), std::string::npos) << got;
    EXPECT_EQ(egress_outcome("http://no-such-host.invalid/", 0), EGRESS_NO_NAME);
    got = exchange("GET /relative HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(got.find(" 400 "), std::string::npos) << got;
    got = exchange("GET ftp://127.0.0.1/ HTTP/1.1\r\n\r\n");
    EXPECT_NE(got.find(" 400 "), std::string::npos) << got;
    got = exchange("GET http://user:pw@127.0.0.1/ HTTP/1.1\r\n\r\n");
    EXPECT_NE(got.find(" 400 "), std::string::npos) << got;
    got = exchange("GET http://" + std::string(70000, 'a') + "/ HTTP/1.1\r\n\r\n");
    EXPECT_NE(got.find(" 400 "), std::string::npos) << got.substr(0, 100);
    EXPECT_EQ(up.accepted.load(), 0);
}

TEST(EgressEngine, TheSwitchesSendEverythingThroughTheProxy)
{
    Loop loop;
    ASSERT_TRUE(loop_init(loop));
    std::string error;
    ASSERT_TRUE(egress_start(loop, EgressPolicy(), &error)) << error;
    std::vector<std::string> s = egress_engine_switches();
    EXPECT_EQ(s[0], "--proxy-server=http://127.0.0.1:" + std::to_string(egress_port()));
    EXPECT_NE(std::find(s.begin(), s.end(), "--proxy-bypass-list=<-loopback>"), s.end());
    EXPECT_NE(std::find(s.begin(), s.end(), "--force-webrtc-ip-handling-policy=disable_non_proxied_udp"), s.end());
    egress_stop();
    loop_close(loop);
}
