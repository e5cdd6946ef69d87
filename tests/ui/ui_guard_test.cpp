// The guard's rules one by one: which Host headers name this server, which
// requests may change something, and where the token is taken.
#include <gtest/gtest.h>

#include "tools/quillexctl/ui/request_guard.h"

namespace {

GuardConfig Config(bool listenAny = false) {
    GuardConfig c;
    c.token = "5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed5eed";
    c.port = 8123;
    c.listenAny = listenAny;
    return c;
}

GuardRequest Get(const std::string& path, const std::string& cookie) {
    GuardRequest r;
    r.method = "GET";
    r.path = path;
    r.host = "127.0.0.1:8123";
    r.cookie = cookie;
    return r;
}

const std::string kCookie = "quillex_ui=" + Config().token;

TEST(RequestGuard, HostMustNameThisServerByALoopbackNameAndItsPort) {
    GuardConfig c = Config();
    for (const char* host : {"127.0.0.1:8123", "localhost:8123", "LOCALHOST:8123", "[::1]:8123"}) {
        EXPECT_TRUE(HostIsAllowed(c, host)) << host;
    }
    for (const char* host :
         {"", "127.0.0.1", "127.0.0.1:8124", "127.0.0.1:81234", "localhost.evil.example:8123",
          "evil.example:8123", "192.168.1.20:8123", "127.0.0.2:8123", ":8123", "[::1]",
          "127.0.0.1:8123:8123"}) {
        EXPECT_FALSE(HostIsAllowed(c, host)) << host;
    }
    // Served on every interface: an address literal of any of them, never a
    // name (a rebinding site can only send a name).
    GuardConfig any = Config(true);
    for (const char* host : {"192.168.1.20:8123", "10.0.0.1:8123", "[fe80::1]:8123"}) {
        EXPECT_TRUE(HostIsAllowed(any, host)) << host;
    }
    for (const char* host : {"evil.example:8123", "192.168.1:8123", "192.168.1.256:8123",
                             "1.2.3.4.5:8123", "192.168.1.20:9999", "[evil]:8123"}) {
        EXPECT_FALSE(HostIsAllowed(any, host)) << host;
    }
}

TEST(RequestGuard, TheTokenIsTakenFromTheCookieOrOnceFromThePrintedAddress) {
    GuardConfig c = Config();
    EXPECT_EQ(CheckRequest(c, Get("/api/mapping", kCookie)).verdict, GuardVerdict::Allow);
    EXPECT_EQ(CheckRequest(c, Get("/api/mapping", "theme=dark; " + kCookie + "; x=1")).verdict,
              GuardVerdict::Allow);
    EXPECT_EQ(CheckRequest(c, Get("/api/mapping", "")).verdict, GuardVerdict::Refuse);
    EXPECT_EQ(CheckRequest(c, Get("/api/mapping", "quillex_ui=")).verdict, GuardVerdict::Refuse);
    EXPECT_EQ(CheckRequest(c, Get("/api/mapping", "xquillex_ui=" + c.token)).verdict,
              GuardVerdict::Refuse);
    EXPECT_EQ(CheckRequest(c, Get("/api/mapping", kCookie + "0")).verdict, GuardVerdict::Refuse);

    GuardRequest first = Get("/", "");
    first.queryToken = c.token;
    EXPECT_EQ(CheckRequest(c, first).verdict, GuardVerdict::AllowAndSetCookie);
    first.path = "/api/mapping";
    EXPECT_EQ(CheckRequest(c, first).verdict, GuardVerdict::Refuse);
    first.path = "/";
    first.queryToken = c.token.substr(1);
    EXPECT_EQ(CheckRequest(c, first).verdict, GuardVerdict::Refuse);

    GuardConfig noToken = Config();
    noToken.token.clear();
    EXPECT_EQ(CheckRequest(noToken, Get("/", "quillex_ui=")).verdict, GuardVerdict::Refuse);
}

TEST(RequestGuard, AChangeMustComeFromThePagesOwnOrigin) {
    GuardConfig c = Config();
    GuardRequest post = Get("/api/mapping", kCookie);
    post.method = "POST";
    post.origin = "http://127.0.0.1:8123";
    EXPECT_EQ(CheckRequest(c, post).verdict, GuardVerdict::Allow);
    post.secFetchSite = "same-origin";
    EXPECT_EQ(CheckRequest(c, post).verdict, GuardVerdict::Allow);
    post.secFetchSite = "same-site";
    EXPECT_EQ(CheckRequest(c, post).verdict, GuardVerdict::Refuse);
    post.secFetchSite.clear();
    for (const char* origin : {"", "null", "http://evil.example", "http://localhost:8123",
                               "https://127.0.0.1:8123", "http://127.0.0.1:8124"}) {
        post.origin = origin;
        EXPECT_EQ(CheckRequest(c, post).verdict, GuardVerdict::Refuse) << origin;
    }
    // The origin follows the name the page was opened by.
    post.host = "localhost:8123";
    post.origin = "http://localhost:8123";
    EXPECT_EQ(CheckRequest(c, post).verdict, GuardVerdict::Allow);
    // Even the right origin needs the token.
    post.cookie.clear();
    EXPECT_EQ(CheckRequest(c, post).verdict, GuardVerdict::Refuse);
}

TEST(RequestGuard, TokensAreLongAndNeverRepeat) {
    std::string a = NewToken(), b = NewToken();
    EXPECT_EQ(a.size(), 64u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);
}

} // namespace
