#include "sim/core/utf.h"

namespace sim {

size_t WideLength(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(const WCHAR* s, size_t count) {
    std::string out;
    if (s == nullptr) {
        return out;
    }
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t u = static_cast<uint16_t>(s[i]);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < count) {
            uint32_t lo = static_cast<uint16_t>(s[i + 1]);
            if (lo >= 0xDC00 && lo < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
    }
    return out;
}

std::string Utf16ToUtf8(const UNICODE_STRING& s) {
    return Utf16ToUtf8(s.Buffer, s.Buffer ? s.Length / sizeof(WCHAR) : 0);
}

std::vector<WCHAR> Utf8ToUtf16(std::string_view s) {
    std::vector<WCHAR> out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        }
        ++i;
        for (size_t k = 0; k < extra; ++k, ++i) {
            if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
                cp = 0xFFFD;
                extra = 0;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
        }
        // An overlong form (0xC0 0x8A for a line feed), a surrogate or a
        // code point past U+10FFFF is not UTF-8: it would let a character
        // through that the text around it forbids.
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (extra != 0 &&
            (cp < kSmallest[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) {
            cp = 0xFFFD;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
    }
    return out;
}

std::vector<WCHAR> WideZ(std::string_view s) {
    std::vector<WCHAR> out = Utf8ToUtf16(s);
    out.push_back(0);
    return out;
}

} // namespace sim
