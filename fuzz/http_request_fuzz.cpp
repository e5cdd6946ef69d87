// Requests of any bytes into the configurator's builtin HTTP server's
// readers: the head up to its empty line, then a chunked body from the rest.
// What a head parse accepts must be what the server's guard and routes rely
// on; a body read must stay within its limit and consume only what it read.
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/quillexctl/ui/http/http_message.h"

using namespace quillex_http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t end = input.find("\r\n\r\n");
    Request request;
    std::string why;
    HeadVerdict verdict = ParseRequestHead(input.substr(0, end), &request, &why);
    if (verdict != HeadVerdict::Ok) {
        FUZZ_CHECK(!why.empty());
    } else {
        FUZZ_CHECK(!request.path.empty() && request.path[0] == '/');
        FUZZ_CHECK(request.path.find('\0') == std::string::npos);
        FUZZ_CHECK(request.version == "HTTP/1.1" || request.version == "HTTP/1.0");
        FUZZ_CHECK(request.headers.count("Host") <= 1);
        FUZZ_CHECK(request.headers.count("Content-Length") <= 1);
        for (const auto& header : request.headers) {
            FUZZ_CHECK(header.second.find_first_of("\r\n") == std::string::npos);
        }
        for (const auto& param : request.params) {
            FUZZ_CHECK(param.first.find('\0') == std::string::npos);
            FUZZ_CHECK(param.second.find('\0') == std::string::npos);
        }
    }

    // The rest as a chunked body, handed over in pieces of 7 bytes.
    std::string rest = end == std::string::npos ? std::string() : input.substr(end + 4);
    const size_t total = rest.size();
    std::string pending, body;
    size_t given = 0;
    auto more = [&]() {
        if (given >= rest.size()) {
            return false;
        }
        size_t piece = rest.size() - given < 7 ? rest.size() - given : 7;
        pending.append(rest, given, piece);
        given += piece;
        return true;
    };
    constexpr size_t kLimit = 256;
    BodyResult result = ReadChunkedBody(&pending, more, kLimit, &body);
    FUZZ_CHECK(body.size() <= kLimit);
    if (result == BodyResult::Ok) {
        // Nothing read is lost: the body and what follows it came from the input.
        FUZZ_CHECK(body.size() + pending.size() <= total);
    }
    return 0;
}
