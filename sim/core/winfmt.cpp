#include "sim/core/winfmt.h"

#include <stdio.h>

#include "sim/core/utf.h"

namespace sim {
namespace {

enum class Width { Int, Char, Short, Long32, Long64, Ptr };

// One conversion; 'wide' swaps the meaning of %s and %S as wide printf does.
std::string FormatCore(const char* format, va_list args, bool wide) {
    std::string out;
    const char* p = format;
    while (*p != 0) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string conversion = "%";
        while (*p != 0 && strchr("-+ #0", *p) != nullptr) {
            conversion += *p++;
        }
        if (*p == '*') {
            conversion += std::to_string(va_arg(args, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                conversion += *p++;
            }
        }
        if (*p == '.') {
            conversion += *p++;
            if (*p == '*') {
                conversion += std::to_string(va_arg(args, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    conversion += *p++;
                }
            }
        }
        Width width = Width::Int;
        bool wideString = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            width = Width::Long64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            width = Width::Long32;
            p += 3;
        } else if (*p == 'I' || *p == 'z') {
            width = Width::Ptr;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            width = Width::Long64;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            width = Width::Char;
            p += 2;
        } else if (*p == 'l') {
            width = Width::Long32;
            ++p;
        } else if (*p == 'h') {
            width = Width::Short;
            ++p;
        } else if (*p == 'w') {
            wideString = true;
            ++p;
        }
        char conv = *p;
        if (conv == 0) {
            out.append(start);
            break;
        }
        ++p;
        char buf[128];
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool isSigned = conv == 'd' || conv == 'i';
            conversion += (width == Width::Long64 || width == Width::Ptr) ? "ll" : "";
            conversion += conv;
            if (width == Width::Long64 || width == Width::Ptr) {
                long long v = va_arg(args, long long);
                snprintf(buf, sizeof(buf), conversion.c_str(), v);
            } else {
                unsigned int raw = va_arg(args, unsigned int);
                if (width == Width::Short) {
                    raw =
                        isSigned ? static_cast<unsigned>(static_cast<int16_t>(raw)) : raw & 0xFFFF;
                } else if (width == Width::Char) {
                    raw = isSigned ? static_cast<unsigned>(static_cast<int8_t>(raw)) : raw & 0xFF;
                }
                if (isSigned) {
                    snprintf(buf, sizeof(buf), conversion.c_str(), static_cast<int>(raw));
                } else {
                    snprintf(buf, sizeof(buf), conversion.c_str(), raw);
                }
            }
            out += buf;
            break;
        }
        case 'p': {
            void* v = va_arg(args, void*);
            snprintf(buf, sizeof(buf), "%016llX",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
            out += buf;
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            bool wideChar = (conv == 'C') != wide || width == Width::Long32 || wideString;
            std::string ch = wideChar ? Utf16ToUtf8(reinterpret_cast<const WCHAR*>(&v), 1)
                                      : std::string(1, static_cast<char>(v));
            conversion += 's';
            snprintf(buf, sizeof(buf), conversion.c_str(), ch.c_str());
            out += buf;
            break;
        }
        case 's':
        case 'S':
        case 'Z': {
            std::string text;
            if (conv == 'Z') {
                auto* us = va_arg(args, const UNICODE_STRING*);
                text = us ? Utf16ToUtf8(*us) : "(null)";
            } else {
                bool wideArg = (conv == 'S') != wide || width == Width::Long32 || wideString;
                if (width == Width::Short) {
                    wideArg = false;
                }
                if (wideArg) {
                    auto* ws = va_arg(args, const WCHAR*);
                    text = ws ? Utf16ToUtf8(ws) : "(null)";
                } else {
                    auto* s = va_arg(args, const char*);
                    text = s ? s : "(null)";
                }
            }
            conversion += 's';
            int n = snprintf(nullptr, 0, conversion.c_str(), text.c_str());
            std::string piece(static_cast<size_t>(n) + 1, '\0');
            snprintf(piece.data(), piece.size(), conversion.c_str(), text.c_str());
            piece.resize(static_cast<size_t>(n));
            out += piece;
            break;
        }
        default:
            // Unknown conversion: copy it through so the message still reads.
            out.append(start, static_cast<size_t>(p - start));
            break;
        }
    }
    return out;
}

} // namespace

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    std::string s = FormatCore(format, copy, false);
    va_end(copy);
    return s;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatCore(format, args, false);
    va_end(args);
    return s;
}

std::vector<WCHAR> FormatWideV(const WCHAR* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    std::string s = FormatCore(Utf16ToUtf8(format).c_str(), copy, true);
    va_end(copy);
    return Utf8ToUtf16(s);
}

} // namespace sim
