// The login body and the event requests as they leave the socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

// A loopback listener of the host, read by the test: the far end of the
// client's connection. Written before the client headers rename the socket
// calls.
static int listen_loopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    ::bind(fd, (struct sockaddr*)&a, sizeof a);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr*)&a, &len);
    *port = ntohs(a.sin_port);
    return fd;
}

static std::string read_some(int fd, size_t want) {
    std::string out;
    char buf[8192];
    while (out.size() < want) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    return out;
}

// The device names the same constants itself.
#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef INADDR_NONE

#include "net/framing.h"
#include "net/key.h"
#include "net/netloop.h"
#include "net/xtea.h"
#include "emu.h"
#include "shell/app.h"

// The key after the login, as the server rebuilds it from the clear text.
static void login_key(const char* customer, const char* url, unsigned char key[16]) {
    int32_t s1 = 0, s2 = 0;
    for (const char* p = customer; *p; p++) s1 += (int8_t)*p;
    for (const char* p = url; *p; p++) s2 += (int8_t)*p;
    uint32_t p = (uint32_t)s1 * (uint32_t)s2;
    memcpy(key, CV_BASE_KEY, 16);
    key[14] = (unsigned char)p;
    key[8] = (unsigned char)(p >> 8);
    key[7] = (unsigned char)(p >> 16);
    key[1] = (unsigned char)(p >> 24);
}

class Framing : public ::testing::Test {
protected:
    void SetUp() override {
        app_state_init();
        scramble_reset_key();
        scramble_flag = 1;
    }
};

TEST_F(Framing, EmptyFirstPageSendsTheGreetingAlone) {
    char body[512];
    app.greeting = GREETING_HP;
    int n = login_build(body, sizeof body);
    EXPECT_EQ(std::string(GREETING_HP), std::string(body, (size_t)n));
}

TEST_F(Framing, LoginBodyCarriesClearPrefixAndScrambledTicket) {
    strcpy(app.customer_name, "Tess");
    strcpy(app.start_url, "www.example.com/");
    strcpy(app.user_name, "ann");
    strcpy(app.password, "s3cret");
    app.version_major = 1;
    strcpy(app.version_minor, "01");
    char body[512];
    int n = login_build(body, sizeof body);
    std::string prefix = std::string(GREETING_OTHER) + "Tess\r\nhttp://www.example.com/\r\n";
    ASSERT_GT(n, (int)prefix.size());
    ASSERT_EQ(prefix, std::string(body, prefix.size()));
    const char* block = body + prefix.size();
    unsigned long v = 0;
    int hlen = 0;
    ASSERT_EQ(1, sscanf(block, "<EN %lx>%n", &v, &hlen));
    std::string plain = "<TM ann\ns3cret\n1.01\n>";
    EXPECT_EQ(plain.size(), v >> 3);
    int padded = (int)((plain.size() + 7) & ~7u);
    EXPECT_EQ((int)prefix.size() + hlen + padded, n);
    unsigned char key[16];
    login_key("Tess", "http://www.example.com/", key);
    key[2] = (unsigned char)(v & 7);
    unsigned char data[64];
    memcpy(data, block + hlen, (size_t)padded);
    xtea_decipher_buffer(data, padded, key);
    EXPECT_EQ(plain, std::string((char*)data, plain.size()));
    // The login's key bytes stay for the later messages.
    for (int i : {1, 7, 8, 14}) EXPECT_EQ(key[i], working_key[i]) << i;
}

TEST_F(Framing, SignedByteSumsOfNonAsciiNamesGiveTheKeyBytes) {
    strcpy(app.customer_name, "K\xe4se");
    strcpy(app.start_url, "x.y/\xfc");
    char body[512];
    login_build(body, sizeof body);
    unsigned char key[16];
    login_key("K\xe4se", "http://x.y/\xfc", key);
    for (int i : {1, 7, 8, 14}) EXPECT_EQ(key[i], working_key[i]) << i;
}

TEST_F(Framing, LongestSettingsNeverOverrunTheLoginBuffer) {
    memset(app.customer_name, 'c', 63);
    memset(app.user_name, 'u', 63);
    memset(app.password, 'p', 63);
    memset(app.start_url, 'w', 255);
    char body[600];
    memset(body, 0x55, sizeof body);
    // The longest fields still fit the 512-byte login buffer.
    int n = login_build(body, 512);
    EXPECT_LE(n, 512);
    EXPECT_GT(n, 400);
    // A buffer too small for them gets the greeting alone, nothing cut.
    memset(body, 0x55, sizeof body);
    n = login_build(body, 400);
    for (int i = 400; i < 600; i++) ASSERT_EQ(0x55, (unsigned char)body[i]);
    EXPECT_EQ(std::string(GREETING_OTHER), std::string(body, (size_t)n));
}

class FramingWire : public Framing {
protected:
    int listener = -1, peer = -1;
    void SetUp() override {
        Framing::SetUp();
        EmuConfig cfg;
        cfg.root = "/tmp";
        emu_configure(cfg);
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &wsa));
        int port;
        listener = listen_loopback(&port);
        conn_socket = ws_socket(AF_INET, SOCK_STREAM, 0);
        ws_sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = ws_htons((uint16_t)port);
        a.sin_addr.s_addr = ws_inet_addr("127.0.0.1");
        ASSERT_EQ(0, ws_connect(conn_socket, (ws_sockaddr*)&a, sizeof a));
        peer = ::accept(listener, nullptr, nullptr);
        strcpy(app.server_entry.host, "render.example");
        app.server_entry.port = 80;
    }
    void TearDown() override {
        ws_closesocket(conn_socket);
        conn_socket = INVALID_SOCKET;
        ::close(peer);
        ::close(listener);
        WSACleanup();
    }
};

TEST_F(FramingWire, EventRequestIsAScrambledPost) {
    const char* msg = "<MC 200 100>\r\n\r\n";
    int sent = send_message(msg);
    std::string head =
        "POST http://render.example:80/j.t HTTP/1.0\r\nHost: render.example:80\r\nConnection: keep-alive\r\n"
        "Content-length: ";
    std::string got = read_some(peer, (size_t)sent);
    ASSERT_EQ((size_t)sent, got.size());
    ASSERT_EQ(head, got.substr(0, head.size()));
    size_t body_at = got.find("\r\n\r\n") + 4;
    int clen = atoi(got.c_str() + head.size());
    EXPECT_EQ(got.size() - body_at, (size_t)clen);
    unsigned long v;
    int hlen;
    ASSERT_EQ(1, sscanf(got.c_str() + body_at, "<EN %lx>%n", &v, &hlen));
    EXPECT_EQ(strlen(msg), v >> 3);
    EXPECT_EQ((size_t)clen, (size_t)hlen + 16);
    unsigned char data[16];
    memcpy(data, got.data() + body_at + hlen, 16);
    ASSERT_EQ((int)strlen(msg), scramble_decipher(v, data, 16));
    EXPECT_EQ(std::string(msg), std::string((char*)data, strlen(msg)));
}

TEST_F(FramingWire, QuitMessageGoesInClearText) {
    scramble_flag = 0;
    int sent = send_message("<QT>\r\n\r\n");
    std::string want =
        "POST http://render.example:80/j.t HTTP/1.0\r\nHost: render.example:80\r\nConnection: keep-alive\r\n"
        "Content-length: 8\r\n\r\n<QT>\r\n\r\n";
    EXPECT_EQ((int)want.size(), sent);
    EXPECT_EQ(want, read_some(peer, want.size()));
}

TEST_F(FramingWire, EmptyTextSendsNothingAndOverlongTextIsRefused) {
    EXPECT_EQ(0, send_message(""));
    std::string huge(5000, 'a');
    EXPECT_EQ(-1, send_message(huge.c_str()));
    EXPECT_EQ(10040, WSAGetLastError());
    // A message that fits the send buffer but not the request buffer.
    std::string big(4090, 'b');
    EXPECT_EQ(-1, send_message(big.c_str()));
    // Nothing went out: the next message is the first thing the peer reads.
    scramble_flag = 0;
    int sent = send_message("<QT>\r\n\r\n");
    std::string got = read_some(peer, (size_t)sent);
    EXPECT_EQ(0u, got.find("POST "));
}

TEST_F(FramingWire, LoginFramingHasNoPortInItsHostLine) {
    const char body[] = "GREETING\r\n";
    int n = login_frame(body, 10);
    std::string want =
        "POST http://render.example:80/j.t HTTP/1.0\r\nHost: render.example\r\nConnection: keep-alive\r\n"
        "Content-length: 10\r\n\r\nGREETING\r\n";
    EXPECT_EQ(want, std::string(request_buffer, (size_t)n));
}
