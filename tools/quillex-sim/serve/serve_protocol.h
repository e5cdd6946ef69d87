// What travels between quillexctl and `quillex-sim --serve` on a local
// socket: one JSON object per line each way, a reply for every request.
//
//   {"op":"list"}
//     -> {"ok":true,"devices":[{"index":0,"interface":"\\\\?\\HID#...","product_id":1026,
//                               "stick":1}]}
//   {"op":"open","device":0,"access":"read"|"write"|"readwrite"}
//     -> {"ok":true,"interface":"..."} | {"ok":false,"status":N,"win32":N,"message":"..."}
//   {"op":"ioctl","code":N,"in":"<hex>","out_length":N}
//     -> {"ok":true|false,"status":N,"win32":N,"returned":N,"out":"<hex>"}
//   {"op":"unplug","stick":N} | {"op":"plug","stick":N}
//     -> {"ok":true} | {"ok":false,"message":"..."}
//
// "open" is CreateFile on the device's interface with that access, "ioctl" a
// DeviceIoControl on the handle, both in the simulated machine; the handle is
// closed with the connection. Devices are the plugged sticks in order, as
// Windows enumerates present interfaces: "index" N is the Nth plugged stick
// (an unplug moves the later ones down), "stick" the number the server gave
// it, from 1, which stays its own. "unplug" pulls served stick N out (a
// surprise removal: open handles then fail, and the device goes once they
// close), "plug" puts a stick of the same model back in its place (a new
// device, with a new interface). Malformed requests get
// {"ok":false,"message":...} and the connection stays usable.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace quillex_serve {

// Longest request line, and largest buffer either way of one request.
inline constexpr size_t kMaxLineBytes = 64 * 1024;
inline constexpr size_t kMaxBufferBytes = 4096;

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

// False for an odd length or a character that is not a hex digit.
inline bool FromHex(const std::string& text, std::vector<uint8_t>* bytes) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

} // namespace quillex_serve
