// What the configurator's server lets through. The page drives a kernel
// driver, so every request must carry the session's token (as a cookie the
// page got from the printed URL), name this server in its Host header (which
// stops a web site that rebinds its own name to 127.0.0.1), and, when it
// changes something, come from the page's own origin.
#pragma once

#include <stdint.h>

#include <string>

struct GuardConfig {
    std::string token; // random hex, the secret of this run
    uint16_t port = 0;
    bool listenAny = false; // --listen-any: an IP literal of any interface is a valid Host
};

// The parts of a request the guard looks at. Absent headers are empty.
struct GuardRequest {
    std::string method;
    std::string path;
    std::string queryToken; // the "token" query parameter
    std::string host;
    std::string origin;
    std::string secFetchSite;
    std::string cookie; // the whole Cookie header
};

enum class GuardVerdict {
    Allow,
    AllowAndSetCookie, // the first visit with ?token=: set the cookie and redirect to "/"
    Refuse,            // 403
};

struct GuardResult {
    GuardVerdict verdict = GuardVerdict::Refuse;
    std::string reason; // for the 403 body and the log
};

inline constexpr const char* kTokenCookie = "quillex_ui";

GuardResult CheckRequest(const GuardConfig& config, const GuardRequest& request);

// The cookie that carries the token: the browser sends it back to this
// origin only, never with a request another site starts.
std::string TokenCookie(const std::string& token);

// 32 random bytes as 64 hex digits, from the system's random source; empty
// if it cannot be read.
std::string NewToken();

// Whether a Host header names this server: "127.0.0.1:PORT", "localhost:PORT"
// or "[::1]:PORT"; with listenAny also any other IPv4 or bracketed IPv6
// literal with this port. A DNS name other than localhost never does.
bool HostIsAllowed(const GuardConfig& config, const std::string& host);
