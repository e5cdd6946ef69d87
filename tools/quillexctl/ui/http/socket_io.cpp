#include "tools/quillexctl/ui/http/socket_io.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <string.h>

#include <mutex>

namespace quillex_http {

namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr int kSendFlags = 0;
std::string LastSocketError() {
    return "Winsock error " + std::to_string(WSAGetLastError());
}
#else
using NativeSocket = int;
constexpr int kSendFlags = MSG_NOSIGNAL; // a page gone away is an error, not a SIGPIPE
std::string LastSocketError() {
    return strerror(errno);
}
#endif

NativeSocket Native(SocketHandle socket) {
    return static_cast<NativeSocket>(socket);
}

} // namespace

bool SocketsReady(std::string* error) {
#ifdef _WIN32
    static std::once_flag once;
    static int started = -1;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (started != 0) {
        *error = "Winsock did not start (error " + std::to_string(started) + ")";
        return false;
    }
#else
    (void)error;
#endif
    return true;
}

SocketHandle Listen(const char* host, int port, int* boundPort, std::string* error) {
    if (!SocketsReady(error)) {
        return kNoSocket;
    }
    NativeSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == Native(kNoSocket)) {
        *error = "no socket: " + LastSocketError();
        return kNoSocket;
    }
    int on = 1;
#ifdef _WIN32
    // Windows' SO_REUSEADDR would let another program take the port over.
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
#else
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        *error = std::string("not an IPv4 address: ") + host;
        CloseSocket(static_cast<SocketHandle>(s));
        return kNoSocket;
    }
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s, 16) != 0) {
        *error = LastSocketError();
        CloseSocket(static_cast<SocketHandle>(s));
        return kNoSocket;
    }
    socklen_t length = sizeof(address);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = LastSocketError();
        CloseSocket(static_cast<SocketHandle>(s));
        return kNoSocket;
    }
    *boundPort = ntohs(address.sin_port);
    return static_cast<SocketHandle>(s);
}

SocketHandle AcceptWithin(SocketHandle listener, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(listener), &readable);
    timeval wait{};
    wait.tv_sec = milliseconds / 1000;
    wait.tv_usec = (milliseconds % 1000) * 1000;
    if (select(static_cast<int>(Native(listener)) + 1, &readable, nullptr, nullptr, &wait) <= 0) {
        return kNoSocket;
    }
    NativeSocket s = accept(Native(listener), nullptr, nullptr);
    if (s == Native(kNoSocket)) {
        return kNoSocket;
    }
    return static_cast<SocketHandle>(s);
}

void CloseSocket(SocketHandle socket) {
#ifdef _WIN32
    closesocket(Native(socket));
#else
    close(Native(socket));
#endif
}

void ShutdownSocket(SocketHandle socket) {
#ifdef _WIN32
    constexpr int kBoth = SD_BOTH;
#else
    constexpr int kBoth = SHUT_RDWR;
#endif
    shutdown(Native(socket), kBoth);
}

void ShutdownSending(SocketHandle socket) {
#ifdef _WIN32
    constexpr int kSending = SD_SEND;
#else
    constexpr int kSending = SHUT_WR;
#endif
    shutdown(Native(socket), kSending);
}

namespace {

bool SetTimeout(SocketHandle socket, int option, int milliseconds) {
#ifdef _WIN32
    DWORD wait = static_cast<DWORD>(milliseconds);
    return setsockopt(Native(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&wait),
                      sizeof(wait)) == 0;
#else
    timeval wait{};
    wait.tv_sec = milliseconds / 1000;
    wait.tv_usec = (milliseconds % 1000) * 1000;
    return setsockopt(Native(socket), SOL_SOCKET, option, &wait, sizeof(wait)) == 0;
#endif
}

} // namespace

bool SetReceiveTimeout(SocketHandle socket, int milliseconds) {
    return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

bool SetSendTimeout(SocketHandle socket, int milliseconds) {
    return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

long ReceiveSome(SocketHandle socket, char* buffer, size_t length) {
    int chunk = length > 65536 ? 65536 : static_cast<int>(length);
    for (;;) {
        long got = recv(Native(socket), buffer, chunk, 0);
#ifndef _WIN32
        if (got < 0 && errno == EINTR) {
            continue;
        }
#endif
        return got < 0 ? -1 : got;
    }
}

bool SendAll(SocketHandle socket, const char* data, size_t length) {
    while (length > 0) {
        int chunk = length > 65536 ? 65536 : static_cast<int>(length);
        long sent = send(Native(socket), data, chunk, kSendFlags);
        if (sent <= 0) {
#ifndef _WIN32
            if (sent < 0 && errno == EINTR) {
                continue;
            }
#endif
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

} // namespace quillex_http
