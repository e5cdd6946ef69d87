// The builtin server's reading of a request head: what a browser sends is
// taken, and what would let two readers disagree about a request (a second
// Host, a second length, a target that is no path) is refused.
#include <gtest/gtest.h>

#include "tools/quillexctl/ui/http/http_message.h"

namespace {

using namespace quillex_http;

HeadVerdict Parse(const std::string& head, Request* request = nullptr) {
    Request scratch;
    std::string why;
    HeadVerdict verdict = ParseRequestHead(head, request ? request : &scratch, &why);
    if (verdict != HeadVerdict::Ok) {
        EXPECT_FALSE(why.empty()) << head;
    }
    return verdict;
}

TEST(BuiltinHttpHead, ABrowsersRequestIsReadWithItsQueryDecoded) {
    Request r;
    ASSERT_EQ(Parse("GET /api/events?stick=1&token=a%2Bb+c HTTP/1.1\r\n"
                    "Host: 127.0.0.1:8123\r\n"
                    "cookie:   quillex_ui=abc  \r\n"
                    "Origin: http://127.0.0.1:8123",
                    &r),
              HeadVerdict::Ok);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/api/events");
    EXPECT_EQ(r.get_param_value("stick"), "1");
    EXPECT_EQ(r.get_param_value("token"), "a+b c");
    EXPECT_EQ(r.get_param_value("absent"), "");
    EXPECT_EQ(r.get_header_value("COOKIE"), "quillex_ui=abc");
    EXPECT_EQ(r.get_header_value("host"), "127.0.0.1:8123");

    Request old;
    ASSERT_EQ(Parse("POST /app%2ejs HTTP/1.0", &old), HeadVerdict::Ok); // 1.0 needs no Host
    EXPECT_EQ(old.path, "/app.js");
}

TEST(BuiltinHttpHead, AmbiguousOrMalformedHeadsAreRefused) {
    const std::string host = "\r\nHost: 127.0.0.1:1";
    for (const std::string& head :
         {std::string("GET / HTTP/1.1"),  // no Host
          "GET / HTTP/1.1" + host + host, // two Hosts
          "GET / HTTP/1.1" + host + "\r\nContent-Length: 1\r\nContent-Length: 2",
          "GET / HTTP/1.1" + host + "\r\nTransfer-Encoding: a\r\nTransfer-Encoding: b",
          "GET http://evil.example/ HTTP/1.1" + host,        // not a path
          "GET * HTTP/1.1" + host, "GET  / HTTP/1.1" + host, // a double space
          "GET / HTTP/1.1 x" + host, "GET /" + host,         // no version
          "G(T / HTTP/1.1" + host,                           // no token
          "GET / HTTP/1.1" + host + "\r\nBad Name: x",       // space in a name
          "GET / HTTP/1.1" + host + "\r\n folded",           // folding
          "GET / HTTP/1.1" + host + "\r\nX: a\x01z",         // a control
          "GET /%zz HTTP/1.1" + host, "GET /?a=%4 HTTP/1.1" + host, "GET /%00 HTTP/1.1" + host,
          "GET /a#b HTTP/1.1" + host, "GET / HTTPS/1.1" + host, std::string()}) {
        EXPECT_EQ(Parse(head), HeadVerdict::Malformed) << head;
    }
    EXPECT_EQ(Parse("GET / HTTP/2.0" + host), HeadVerdict::BadVersion);

    std::string many = "GET / HTTP/1.1" + host;
    for (size_t i = 0; i < kMaxHeaderCount; ++i) {
        many += "\r\nX-" + std::to_string(i) + ": 1";
    }
    EXPECT_EQ(Parse(many), HeadVerdict::TooLarge);
    EXPECT_EQ(Parse("GET /" + std::string(kMaxHeadBytes, 'a') + " HTTP/1.1" + host),
              HeadVerdict::TooLarge);
}

TEST(BuiltinHttpHead, AResponseHeaderThatWouldSplitTheHeadIsDropped) {
    Response r;
    r.set_header("Location", "/");
    r.set_header("Location", "/again"); // replaces
    r.set_header("X-Injected", "a\r\nSet-Cookie: stolen=1");
    r.set_header("Bad Name", "x");
    EXPECT_EQ(r.get_header_value("location"), "/again");
    EXPECT_EQ(r.headers.size(), 1u);
}

} // namespace
