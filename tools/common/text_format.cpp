#include "tools/common/text_format.h"

#include <stdarg.h>
#include <stdio.h>

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char small[256];
    int length = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (length < 0) {
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof(small)) {
        return std::string(small, static_cast<size_t>(length));
    }
    // Longer than the first try: once more, into a string of its size.
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(length));
    return text;
}
