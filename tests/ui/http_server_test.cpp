// The builtin server over real sockets, written to byte by byte as a client
// may: keep-alive and pipelined requests, bodies in pieces and over the
// limit, the routes' refusals, streams that end with their page or with the
// server, and the connection limit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "tools/quillexctl/ui/http/http_server.h"

namespace {

using namespace quillex_http;
using namespace std::chrono_literals;

class RawClient {
  public:
    explicit RawClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        timeval wait{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // One response: its status line and headers, and a Content-Length body.
    std::string ReadResponse() {
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) {
                return std::exchange(buffer_, std::string());
            }
        }
        std::string head = buffer_.substr(0, end + 4);
        size_t length = 0;
        size_t at = head.find("Content-Length: ");
        if (at != std::string::npos) {
            length = std::stoul(head.substr(at + 16));
        }
        while (buffer_.size() < end + 4 + length && Fill()) {
        }
        std::string response = buffer_.substr(0, end + 4 + length);
        buffer_.erase(0, end + 4 + length);
        return response;
    }
    // Everything until the server closes: false if it did not within 5 s.
    bool ReadToClose(std::string* all) {
        while (Fill()) {
        }
        *all = std::exchange(buffer_, std::string());
        return closed_;
    }
    // Reads until `text` has arrived.
    bool ReadUntil(const std::string& text) {
        while (buffer_.find(text) == std::string::npos) {
            if (!Fill()) {
                return false;
            }
        }
        return true;
    }

  private:
    bool Fill() {
        char chunk[4096];
        ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            closed_ = got == 0;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(got));
        return true;
    }
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::string buffer_;
};

std::string Get(const std::string& path, const std::string& extra = std::string()) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

class BuiltinHttpServer : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.set_payload_max_length(1000);
        server_.Get("/hello", [](const Request& req, Response& res) {
            res.set_content("hello " + req.get_param_value("name"), "text/plain");
        });
        server_.Post("/echo", [this](const Request& req, Response& res) {
            ++echoes_;
            res.set_content(std::to_string(req.body.size()) + ":" + req.body, "text/plain");
        });
        server_.Get("/stream", [this](const Request&, Response& res) {
            res.set_chunked_content_provider(
                "text/event-stream",
                [this](size_t, DataSink& sink) {
                    std::this_thread::sleep_for(5ms);
                    if (finishStream_) {
                        sink.done();
                        return true;
                    }
                    return sink.write("data: tick\n\n", 12);
                },
                [this](bool success) {
                    released_ = true;
                    releasedWell_ = success;
                });
        });
        server_.Get("/throws", [](const Request&, Response&) {
            throw std::runtime_error("a handler's fault");
        });
        server_.set_pre_routing_handler([](const Request& req, Response& res) {
            if (req.path == "/refused") {
                res.status = 403;
                return Server::HandlerResponse::Handled;
            }
            return Server::HandlerResponse::Unhandled;
        });
        server_.set_error_handler(
            [](const Request&, Response& res) { res.set_header("X-Error-Handler", "ran"); });
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0) << server_.bind_error();
        thread_ = std::thread([this] { served_ = server_.listen_after_bind(); });
    }
    void TearDown() override { StopAndJoin(); }
    void StopAndJoin() {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

    Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> served_{false}, finishStream_{false}, released_{false}, releasedWell_{false};
    std::atomic<int> echoes_{0};
};

TEST_F(BuiltinHttpServer, KeptAliveConnectionsAnswerPipelinedRequestsInOrder) {
    RawClient c(port_);
    ASSERT_TRUE(c.connected());
    c.Send(Get("/hello?name=a") + Get("/hello?name=b%20c"));
    std::string first = c.ReadResponse(), second = c.ReadResponse();
    EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("Connection: keep-alive"), std::string::npos);
    EXPECT_NE(first.find("\r\n\r\nhello a"), std::string::npos) << first;
    EXPECT_NE(second.find("\r\n\r\nhello b c"), std::string::npos) << second;

    c.Send(Get("/hello?name=last", "Connection: close\r\n"));
    std::string rest;
    EXPECT_TRUE(c.ReadToClose(&rest));
    EXPECT_NE(rest.find("hello last"), std::string::npos) << rest;
}

TEST_F(BuiltinHttpServer, BodiesArriveWholeAndOversizedOrMalformedOnesAreRefused) {
    RawClient pieces(port_);
    pieces.Send("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le");
    std::this_thread::sleep_for(20ms);
    pieces.Send("ngth: 10\r\n\r\n01234");
    std::this_thread::sleep_for(20ms);
    pieces.Send("56789");
    EXPECT_NE(pieces.ReadResponse().find("\r\n\r\n10:0123456789"), std::string::npos);

    // Over the limit: 413, and the handler never runs.
    RawClient large(port_);
    large.Send("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 200000\r\n\r\n");
    large.Send(std::string(200000, 'x'));
    std::string answer;
    large.ReadToClose(&answer);
    EXPECT_EQ(answer.rfind("HTTP/1.1 413 ", 0), 0u) << answer.substr(0, 200);
    EXPECT_NE(answer.find("X-Error-Handler: ran"), std::string::npos);

    // Chunks, as Node's and other clients send a body of unknown length.
    RawClient chunked(port_);
    chunked.Send("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "4;ext=1\r\nabcd\r\n");
    std::this_thread::sleep_for(20ms);
    chunked.Send("3\r\nefg\r\n0\r\nX-Trailer: dropped\r\n\r\n");
    EXPECT_NE(chunked.ReadResponse().find("\r\n\r\n7:abcdefg"), std::string::npos);

    struct Refusal {
        std::string headAndBody;
        const char* status;
    } refusals[] = {
        {"Transfer-Encoding: chunked\r\n\r\n3e8\r\n" + std::string(1000, 'x') +
             "\r\n1\r\ny\r\n0\r\n\r\n",
         "413"},
        {"Transfer-Encoding: chunked\r\n\r\nzz\r\n", "400"},
        {"Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", "400"},
        {"Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", "501"},
        {"Transfer-Encoding: gzip, chunked\r\n\r\n", "501"},
        {"Content-Length: -1\r\n\r\n", "400"},
        {"Content-Length: 99999999999999999999999\r\n\r\n", "400"},
    };
    for (const Refusal& r : refusals) {
        RawClient c(port_);
        c.Send("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n" + r.headAndBody);
        std::string refused;
        EXPECT_TRUE(c.ReadToClose(&refused)) << r.headAndBody.substr(0, 60);
        EXPECT_EQ(refused.substr(0, 12), std::string("HTTP/1.1 ") + r.status)
            << r.headAndBody.substr(0, 60) << refused.substr(0, 100);
    }
    EXPECT_EQ(echoes_, 2);
}

TEST_F(BuiltinHttpServer, UnknownPathsWrongMethodsAndBadHeadsAreAnsweredWithTheirStatus) {
    struct Case {
        std::string request;
        const char* status;
    } cases[] = {
        {Get("/nowhere"), "404"},
        {"POST /hello HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", "405"},
        {"DELETE /echo HTTP/1.1\r\nHost: x\r\n\r\n", "405"},
        {Get("/refused"), "403"},
        {Get("/throws"), "500"},
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "400"},
        {"GET / HTTP/3.0\r\nHost: a\r\n\r\n", "505"},
        {"GET /" + std::string(kMaxHeadBytes + 10, 'a'), "431"},
    };
    for (const Case& c : cases) {
        RawClient client(port_);
        client.Send(c.request);
        std::string answer = client.ReadResponse();
        EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status)
            << c.request.substr(0, 60);
        EXPECT_NE(answer.find("X-Error-Handler: ran"), std::string::npos) << answer;
    }
    RawClient wrong(port_);
    wrong.Send("POST /hello HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
    EXPECT_NE(wrong.ReadResponse().find("Allow: GET\r\n"), std::string::npos);
}

TEST_F(BuiltinHttpServer, AStreamEndsWhenItsPageLeavesOrItsProviderIsDone) {
    {
        RawClient page(port_);
        page.Send(Get("/stream"));
        ASSERT_TRUE(page.ReadUntil("data: tick\n\n\r\n"));
    } // the page goes away
    for (int i = 0; i < 500 && !released_; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(released_);
    EXPECT_FALSE(releasedWell_);

    released_ = false;
    RawClient page(port_);
    page.Send(Get("/stream"));
    ASSERT_TRUE(page.ReadUntil("data: tick"));
    finishStream_ = true;
    std::string rest;
    EXPECT_TRUE(page.ReadToClose(&rest)); // chunked, then the end chunk, then the close
    EXPECT_NE(rest.find("\r\n0\r\n\r\n"), std::string::npos) << rest.substr(rest.size() - 40);
    EXPECT_TRUE(released_);
    EXPECT_TRUE(releasedWell_);
}

TEST_F(BuiltinHttpServer, StopEndsOpenStreamsAndIdleConnections) {
    RawClient idle(port_);
    RawClient page(port_);
    page.Send(Get("/stream"));
    ASSERT_TRUE(page.ReadUntil("data: tick"));
    auto start = std::chrono::steady_clock::now();
    StopAndJoin();
    // Not a timing claim: a stop that waited for the idle connection's 5 s
    // timeout, or for the stream forever, would still be inside it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_TRUE(served_);
    EXPECT_TRUE(released_);
    std::string rest;
    EXPECT_TRUE(idle.ReadToClose(&rest));
    EXPECT_TRUE(page.ReadToClose(&rest));
}

TEST_F(BuiltinHttpServer, ConnectionsPastTheLimitAreTurnedAwayWithoutHarmingTheOthers) {
    std::vector<std::unique_ptr<RawClient>> held;
    for (size_t i = 0; i < Server::kMaxConnections; ++i) {
        held.push_back(std::make_unique<RawClient>(port_));
        held.back()->Send(Get("/hello?name=" + std::to_string(i)));
        ASSERT_NE(held.back()->ReadResponse().find("hello"), std::string::npos) << i;
    }
    RawClient extra(port_);
    std::string answer;
    extra.ReadToClose(&answer);
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
    held.front()->Send(Get("/hello?name=still"));
    EXPECT_NE(held.front()->ReadResponse().find("hello still"), std::string::npos);
}

} // namespace
