#include "tools/quillexctl/ui/request_guard.h"

#include <stdio.h>

#include <random>

namespace {

// Compares without stopping at the first difference, so the time taken does
// not tell how much of a guessed token was right.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) {
        return false;
    }
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

bool IsIpv4Literal(const std::string& s) {
    int parts = 0;
    size_t i = 0;
    while (i < s.size()) {
        size_t start = i;
        unsigned value = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 3) {
            value = value * 10 + static_cast<unsigned>(s[i] - '0');
            ++i;
        }
        if (i == start || value > 255) {
            return false;
        }
        ++parts;
        if (i < s.size()) {
            if (s[i] != '.' || parts == 4) {
                return false;
            }
            ++i;
            if (i == s.size()) {
                return false;
            }
        }
    }
    return parts == 4;
}

bool IsBracketedIpv6Literal(const std::string& s) {
    if (s.size() < 4 || s.front() != '[' || s.back() != ']') {
        return false;
    }
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        char c = s[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (!hex && c != ':' && c != '.') {
            return false;
        }
    }
    return true;
}

// The token from the Cookie header's quillex_ui pair, or empty.
std::string TokenFromCookie(const std::string& header) {
    const std::string name = std::string(kTokenCookie) + "=";
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';')) {
            ++at;
        }
        size_t end = header.find(';', at);
        if (end == std::string::npos) {
            end = header.size();
        }
        if (header.compare(at, name.size(), name) == 0) {
            return header.substr(at + name.size(), end - at - name.size());
        }
        at = end;
    }
    return std::string();
}

bool ChangesState(const std::string& method) {
    return method != "GET" && method != "HEAD";
}

} // namespace

bool HostIsAllowed(const GuardConfig& config, const std::string& rawHost) {
    std::string host = Lower(rawHost);
    const std::string port = ":" + std::to_string(config.port);
    if (host.size() <= port.size() || host.compare(host.size() - port.size(), port.size(), port)) {
        return false;
    }
    std::string name = host.substr(0, host.size() - port.size());
    if (name == "127.0.0.1" || name == "localhost" || name == "[::1]") {
        return true;
    }
    return config.listenAny && (IsIpv4Literal(name) || IsBracketedIpv6Literal(name));
}

GuardResult CheckRequest(const GuardConfig& config, const GuardRequest& request) {
    GuardResult result;
    if (!HostIsAllowed(config, request.host)) {
        result.reason = "the Host header does not name this server";
        return result;
    }
    if (ChangesState(request.method)) {
        if (Lower(request.origin) != "http://" + Lower(request.host)) {
            result.reason = "a change must come from the configurator's own page";
            return result;
        }
        if (!request.secFetchSite.empty() && request.secFetchSite != "same-origin") {
            result.reason = "a change must come from the configurator's own page";
            return result;
        }
    }
    if (SameSecret(TokenFromCookie(request.cookie), config.token)) {
        result.verdict = GuardVerdict::Allow;
        return result;
    }
    if (request.method == "GET" && request.path == "/" &&
        SameSecret(request.queryToken, config.token)) {
        result.verdict = GuardVerdict::AllowAndSetCookie;
        return result;
    }
    result.reason = "open the page through the address quillexctl ui printed";
    return result;
}

std::string TokenCookie(const std::string& token) {
    return std::string(kTokenCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string NewToken() {
    std::string token;
    try {
        std::random_device source; // /dev/urandom here, the system's generator on Windows
        static const char kDigits[] = "0123456789abcdef";
        for (int i = 0; i < 32; ++i) {
            unsigned byte = source() & 0xFF;
            token += kDigits[byte >> 4];
            token += kDigits[byte & 0xF];
        }
    } catch (const std::exception&) {
        token.clear();
    }
    return token;
}
