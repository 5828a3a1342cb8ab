// The engine driver against the real browser: blocking use (open a page, load,
// snapshot, capture), time-outs, a browser that cannot start, and one that
// dies under a pending call.
#include "engine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

using nlohmann::json;

namespace {

struct EngineFixture : ::testing::Test {
    Engine e;
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(engine_start(e, EngineOptions(), &error)) << error;
    }
    void TearDown() override { engine_stop(e); }
};

std::string data_url(const std::string& html)
{
    std::string out = "data:text/html,";
    for (unsigned char c : html) {
        if (isalnum(c) || c == '<' || c == '>' || c == '/' || c == '=' || c == ' ' || c == ':' || c == ';' ||
            c == '-' || c == '.')
            out += char(c);
        else {
            char b[4];
            snprintf(b, sizeof b, "%%%02X", c);
            out += b;
        }
    }
    return out;
}

}  // namespace

TEST_F(EngineFixture, LoadsAPageAndReportsItsLayoutAtTheViewportSize)
{
    EnginePage page;
    std::string error;
    ASSERT_TRUE(engine_open_page(e, 640, 480, {}, &page, &error)) << error;
    ASSERT_TRUE(engine_load(e, page, data_url("<body style='margin:0'><div id=d style='width:100px;height:40px;"
                                              "background:#ff0000'></div>hello</body>"),
                            &error))
        << error;
    json r;
    ASSERT_TRUE(engine_call_wait(e, "Runtime.evaluate",
                                 {{"expression", "innerWidth + 'x' + innerHeight + ' ' + document.body.textContent"},
                                  {"returnByValue", true}},
                                 page.session, &r, &error))
        << error;
    EXPECT_EQ(r["result"]["value"], "640x480 hello");
    ASSERT_TRUE(engine_call_wait(e, "DOMSnapshot.captureSnapshot", {{"computedStyles", json::array()}}, page.session,
                                 &r, &error))
        << error;
    EXPECT_TRUE(r.contains("documents"));
    EXPECT_TRUE(r.contains("strings"));
    // One capture: the red box is where the page put it.
    ASSERT_TRUE(engine_call_wait(e, "Page.captureScreenshot",
                                 {{"format", "png"}, {"clip", {{"x", 0}, {"y", 0}, {"width", 100}, {"height", 40},
                                                                {"scale", 1}}}},
                                 page.session, &r, &error))
        << error;
    std::string png = engine_base64_decode(r["data"].get<std::string>());
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    engine_close_page(e, page);
}

TEST_F(EngineFixture, PagesOfTwoContextsKeepTheirOwnCookies)
{
    EnginePage a, b;
    std::string error;
    ASSERT_TRUE(engine_open_page(e, 640, 480, {}, &a, &error)) << error;
    ASSERT_TRUE(engine_open_page(e, 480, 360, {}, &b, &error)) << error;
    json r;
    ASSERT_TRUE(engine_call_wait(e, "Network.setCookie",
                                 {{"name", "who"}, {"value", "a"}, {"url", "http://example.invalid/"}}, a.session, &r,
                                 &error))
        << error;
    ASSERT_TRUE(engine_call_wait(e, "Network.getCookies", {{"urls", {"http://example.invalid/"}}}, b.session, &r,
                                 &error))
        << error;
    EXPECT_TRUE(r["cookies"].empty());
    ASSERT_TRUE(engine_call_wait(e, "Network.getCookies", {{"urls", {"http://example.invalid/"}}}, a.session, &r,
                                 &error))
        << error;
    EXPECT_EQ(r["cookies"].size(), 1u);
    ASSERT_TRUE(engine_call_wait(e, "Runtime.evaluate", {{"expression", "innerWidth"}, {"returnByValue", true}},
                                 b.session, &r, &error));
    EXPECT_EQ(r["result"]["value"], 480);
}

TEST_F(EngineFixture, ScriptsForNewDocumentsRunBeforeThePageScripts)
{
    EnginePage page;
    std::string error;
    ASSERT_TRUE(engine_open_page(e, 640, 480, {"window.cvMark = 'early';"}, &page, &error)) << error;
    ASSERT_TRUE(engine_load(e, page, data_url("<script>document.title = window.cvMark;</script>"), &error)) << error;
    json r;
    ASSERT_TRUE(engine_call_wait(e, "Runtime.evaluate", {{"expression", "document.title"}, {"returnByValue", true}},
                                 page.session, &r, &error));
    EXPECT_EQ(r["result"]["value"], "early");
}

TEST_F(EngineFixture, AnUnknownMethodIsAnErrorAndACallCanTimeOut)
{
    std::string error;
    EXPECT_FALSE(engine_call_wait(e, "No.suchMethod", json::object(), "", nullptr, &error));
    EXPECT_NE(error.find("No.suchMethod"), std::string::npos) << error;
    EnginePage page;
    ASSERT_TRUE(engine_open_page(e, 640, 480, {}, &page, &error)) << error;
    // A promise that never settles: the call ends by its time-out.
    EXPECT_FALSE(engine_call_wait(e, "Runtime.evaluate",
                                  {{"expression", "new Promise(() => {})"}, {"awaitPromise", true}}, page.session,
                                  nullptr, &error, 300));
    EXPECT_EQ(error, "timeout");
    // The engine still answers afterwards.
    json r;
    EXPECT_TRUE(engine_call_wait(e, "Runtime.evaluate", {{"expression", "1+1"}, {"returnByValue", true}},
                                 page.session, &r, &error));
    EXPECT_EQ(r["result"]["value"], 2);
}

TEST_F(EngineFixture, ABrowserKilledUnderAPendingCallFailsItAndIsReportedOnce)
{
    int deaths = 0;
    e.on_death = [&]() { ++deaths; };
    EnginePage page;
    std::string error;
    ASSERT_TRUE(engine_open_page(e, 640, 480, {}, &page, &error)) << error;
    bool replied = false;
    std::string reply_error;
    engine_call(e, "Runtime.evaluate", {{"expression", "new Promise(() => {})"}, {"awaitPromise", true}},
                page.session, [&](const json&, const std::string& t) {
                    replied = true;
                    reply_error = t;
                });
    kill(-e.pid, SIGKILL);
    for (int i = 0; i < 200 && engine_running(e); ++i)
        engine_pump(e, 50);
    EXPECT_FALSE(engine_running(e));
    EXPECT_TRUE(replied);
    EXPECT_EQ(reply_error, "engine stopped");
    EXPECT_EQ(deaths, 1);
    // A call on the dead engine fails at once.
    EXPECT_FALSE(engine_call_wait(e, "Browser.getVersion", json::object(), "", nullptr, &error));
    EXPECT_EQ(error, "engine stopped");
    // And it starts again.
    ASSERT_TRUE(engine_start(e, EngineOptions(), &error)) << error;
    json r;
    EXPECT_TRUE(engine_call_wait(e, "Browser.getVersion", json::object(), "", &r, &error)) << error;
    EXPECT_NE(r.value("product", std::string()).find("Chrome"), std::string::npos);
}

TEST(Engine, AMissingBrowserIsReportedAtStart)
{
    Engine e;
    EngineOptions o;
    o.browser = "/nonexistent/browser";
    std::string error;
    EXPECT_FALSE(engine_start(e, o, &error));
    EXPECT_NE(error.find("/nonexistent/browser"), std::string::npos) << error;
    EXPECT_FALSE(engine_running(e));
}

TEST(Engine, StoppingKillsTheBrowsersWholeProcessGroup)
{
    // As the server does: orphans of the browser come to us to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Engine e;
    std::string error;
    ASSERT_TRUE(engine_start(e, EngineOptions(), &error)) << error;
    ASSERT_TRUE(engine_call_wait(e, "Browser.getVersion", json::object(), "", nullptr, &error)) << error;
    pid_t group = e.pid;
    EXPECT_EQ(getpgid(group), group);
    engine_stop(e);
    // Other members of the group (zygotes, renderers) go with it.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        gone = kill(-group, 0) != 0;
        if (!gone)
            usleep(50000);
    }
    EXPECT_TRUE(gone);
}

TEST(Engine, HostMapsBecomeResolverRules)
{
    EngineOptions o;
    o.host_map = {{"site.test", "127.0.0.5"}, {"other.test", "127.0.0.6"}};
    auto args = engine_arguments(o);
    EXPECT_NE(std::find(args.begin(), args.end(),
                        "--host-resolver-rules=MAP site.test 127.0.0.5,MAP other.test 127.0.0.6"),
              args.end());
    EXPECT_NE(std::find(args.begin(), args.end(), "--remote-debugging-pipe"), args.end());
    EXPECT_EQ(std::find(args.begin(), args.end(), "--hide-scrollbars"), args.end());
}

TEST(Engine, Base64DecodesWithAndWithoutPadding)
{
    EXPECT_EQ(engine_base64_decode("aGVsbG8="), "hello");
    EXPECT_EQ(engine_base64_decode("aGVsbG8h"), "hello!");
    EXPECT_EQ(engine_base64_decode("aGV\nsbG8"), "hello");
    EXPECT_EQ(engine_base64_decode(""), "");
}
