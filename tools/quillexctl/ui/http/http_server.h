// The configurator's own HTTP/1.1 server (see http_message.h): exact-path
// routes for GET and POST, a handler that sees every request before its
// route, and a thread per connection, with keep-alive.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/quillexctl/ui/http/http_message.h"
#include "tools/quillexctl/ui/http/socket_io.h"

namespace quillex_http {

class Server {
  public:
    enum class HandlerResponse { Handled, Unhandled };
    using Handler = std::function<void(const Request&, Response&)>;
    using PreRoutingHandler = std::function<HandlerResponse(const Request&, Response&)>;

    // More connections than this at once are answered 503 and closed.
    static constexpr size_t kMaxConnections = 32;
    // A kept-alive connection with no new request for this long is closed.
    static constexpr int kIdleMilliseconds = 5000;

    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    Server& Get(const std::string& path, Handler handler);
    Server& Post(const std::string& path, Handler handler);
    void set_pre_routing_handler(PreRoutingHandler handler);
    // Runs for every answer of 400 or above, before it is sent.
    void set_error_handler(Handler handler);
    void set_payload_max_length(size_t length);

    // The port bound (a free one), or -1.
    int bind_to_any_port(const std::string& host);
    bool bind_to_port(const std::string& host, int port);
    const std::string& bind_error() const { return bindError_; }
    // Serves until stop(); false when nothing was bound.
    bool listen_after_bind();
    // Closes the listener and every connection, and waits for their threads.
    void stop();

  private:
    struct Connection {
        SocketHandle socket = kNoSocket;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void Serve(Connection* connection);
    // One request on the connection; false when the connection is to close.
    bool ServeOne(SocketHandle socket, std::string* pending);
    bool Answer(SocketHandle socket, const Request& request, Response& response, bool keepAlive);
    bool Stream(SocketHandle socket, Response& response);
    void Route(const Request& request, Response& response);
    void ReapFinished(bool all);

    std::map<std::string, Handler> getRoutes_, postRoutes_;
    PreRoutingHandler preRouting_;
    Handler errorHandler_;
    size_t payloadMax_ = 8 * 1024 * 1024;

    SocketHandle listener_ = kNoSocket;
    std::string bindError_;
    std::atomic<bool> stopping_{false};
    std::mutex connectionsLock_;
    std::list<std::unique_ptr<Connection>> connections_;
};

} // namespace quillex_http
