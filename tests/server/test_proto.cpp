// The server reads what the client's own code writes: login bodies built by
// login_build and event blocks scrambled by the client's cipher, every
// message of the vocabulary, and refuses what is broken.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "proto.h"
#include "users.h"

#include "net/events.h"
#include "net/framing.h"
#include "net/key.h"
#include "shell/app.h"

namespace {

struct ClientLogin : ::testing::Test {
    void SetUp() override
    {
        app_state_init();
        scramble_reset_key();
        app.greeting = GREETING_OTHER;
        strcpy(app.customer_name, "Tess");
        strcpy(app.start_url, "www.example.com/start");
        strcpy(app.user_name, "ann");
        strcpy(app.password, "s3cret pass");
        app.version_major = 1;
        strcpy(app.version_minor, "01");
    }
    std::string body()
    {
        char buf[512];
        int n = login_build(buf, sizeof buf);
        return std::string(buf, size_t(n));
    }
};

// An event body as send_message scrambles it with the client's working key.
std::string scrambled(const char* text)
{
    unsigned char buf[SEND_BUFFER_SIZE];
    size_t len = strlen(text);
    memcpy(buf, text, len);
    int padded = 0;
    DWORD v = scramble_block(buf, int(len), &padded);
    char head[16];
    int h = snprintf(head, sizeof head, "<EN %lx>", (unsigned long)v);
    return std::string(head, size_t(h)) + std::string(reinterpret_cast<char*>(buf), size_t(padded));
}

}  // namespace

TEST_F(ClientLogin, TheServerRebuildsTheClientsKeyAndReadsTheCredentials)
{
    LoginInfo login;
    std::string error;
    ASSERT_TRUE(proto_login(body(), &login, &error)) << error;
    EXPECT_FALSE(login.greeting_only);
    EXPECT_EQ(login.greeting, "CORVANTA PPC");
    EXPECT_EQ(login.customer, "Tess");
    EXPECT_EQ(login.address, "http://www.example.com/start");
    EXPECT_EQ(login.user, "ann");
    EXPECT_EQ(login.password, "s3cret pass");
    EXPECT_EQ(login.version, "1.01");
    for (int i = 0; i < 16; ++i) {
        if (i != 2) {
            EXPECT_EQ(login.key[i], working_key[i]) << "key byte " << i;
        }
    }
}

TEST_F(ClientLogin, EightBitCustomerNamesGiveTheSameKeyOnBothSides)
{
    strcpy(app.customer_name, "K\xe4se");
    strcpy(app.start_url, "x.y/\xfc");
    LoginInfo login;
    std::string error;
    ASSERT_TRUE(proto_login(body(), &login, &error)) << error;
    for (int i = 0; i < 16; ++i) {
        if (i != 2) {
            EXPECT_EQ(login.key[i], working_key[i]) << "key byte " << i;
        }
    }
    // And every later message deciphers with it.
    std::string plain;
    ASSERT_TRUE(proto_open_event(scrambled("<MC 200 100>\r\n\r\n"), login.key, &plain, &error)) << error;
    EXPECT_EQ(plain, "<MC 200 100>\r\n\r\n");
}

TEST_F(ClientLogin, WithoutAStartAddressTheGreetingAloneLogsInWithTheBaseKey)
{
    app.start_url[0] = 0;
    LoginInfo login;
    std::string error;
    ASSERT_TRUE(proto_login(body(), &login, &error)) << error;
    EXPECT_TRUE(login.greeting_only);
    EXPECT_EQ(0, memcmp(login.key, CV_BASE_KEY, 16));
    std::string plain;
    ASSERT_TRUE(proto_open_event(scrambled("<BA>\r\n\r\n"), login.key, &plain, &error)) << error;
    EXPECT_EQ(plain, "<BA>\r\n\r\n");
}

TEST_F(ClientLogin, AStartAddressWithItsOwnSchemeKeepsIt)
{
    strcpy(app.start_url, "https://secure.example/");
    LoginInfo login;
    std::string error;
    ASSERT_TRUE(proto_login(body(), &login, &error)) << error;
    EXPECT_EQ(login.address, "https://secure.example/");
}

TEST_F(ClientLogin, BrokenLoginsAreRefusedWithAReason)
{
    std::string good = body();
    LoginInfo login;
    std::string error;
    // Cut anywhere inside the block: truncated.
    EXPECT_FALSE(proto_login(good.substr(0, good.size() - 3), &login, &error));
    EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    // A byte more: not what the client sends.
    EXPECT_FALSE(proto_login(good + "x", &login, &error));
    // Another customer name gives another key: the block is noise.
    std::string other = good;
    other.replace(other.find("Tess"), 4, "Jess");
    EXPECT_FALSE(proto_login(other, &login, &error));
    EXPECT_NE(error.find("decipher"), std::string::npos) << error;
    EXPECT_FALSE(proto_login("", &login, &error));
    EXPECT_FALSE(proto_login("no line end", &login, &error));
    const char control[] = "CORVANTA\r\n\x01\x02\r\nhttp://x\r\n<EN 8>12345678";
    EXPECT_FALSE(proto_login(std::string(control, sizeof control - 1), &login, &error));
    EXPECT_FALSE(proto_login("CORVANTA\r\nTess\r\nftp://x\r\n<EN 40>12345678", &login, &error));
}

TEST(ProtoEvents, EveryMessageOfTheVocabularyIsRead)
{
    scramble_reset_key();
    uint8_t key[16];
    memcpy(key, working_key, 16);
    struct {
        const char* text;
        MessageKind kind;
    } simple[] = {{EV_PAGE_LEFT, MSG_PGL}, {EV_PAGE_RIGHT, MSG_PGR}, {EV_PAGE_UP, MSG_PGU},
                  {EV_PAGE_DOWN, MSG_PGD}, {EV_BACK, MSG_BA},        {EV_FORWARD, MSG_FO},
                  {EV_ZOOM_IN, MSG_ZU},    {EV_ZOOM_OUT, MSG_ZD},    {EV_STOP, MSG_STP},
                  {EV_RELOAD, MSG_RF},     {EV_QUIT, MSG_QT}};
    for (const auto& t : simple) {
        std::string plain, error;
        ASSERT_TRUE(proto_open_event(scrambled(t.text), key, &plain, &error)) << t.text << error;
        Message m;
        ASSERT_TRUE(proto_message(plain, &m, &error)) << t.text << error;
        EXPECT_EQ(m.kind, t.kind) << t.text;
    }
    char buf[256];
    Message m;
    std::string error, plain;
    snprintf(buf, sizeof buf, EV_TAP_FORMAT, "<SC", 634, -3);
    ASSERT_TRUE(proto_open_event(scrambled(buf), key, &plain, &error));
    ASSERT_TRUE(proto_message(plain, &m, &error)) << error;
    EXPECT_EQ(m.kind, MSG_SC);
    EXPECT_EQ(m.x, 634);
    EXPECT_EQ(m.y, -3);
    snprintf(buf, sizeof buf, EV_MC_FORMAT, 200, 100);
    ASSERT_TRUE(proto_message(buf, &m, &error));
    EXPECT_EQ(m.kind, MSG_MC);
    EXPECT_EQ(m.y, 100);
    snprintf(buf, sizeof buf, EV_URL_FORMAT, "<URL", "www.example.com/a b", ">");
    ASSERT_TRUE(proto_message(buf, &m, &error)) << error;
    EXPECT_EQ(m.kind, MSG_URL);
    EXPECT_EQ(m.address, "www.example.com/a b");
    // Text with a ">" and a line break, and an unnamed control.
    snprintf(buf, sizeof buf, EV_TEXT_FORMAT, 'A', "f3", 5, 5, "a>\n\xc3\xa4");
    ASSERT_TRUE(proto_message(buf, &m, &error)) << error;
    EXPECT_EQ(m.kind, MSG_TA);
    EXPECT_EQ(m.name, "f3");
    EXPECT_EQ(m.count, 5);
    EXPECT_EQ(m.text, "a>\n\xc3\xa4");
    snprintf(buf, sizeof buf, EV_TEXT_FORMAT, 'F', "", 0, 0, "");
    ASSERT_TRUE(proto_message(buf, &m, &error)) << error;
    EXPECT_EQ(m.kind, MSG_TF);
    EXPECT_EQ(m.name, "");
    EXPECT_EQ(m.text, "");
    snprintf(buf, sizeof buf, EV_LIST_FORMAT, "<DM", "c7", 3);
    ASSERT_TRUE(proto_message(buf, &m, &error)) << error;
    EXPECT_EQ(m.kind, MSG_DM);
    EXPECT_EQ(m.name, "c7");
    EXPECT_EQ(m.index, 3);
    snprintf(buf, sizeof buf, EV_LIST_FORMAT, "<LM", "c8", 0);
    ASSERT_TRUE(proto_message(buf, &m, &error)) << error;
    EXPECT_EQ(m.kind, MSG_LM);
}

TEST(ProtoEvents, GarbageTruncationAndUnknownMessagesAreRefused)
{
    scramble_reset_key();
    uint8_t key[16];
    memcpy(key, working_key, 16);
    std::string plain, error;
    std::string good = scrambled("<MC 1 2>\r\n\r\n");
    EXPECT_FALSE(proto_open_event(good.substr(0, good.size() - 1), key, &plain, &error));
    EXPECT_FALSE(proto_open_event(good + "zz", key, &plain, &error));
    EXPECT_FALSE(proto_open_event("<EN 0>", key, &plain, &error));
    EXPECT_FALSE(proto_open_event("<EN ffffffff>12345678", key, &plain, &error));
    EXPECT_FALSE(proto_open_event("<EN zz>12345678", key, &plain, &error));
    EXPECT_FALSE(proto_open_event("<MC 1 2>\r\n\r\n", key, &plain, &error));  // only the quit goes in clear
    EXPECT_EQ(error, "unscrambled message");
    EXPECT_TRUE(proto_open_event("<QT>\r\n\r\n", key, &plain, &error));
    // Enciphered with another key: noise, not text.
    uint8_t other[16];
    memcpy(other, key, 16);
    other[9] ^= 0x55;
    EXPECT_FALSE(proto_open_event(good, other, &plain, &error));
    Message m;
    EXPECT_FALSE(proto_message("<XX 1>", &m, &error));
    EXPECT_NE(error.find("unknown"), std::string::npos);
    EXPECT_FALSE(proto_message("<MC 1>", &m, &error));
    EXPECT_FALSE(proto_message("<MC 1 2 3>", &m, &error));
    EXPECT_FALSE(proto_message("<MC 99999999 2>", &m, &error));
    EXPECT_FALSE(proto_message("<TF a 1 9 abc >", &m, &error));   // fewer bytes than it says
    EXPECT_FALSE(proto_message("<TF a 1 1 abc >", &m, &error));   // more
    EXPECT_FALSE(proto_message("<LM a -1 >", &m, &error));
    EXPECT_FALSE(proto_message("<BAx>", &m, &error));
}

TEST(Users, NamesAndPasswordsCommentsAndBlankLines)
{
    char path[] = "/tmp/cvusers-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "# who may log in\r\nann s3cret pass \r\n\n  bob\thunter2\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), ssize_t(sizeof text - 1));
    close(fd);
    Users u;
    std::string error;
    ASSERT_TRUE(users_load(path, &u, &error)) << error;
    EXPECT_TRUE(users_check(u, "ann", "s3cret pass"));
    EXPECT_TRUE(users_check(u, "bob", "hunter2"));
    EXPECT_FALSE(users_check(u, "ann", "s3cret"));
    EXPECT_FALSE(users_check(u, "carl", ""));
    // (The client's headers give fopen to the device; the host file is written with POSIX calls.)
    fd = ::open(path, O_WRONLY | O_TRUNC);
    ASSERT_EQ(::write(fd, "ann\n", 4), 4);
    ::close(fd);
    EXPECT_FALSE(users_load(path, &u, &error));
    EXPECT_NE(error.find(":1:"), std::string::npos) << error;
    unlink(path);
    EXPECT_FALSE(users_load("/nonexistent/users", &u, &error));
    EXPECT_TRUE(users_check(Users(), "anyone", "anything"));
}
