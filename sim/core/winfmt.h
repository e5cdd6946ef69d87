// printf-style formatting with the conventions of Windows kernel code:
// "l" is 32-bit, "I64"/"ll" 64-bit, "I"/"z" pointer-sized, "%S" is a UTF-16
// string in a narrow format (and "%s" in a wide one), "%wZ" a UNICODE_STRING.
#pragma once

#include <stdarg.h>
#include <string>
#include <vector>

#include "km/ntdef.h"

namespace sim {

// Narrow format, UTF-8 result.
std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...);
// Wide format, UTF-16 result (no terminating null).
std::vector<WCHAR> FormatWideV(const WCHAR* format, va_list args);

} // namespace sim
