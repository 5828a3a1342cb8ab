// Passwords: the hashing command's line read back from a users file, checks
// on the worker threads, and the delays that grow with an address's
// failures.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "loop.h"
#include "passwords.h"
#include "users.h"

namespace {

// What `corvanta-server --hash-password` prints for this input (its exit
// code in *rc), and its message on err.
std::string hash_command(const std::string& input, int* rc, std::string* err_text = nullptr)
{
    FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    char* out_buf = nullptr;
    size_t out_len = 0;
    FILE* out = open_memstream(&out_buf, &out_len);
    char* err_buf = nullptr;
    size_t err_len = 0;
    FILE* err = open_memstream(&err_buf, &err_len);
    *rc = passwords_hash_command(in, out, err);
    fclose(in);
    fclose(out);
    fclose(err);
    std::string result(out_buf, out_len);
    if (err_text)
        *err_text = std::string(err_buf, err_len);
    free(out_buf);
    free(err_buf);
    return result;
}

std::string users_file(const std::string& text)
{
    char path[] = "/tmp/cv-users-XXXXXX";
    int f = mkstemp(path);
    EXPECT_EQ(write(f, text.data(), text.size()), ssize_t(text.size()));
    close(f);
    return path;
}

}  // namespace

TEST(Passwords, TheHashingCommandsLineIsReadBackAndChecked)
{
    int rc = 0;
    std::string line = hash_command("tess\nwinter garden\n", &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(line.rfind("tess $argon2id$", 0), 0u) << line;
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find("winter"), std::string::npos);
    std::string path = users_file("# users\n" + line + "guest anonymous\n");
    Users u;
    std::string error;
    ASSERT_TRUE(users_load(path, &u, &error)) << error;
    unlink(path.c_str());
    EXPECT_TRUE(users_check(u, "tess", "winter garden"));
    EXPECT_FALSE(users_check(u, "tess", "winter"));
    EXPECT_FALSE(users_check(u, "tess", "Winter garden"));
    EXPECT_TRUE(users_check(u, "guest", "anonymous"));
    EXPECT_FALSE(users_check(u, "guest", "anonymou"));
    // Only the plain line is reported.
    ASSERT_EQ(u.plain_lines.size(), 1u);
    EXPECT_EQ(u.plain_lines[0], 3);
    // A CRLF input hashes the same password.
    line = hash_command("ann\r\npw\r\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(passwords_match(line.substr(4, line.size() - 5), "pw"));
}

TEST(Passwords, TheHashingCommandRefusesWhatTheFileCouldNotHold)
{
    int rc = 0;
    std::string err;
    for (const char* input : {"", "tess\n", "two words\npw\n", "#tess\npw\n", "tess\n\n", "\npw\n"}) {
        EXPECT_EQ(hash_command(input, &rc, &err), "") << input;
        EXPECT_EQ(rc, 2) << input;
        EXPECT_FALSE(err.empty());
    }
}

TEST(Passwords, AMalformedHashNamesItsLine)
{
    std::string path = users_file("guest anonymous\nbob $argon2id$v=19$m=65536,t=2,p=1$short\n");
    Users u;
    std::string error;
    EXPECT_FALSE(users_load(path, &u, &error));
    unlink(path.c_str());
    EXPECT_NE(error.find(":2:"), std::string::npos) << error;
}

TEST(Passwords, ChecksRunOnWorkersAndAnswerInTheLoop)
{
    Loop loop;
    ASSERT_TRUE(loop_init(loop));
    std::string error;
    ASSERT_TRUE(passwords_start(loop, &error)) << error;
    std::string hash;
    ASSERT_TRUE(passwords_hash("s3cret", &hash));
    Users u;
    u.enabled = true;
    u.entries = {{"ann", hash}, {"guest", "anonymous"}};
    int answers = 0;
    bool ann_ok = false, ann_wrong = true, nobody = true, guest = false;
    passwords_check(u, "ann", "s3cret", [&](bool ok) { ann_ok = ok; answers++; });
    passwords_check(u, "ann", "s3cre", [&](bool ok) { ann_wrong = ok; answers++; });
    passwords_check(u, "nobody", "s3cret", [&](bool ok) { nobody = ok; answers++; });
    passwords_check(u, "guest", "anonymous", [&](bool ok) { guest = ok; answers++; });
    // The plain entry answers at once; the hashes come back through the loop.
    EXPECT_EQ(answers, 1);
    int64_t end = loop_now_ms() + 20000;
    while (answers < 4 && loop_now_ms() < end)
        loop_turn(loop, 50);
    EXPECT_EQ(answers, 4);
    EXPECT_TRUE(ann_ok);
    EXPECT_FALSE(ann_wrong);
    EXPECT_FALSE(nobody);
    EXPECT_TRUE(guest);
    passwords_stop();
    loop_close(loop);
}

TEST(Passwords, FailuresOfOneAddressDelayItsNextLoginsMoreAndMore)
{
    Loop loop;
    ASSERT_TRUE(loop_init(loop));
    std::string error;
    ASSERT_TRUE(passwords_start(loop, &error)) << error;
    const std::string a = "198.51.100.7", b = "198.51.100.8";
    // The first login goes at once.
    bool went = false;
    ASSERT_TRUE(passwords_wait_turn(a, [&]() { went = true; }));
    EXPECT_TRUE(went);
    passwords_result(a, PW_FAILED);
    // The wait the failure set, however long ago it was recorded.
    EXPECT_EQ(passwords_next_delay_ms(a), PW_FIRST_DELAY_MS);
    // The next waits that long, and another address does not wait at all.
    int64_t asked = loop_now_ms();
    int64_t went_at = 0;
    ASSERT_TRUE(passwords_wait_turn(a, [&]() { went_at = loop_now_ms(); }));
    bool b_went = false;
    ASSERT_TRUE(passwords_wait_turn(b, [&]() { b_went = true; }));
    EXPECT_TRUE(b_went);
    passwords_result(b, PW_OK);
    EXPECT_EQ(went_at, 0);
    int64_t end = loop_now_ms() + 10000;
    while (!went_at && loop_now_ms() < end)
        loop_turn(loop, 20);
    ASSERT_NE(went_at, 0);
    EXPECT_GE(went_at - asked, PW_FIRST_DELAY_MS - 250);
    passwords_result(a, PW_FAILED);
    EXPECT_EQ(passwords_next_delay_ms(a), 2 * PW_FIRST_DELAY_MS);
    // Logins waiting at once take their turns one after the other, and only
    // so many may wait.
    int waiting_went = 0;
    for (int i = 0; i < PW_WAITING_LIMIT; ++i)
        EXPECT_TRUE(passwords_wait_turn(a, [&]() { waiting_went++; }));
    EXPECT_FALSE(passwords_wait_turn(a, [&]() { waiting_went++; }));
    EXPECT_EQ(waiting_went, 0);
    // A success ends the row of failures: the rest go without delay.
    end = loop_now_ms() + 10000;
    while (!waiting_went && loop_now_ms() < end)
        loop_turn(loop, 20);
    ASSERT_EQ(waiting_went, 1);
    passwords_result(a, PW_OK);
    EXPECT_EQ(passwords_next_delay_ms(a), 0);
    for (int i = 2; i <= PW_WAITING_LIMIT; ++i) {
        EXPECT_EQ(waiting_went, i);
        passwords_result(a, PW_NONE);
    }
    passwords_stop();
    loop_close(loop);
}
