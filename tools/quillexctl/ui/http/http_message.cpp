#include "tools/quillexctl/ui/http/http_message.h"

#include <ctype.h>
#include <string.h>

namespace quillex_http {

namespace {

char Lower(char c) {
    return static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

// RFC 9110's token characters: what a method or a header name may hold.
bool IsToken(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!(isalnum(u) || strchr("!#$%&'*+-.^_`|~", c) != nullptr) || u >= 0x80) {
            return false;
        }
    }
    return true;
}

// A header value may hold visible characters, spaces and tabs; no controls.
bool IsFieldValue(const std::string& text) {
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = Lower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool SafeInHead(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string FirstOf(const Headers& headers, const std::string& name) {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

} // namespace

bool Caseless::operator()(const std::string& a, const std::string& b) const {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char x = Lower(a[i]), y = Lower(b[i]);
        if (x != y) {
            return x < y;
        }
    }
    return a.size() < b.size();
}

bool Request::has_header(const std::string& name) const {
    return headers.find(name) != headers.end();
}

std::string Request::get_header_value(const std::string& name) const {
    return FirstOf(headers, name);
}

std::string Request::get_param_value(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

bool Response::has_header(const std::string& name) const {
    return headers.find(name) != headers.end();
}

std::string Response::get_header_value(const std::string& name) const {
    return FirstOf(headers, name);
}

void Response::set_header(const std::string& name, const std::string& value) {
    if (!IsToken(name) || !SafeInHead(value)) {
        return;
    }
    headers.erase(name);
    headers.emplace(name, value);
}

void Response::set_content(const std::string& content, const std::string& type) {
    body = content;
    set_header("Content-Type", type);
}

void Response::set_content(const char* data, size_t length, const std::string& type) {
    body.assign(data, length);
    set_header("Content-Type", type);
}

void Response::set_redirect(const std::string& location, int redirectStatus) {
    set_header("Location", location);
    status = redirectStatus;
}

void Response::set_chunked_content_provider(const std::string& type,
                                            ContentProvider contentProvider,
                                            ContentProviderReleaser contentReleaser) {
    set_header("Content-Type", type);
    provider = std::move(contentProvider);
    releaser = std::move(contentReleaser);
}

bool PercentDecode(const std::string& text, bool plusIsSpace, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            int high = HexDigit(text[i + 1]);
            int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            c = static_cast<char>(high * 16 + low);
            if (c == '\0') {
                return false;
            }
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        *out += c;
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool ParseQuery(const std::string& query, Params* params) {
    for (const std::string& pair : Split(query, '&')) {
        if (pair.empty()) {
            continue;
        }
        size_t equals = pair.find('=');
        std::string key, value;
        if (!PercentDecode(pair.substr(0, equals), true, &key) ||
            (equals != std::string::npos &&
             !PercentDecode(pair.substr(equals + 1), true, &value))) {
            return false;
        }
        params->emplace(std::move(key), std::move(value));
    }
    return true;
}

HeadVerdict ParseRequestHead(const std::string& head, Request* request, std::string* why) {
    if (head.size() > kMaxHeadBytes) {
        *why = "the request's head is over " + std::to_string(kMaxHeadBytes) + " bytes";
        return HeadVerdict::TooLarge;
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) {
            end = head.size();
        }
        lines.push_back(head.substr(start, end - start));
        start = end + 2;
    }
    if (lines.empty()) {
        *why = "no request line";
        return HeadVerdict::Malformed;
    }
    // METHOD SP TARGET SP VERSION, single spaces.
    const std::string& line = lines[0];
    size_t firstSpace = line.find(' ');
    size_t secondSpace =
        firstSpace == std::string::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos || line.find(' ', secondSpace + 1) != std::string::npos) {
        *why = "the request line is not METHOD TARGET VERSION";
        return HeadVerdict::Malformed;
    }
    request->method = line.substr(0, firstSpace);
    request->target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    request->version = line.substr(secondSpace + 1);
    if (!IsToken(request->method)) {
        *why = "the method is not a token";
        return HeadVerdict::Malformed;
    }
    if (request->version.compare(0, 5, "HTTP/") != 0 || request->version.size() != 8 ||
        !isdigit(static_cast<unsigned char>(request->version[5])) || request->version[6] != '.' ||
        !isdigit(static_cast<unsigned char>(request->version[7]))) {
        *why = "the version is not HTTP/x.y";
        return HeadVerdict::Malformed;
    }
    if (request->version != "HTTP/1.1" && request->version != "HTTP/1.0") {
        *why = "only HTTP/1.0 and HTTP/1.1 are served";
        return HeadVerdict::BadVersion;
    }
    if (request->target.empty() || request->target[0] != '/' || !IsFieldValue(request->target) ||
        request->target.find_first_of(" \t#") != std::string::npos) {
        *why = "the target is not a path";
        return HeadVerdict::Malformed;
    }
    size_t question = request->target.find('?');
    if (!PercentDecode(request->target.substr(0, question), false, &request->path) ||
        (question != std::string::npos &&
         !ParseQuery(request->target.substr(question + 1), &request->params))) {
        *why = "the target has a bad %-escape";
        return HeadVerdict::Malformed;
    }

    if (lines.size() - 1 > kMaxHeaderCount) {
        *why = "over " + std::to_string(kMaxHeaderCount) + " headers";
        return HeadVerdict::TooLarge;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t colon = lines[i].find(':');
        // No space before the colon, and no line folding (RFC 9112).
        if (colon == std::string::npos || !IsToken(lines[i].substr(0, colon))) {
            *why = "a header line is not NAME: VALUE";
            return HeadVerdict::Malformed;
        }
        std::string value = Trim(lines[i].substr(colon + 1));
        if (!IsFieldValue(value)) {
            *why = "a header value holds a control character";
            return HeadVerdict::Malformed;
        }
        request->headers.emplace(lines[i].substr(0, colon), value);
    }
    for (const char* single : {"Host", "Content-Length", "Transfer-Encoding"}) {
        if (request->headers.count(single) > 1) {
            *why = std::string("more than one ") + single + " header";
            return HeadVerdict::Malformed;
        }
    }
    if (request->version == "HTTP/1.1" && !request->has_header("Host")) {
        *why = "an HTTP/1.1 request without Host";
        return HeadVerdict::Malformed;
    }
    return HeadVerdict::Ok;
}

const char* StatusReason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

} // namespace quillex_http
