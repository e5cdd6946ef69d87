// The few socket calls the configurator's server makes, over Winsock on
// Windows and BSD sockets elsewhere.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace quillex_http {

#ifdef _WIN32
using SocketHandle = uintptr_t; // SOCKET
inline constexpr SocketHandle kNoSocket = ~static_cast<uintptr_t>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// Winsock's start-up, once per process; false with *error when it failed.
bool SocketsReady(std::string* error);

// A listening socket on host:port (port 0: any free one); *boundPort says
// which. kNoSocket with *error on failure.
SocketHandle Listen(const char* host, int port, int* boundPort, std::string* error);
// Waits up to `milliseconds` for a connection: kNoSocket when none came.
SocketHandle AcceptWithin(SocketHandle listener, int milliseconds);

void CloseSocket(SocketHandle socket);
// Ends both directions, so that a thread blocked in a receive or a send on
// the socket returns at once.
void ShutdownSocket(SocketHandle socket);
// Ends the sending direction only: the peer reads what was sent, then the end.
void ShutdownSending(SocketHandle socket);
// A receive that gives up after `milliseconds` without data.
bool SetReceiveTimeout(SocketHandle socket, int milliseconds);
bool SetSendTimeout(SocketHandle socket, int milliseconds);

// Bytes received (0 at the peer's end), or -1 on an error or a timeout.
long ReceiveSome(SocketHandle socket, char* buffer, size_t length);
// Sends everything; false once the connection failed.
bool SendAll(SocketHandle socket, const char* data, size_t length);

} // namespace quillex_http
