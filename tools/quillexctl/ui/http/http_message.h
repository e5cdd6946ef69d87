// The configurator's own small HTTP/1.1 server, for builds that have no
// cpp-httplib (quillexctl.exe): requests, responses and the parsing of a
// request's head. Its names follow the parts of cpp-httplib's interface the
// configurator uses, so that one ui_server.cpp serves with either.
#pragma once

#include <stddef.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quillex_http {

// Header names compare without regard to case.
struct Caseless {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::multimap<std::string, std::string, Caseless>;
using Params = std::multimap<std::string, std::string>;

struct Request {
    std::string method;
    std::string target; // as the request line has it
    std::string path;   // target before '?', percent-decoded
    std::string version;
    Headers headers;
    Params params; // the query's, percent-decoded
    std::string body;

    bool has_header(const std::string& name) const;
    // The first value, or "" when there is none.
    std::string get_header_value(const std::string& name) const;
    std::string get_param_value(const std::string& name) const;
};

// Given to a streaming response's provider: each write goes out at once.
class DataSink {
  public:
    // False once the connection is gone or the server is stopping.
    std::function<bool(const char* data, size_t length)> write;
    std::function<void()> done;
};
using ContentProvider = std::function<bool(size_t offset, DataSink& sink)>;
using ContentProviderReleaser = std::function<void(bool success)>;

struct Response {
    int status = -1; // -1 until a handler sets it; 200 is assumed then
    Headers headers;
    std::string body;
    ContentProvider provider; // set for a streamed body
    ContentProviderReleaser releaser;

    bool has_header(const std::string& name) const;
    std::string get_header_value(const std::string& name) const;
    // Replaces any earlier value. A name or value that would break the head
    // (CR, LF or NUL in it) is dropped.
    void set_header(const std::string& name, const std::string& value);
    void set_content(const std::string& content, const std::string& type);
    void set_content(const char* data, size_t length, const std::string& type);
    void set_redirect(const std::string& location, int status = 302);
    // A body sent as it is made, in chunks; `releaser` runs once at the end,
    // whether the stream ended well or not.
    void set_chunked_content_provider(const std::string& type, ContentProvider provider,
                                      ContentProviderReleaser releaser = nullptr);
};

// The limits a request's head is held to.
inline constexpr size_t kMaxHeadBytes = 16 * 1024;
inline constexpr size_t kMaxHeaderCount = 100;

enum class HeadVerdict {
    Ok,
    Malformed,  // 400
    BadVersion, // 505
    TooLarge,   // 431
};

// Parses a request head: the request line and the headers, up to but not
// including the empty line that ends them (`head` holds neither it nor the
// body). The target must be a path ("/..."); a second Host, Content-Length or
// Transfer-Encoding header is refused, since the guard and the body's length
// would depend on which one a reader takes.
HeadVerdict ParseRequestHead(const std::string& head, Request* request, std::string* why);

// "%41+b" -> "A b". False for a bad escape or a decoded NUL.
bool PercentDecode(const std::string& text, bool plusIsSpace, std::string* out);
// The query's pairs into *params; false for a bad escape.
bool ParseQuery(const std::string& query, Params* params);

// The parts of `text` between the separators, empty ones included.
std::vector<std::string> Split(const std::string& text, char separator);

// The reason phrase for a status ("Not Found"); "Unknown" for one not listed.
const char* StatusReason(int status);

} // namespace quillex_http
