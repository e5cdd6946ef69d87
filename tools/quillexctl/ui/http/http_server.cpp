#include "tools/quillexctl/ui/http/http_server.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <exception>
#include <vector>

namespace quillex_http {

namespace {

// How long a request may take to arrive once begun, and an answer to leave.
constexpr int kTransferMilliseconds = 10000;
// What is read and dropped of a refused request's body before the close, so
// that the peer reads the refusal rather than a reset connection.
constexpr size_t kDrainBytes = 1024 * 1024;
constexpr size_t kMaxRequestsPerConnection = 1000;

// Whether a comma-separated header value lists `token` (lower case).
bool HasToken(const std::string& list, const char* token) {
    for (std::string item : Split(list, ',')) {
        for (char& c : item) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        if (first != std::string::npos && item.compare(first, last - first + 1, token) == 0) {
            return true;
        }
    }
    return false;
}

bool WantsKeepAlive(const Request& request) {
    std::string connection = request.get_header_value("Connection");
    if (request.version == "HTTP/1.0") {
        return HasToken(connection, "keep-alive");
    }
    return !HasToken(connection, "close");
}

// Content-Length as a number: digits only, and not past `limit` + 1 (a larger
// one is refused whatever its size).
bool ParseLength(const std::string& text, size_t limit, size_t* length) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    *length = value > limit ? limit + 1 : static_cast<size_t>(value);
    return true;
}

std::string Head(const Response& response, const std::string& framing) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       StatusReason(response.status) + "\r\n";
    for (const auto& header : response.headers) {
        head += header.first + ": " + header.second + "\r\n";
    }
    return head + framing + "\r\n";
}

// Reads and drops what the peer still sends, for a short while, after the
// last answer went out.
void LingeringClose(SocketHandle socket) {
    ShutdownSending(socket);
    SetReceiveTimeout(socket, 1000);
    char sink[4096];
    size_t dropped = 0;
    long got = 0;
    while (dropped < kDrainBytes && (got = ReceiveSome(socket, sink, sizeof(sink))) > 0) {
        dropped += static_cast<size_t>(got);
    }
}

} // namespace

Server::~Server() {
    stop();
    ReapFinished(true);
    if (listener_ != kNoSocket) {
        CloseSocket(listener_);
    }
}

Server& Server::Get(const std::string& path, Handler handler) {
    getRoutes_[path] = std::move(handler);
    return *this;
}

Server& Server::Post(const std::string& path, Handler handler) {
    postRoutes_[path] = std::move(handler);
    return *this;
}

void Server::set_pre_routing_handler(PreRoutingHandler handler) {
    preRouting_ = std::move(handler);
}

void Server::set_error_handler(Handler handler) {
    errorHandler_ = std::move(handler);
}

void Server::set_payload_max_length(size_t length) {
    payloadMax_ = length;
}

int Server::bind_to_any_port(const std::string& host) {
    int port = 0;
    if (listener_ != kNoSocket) {
        bindError_ = "already bound";
        return -1;
    }
    listener_ = Listen(host.c_str(), 0, &port, &bindError_);
    return listener_ == kNoSocket ? -1 : port;
}

bool Server::bind_to_port(const std::string& host, int port) {
    int bound = 0;
    if (listener_ != kNoSocket) {
        bindError_ = "already bound";
        return false;
    }
    listener_ = Listen(host.c_str(), port, &bound, &bindError_);
    return listener_ != kNoSocket;
}

bool Server::listen_after_bind() {
    if (listener_ == kNoSocket) {
        return false;
    }
    while (!stopping_) {
        SocketHandle accepted = AcceptWithin(listener_, 100);
        ReapFinished(false);
        if (accepted == kNoSocket) {
            continue;
        }
        std::lock_guard<std::mutex> guard(connectionsLock_);
        if (stopping_ || connections_.size() >= kMaxConnections) {
            if (!stopping_) {
                static const char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: "
                                            "0\r\nConnection: close\r\n\r\n";
                SetSendTimeout(accepted, 1000);
                SendAll(accepted, kBusy, sizeof(kBusy) - 1);
            }
            CloseSocket(accepted);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>());
        Connection* connection = connections_.back().get();
        connection->socket = accepted;
        connection->thread = std::thread([this, connection] { Serve(connection); });
    }
    ReapFinished(true);
    CloseSocket(listener_);
    listener_ = kNoSocket;
    return true;
}

void Server::stop() {
    stopping_ = true;
    std::lock_guard<std::mutex> guard(connectionsLock_);
    for (const auto& connection : connections_) {
        ShutdownSocket(connection->socket);
    }
}

// Joins the connections' threads that ended (all of them, once stopping),
// then closes their sockets: a socket is closed only here, after its
// thread, so that stop() never shuts down a number already reused.
void Server::ReapFinished(bool all) {
    std::lock_guard<std::mutex> guard(connectionsLock_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& connection = **it;
        if (!all && !connection.finished) {
            ++it;
            continue;
        }
        if (all) {
            ShutdownSocket(connection.socket);
        }
        connection.thread.join();
        CloseSocket(connection.socket);
        it = connections_.erase(it);
    }
}

void Server::Serve(Connection* connection) {
    SocketHandle socket = connection->socket;
    SetSendTimeout(socket, kTransferMilliseconds);
    std::string pending;
    size_t served = 0;
    while (!stopping_ && served++ < kMaxRequestsPerConnection && ServeOne(socket, &pending)) {
    }
    connection->finished = true;
}

bool Server::ServeOne(SocketHandle socket, std::string* pending) {
    // The head: up to the empty line. The first byte may wait as long as a
    // kept-alive connection idles; the rest must follow in time.
    SetReceiveTimeout(socket, pending->empty() ? kIdleMilliseconds : kTransferMilliseconds);
    size_t headEnd = std::string::npos;
    char buffer[8192];
    for (;;) {
        // Empty lines before a request line are allowed, and skipped.
        while (pending->compare(0, 2, "\r\n") == 0) {
            pending->erase(0, 2);
        }
        headEnd = pending->find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            break;
        }
        if (pending->size() > kMaxHeadBytes + 4) {
            Response refusal;
            refusal.status = 431;
            Answer(socket, Request(), refusal, false);
            return false;
        }
        long got = ReceiveSome(socket, buffer, sizeof(buffer));
        if (got <= 0 || stopping_) {
            return false; // the peer left or idled out, or the server stops
        }
        pending->append(buffer, static_cast<size_t>(got));
        SetReceiveTimeout(socket, kTransferMilliseconds);
    }

    Request request;
    Response response;
    std::string why;
    HeadVerdict verdict = ParseRequestHead(pending->substr(0, headEnd), &request, &why);
    pending->erase(0, headEnd + 4);
    if (verdict != HeadVerdict::Ok) {
        response.status = verdict == HeadVerdict::TooLarge     ? 431
                          : verdict == HeadVerdict::BadVersion ? 505
                                                               : 400;
        response.set_content("bad request: " + why + "\n", "text/plain; charset=utf-8");
        Answer(socket, request, response, false);
        return false;
    }

    // The body: a Content-Length's worth, or chunks, within the limit.
    auto more = [&]() {
        long got = ReceiveSome(socket, buffer, sizeof(buffer));
        if (got <= 0 || stopping_) {
            return false;
        }
        pending->append(buffer, static_cast<size_t>(got));
        return true;
    };
    auto refuse = [&](int status, const std::string& why) {
        response.status = status;
        if (!why.empty()) {
            response.set_content("bad request: " + why + "\n", "text/plain; charset=utf-8");
        }
        Answer(socket, request, response, false);
        return false;
    };
    if (request.has_header("Transfer-Encoding")) {
        if (request.has_header("Content-Length") ||
            !HasToken(request.get_header_value("Transfer-Encoding"), "chunked") ||
            request.get_header_value("Transfer-Encoding").find(',') != std::string::npos) {
            return refuse(501, "a body is taken with Content-Length or as chunks, not both");
        }
        switch (ReadChunkedBody(pending, more, payloadMax_, &request.body)) {
        case BodyResult::Ok:
            break;
        case BodyResult::TooLarge:
            return refuse(413, std::string());
        case BodyResult::Malformed:
            return refuse(400, "the body's chunks are malformed");
        case BodyResult::Gone:
            return false;
        }
    } else {
        size_t length = 0;
        if (request.has_header("Content-Length") &&
            !ParseLength(request.get_header_value("Content-Length"), payloadMax_, &length)) {
            return refuse(400, "Content-Length is not a number");
        }
        if (length > payloadMax_) {
            return refuse(413, std::string());
        }
        while (pending->size() < length) {
            if (!more()) {
                return false;
            }
        }
        request.body = pending->substr(0, length);
        pending->erase(0, length);
    }

    bool keepAlive = WantsKeepAlive(request);
    try {
        if (!preRouting_ || preRouting_(request, response) == HandlerResponse::Unhandled) {
            Route(request, response);
        }
    } catch (const std::exception& e) {
        // A handler's fault answers this request alone; the server stays up.
        response = Response();
        response.status = 500;
        response.set_content(std::string("internal error: ") + e.what() + "\n",
                             "text/plain; charset=utf-8");
    }
    return Answer(socket, request, response, keepAlive) && keepAlive;
}

void Server::Route(const Request& request, Response& response) {
    const auto& routes = request.method == "GET" ? getRoutes_ : postRoutes_;
    if (request.method == "GET" || request.method == "POST") {
        auto route = routes.find(request.path);
        if (route != routes.end()) {
            route->second(request, response);
            return;
        }
    }
    std::string allow;
    if (getRoutes_.count(request.path) != 0) {
        allow = "GET";
    }
    if (postRoutes_.count(request.path) != 0) {
        allow += allow.empty() ? "POST" : ", POST";
    }
    if (allow.empty()) {
        response.status = 404;
    } else {
        response.status = 405;
        response.set_header("Allow", allow);
    }
}

// Sends the answer; false once the connection failed or is to close.
bool Server::Answer(SocketHandle socket, const Request& request, Response& response,
                    bool keepAlive) {
    if (response.status < 0) {
        response.status = 200;
    }
    if (response.status >= 400 && errorHandler_) {
        errorHandler_(request, response);
    }
    // The framing is the server's own, whatever a handler set.
    for (const char* framing : {"Content-Length", "Transfer-Encoding", "Connection"}) {
        response.headers.erase(framing);
    }
    if (response.provider) {
        Stream(socket, response);
        return false; // a stream ends its connection
    }
    std::string head =
        Head(response, "Content-Length: " + std::to_string(response.body.size()) +
                           "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n");
    bool sent =
        SendAll(socket, head.data(), head.size()) &&
        (request.method == "HEAD" || SendAll(socket, response.body.data(), response.body.size()));
    if (!keepAlive) {
        LingeringClose(socket);
    }
    return sent;
}

// A streamed body in chunks, until its provider says done or fails, the
// page goes away or the server stops.
bool Server::Stream(SocketHandle socket, Response& response) {
    std::string head = Head(response, "Transfer-Encoding: chunked\r\nConnection: close\r\n");
    bool alive = SendAll(socket, head.data(), head.size());
    bool done = false;
    size_t offset = 0;
    DataSink sink;
    sink.write = [&](const char* data, size_t length) {
        if (!alive || stopping_) {
            return alive = false;
        }
        if (length == 0) {
            return true; // an empty chunk would end the body
        }
        char size[24];
        snprintf(size, sizeof(size), "%zx\r\n", length);
        alive = SendAll(socket, size, strlen(size)) && SendAll(socket, data, length) &&
                SendAll(socket, "\r\n", 2);
        offset += length;
        return alive;
    };
    sink.done = [&] { done = true; };
    while (alive && !done && !stopping_) {
        try {
            if (!response.provider(offset, sink)) {
                alive = false;
            }
        } catch (const std::exception&) {
            alive = false; // the stream ends unfinished, which its page sees
        }
    }
    bool ended = alive && done && SendAll(socket, "0\r\n\r\n", 5);
    if (response.releaser) {
        response.releaser(ended);
    }
    ShutdownSending(socket);
    return ended;
}

} // namespace quillex_http
