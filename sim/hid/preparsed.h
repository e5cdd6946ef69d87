// The HID class's preparsed data: what the report-descriptor parser builds
// for one top-level collection, and what IOCTL_HID_GET_COLLECTION_DESCRIPTOR
// hands out and the HidP_* routines read.
//
// Our own format, opaque to drivers: a header, then every button capability
// (input, output, feature, in that order), then every value capability in the
// same order, each entry in its Windows x64 layout.
#pragma once

#include <stdint.h>

#include <hidpi.h>

namespace sim::hid {

inline constexpr uint32_t kPreparsedMagic = 0x50646948; // "HidP"

struct PreparsedHeader {
    uint32_t magic;
    uint32_t totalSize; // header and every capability entry, in bytes
    HIDP_CAPS caps;     // the counts below are the entries that follow
    USHORT buttonCount[3];
    USHORT valueCount[3];
    USHORT reserved[2];
};

static_assert(sizeof(PreparsedHeader) % 8 == 0, "capability entries stay aligned");

inline size_t PreparsedSize(const PreparsedHeader& h) {
    size_t buttons = size_t{h.buttonCount[0]} + h.buttonCount[1] + h.buttonCount[2];
    size_t values = size_t{h.valueCount[0]} + h.valueCount[1] + h.valueCount[2];
    return sizeof(PreparsedHeader) + buttons * sizeof(HIDP_BUTTON_CAPS) +
           values * sizeof(HIDP_VALUE_CAPS);
}

} // namespace sim::hid
