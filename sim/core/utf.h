// Conversions between the driver's UTF-16 strings and the host's UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "km/ntdef.h"

namespace sim {

size_t WideLength(const WCHAR* s);
std::string Utf16ToUtf8(const WCHAR* s, size_t count);
inline std::string Utf16ToUtf8(const WCHAR* s) {
    return Utf16ToUtf8(s, s ? WideLength(s) : 0);
}
std::string Utf16ToUtf8(const UNICODE_STRING& s);
// Without a terminating null; append one where the caller needs it.
std::vector<WCHAR> Utf8ToUtf16(std::string_view s);
// Null-terminated copy, convenient for building WCHAR strings in tests and peers.
std::vector<WCHAR> WideZ(std::string_view s);

} // namespace sim
