// quillex-sim's USB/IP server: lists the exported emulated controllers and
// lets a remote host import one per connection, then carries its URB traffic
// to the device's host side (sim/peers/usbip) and the answers back.
//
// Each connection has a reader thread and a writer thread; answers come from
// completion routines and are only queued there. A packet that breaks the
// protocol (a short header, a length out of range, an unknown command, a
// second import) closes its own connection with a trace; other connections
// and devices go on.
#pragma once

#include <stdint.h>

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace usbip_server {

// Where the server traces what it refuses and what it serves.
using Log = std::function<void(const std::string&)>;

// An address to listen on: "PORT", "ADDR:PORT" or "[IPV6]:PORT".
struct Endpoint {
    std::string address = "127.0.0.1";
    uint16_t port = 3240;
};
// Parses the --usbip argument; an error text when it does not parse.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint, std::string* error);
// Whether an address is reachable only from this machine (loopback).
bool IsLoopback(const std::string& address);

class Connection;

class Server {
  public:
    explicit Server(Log log = nullptr);
    ~Server(); // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens (port 0: any free port); false with an error text.
    bool Listen(const Endpoint& endpoint, std::string* error);
    uint16_t Port() const { return port_; }
    // Closes the listener and every connection, and waits for their threads.
    void Stop();
    // Connections still open.
    size_t Connections();

  private:
    void AcceptLoop();
    void Reap(bool all);

    Log log_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex lock_;
    bool stopping_ = false;
    std::list<std::shared_ptr<Connection>> connections_;
};

} // namespace usbip_server
