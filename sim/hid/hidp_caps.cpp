// HidP_GetCaps, HidP_GetButtonCaps and HidP_GetValueCaps over the preparsed
// data the parser built.
#include <string.h>

#include <hidpi.h>

#include "sim/core/fault.h"
#include "sim/hid/preparsed.h"

namespace {

using sim::hid::PreparsedHeader;

// The header of valid preparsed data, or null. Only what the header itself
// says about the entries after it is trusted, once it agrees with itself.
const PreparsedHeader* HeaderOf(PHIDP_PREPARSED_DATA data) {
    if (data == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<const PreparsedHeader*>(data);
    if (header->magic != sim::hid::kPreparsedMagic ||
        header->totalSize != sim::hid::PreparsedSize(*header)) {
        return nullptr;
    }
    return header;
}

// Fault injection: the routine fails as it does for preparsed data that a
// lower driver handed over damaged.
bool Injected(const char* api, NTSTATUS* status) {
    return sim::fault::ShouldFail(api, status, HIDP_STATUS_INVALID_PREPARSED_DATA);
}

bool ValidReportType(HIDP_REPORT_TYPE type) {
    return type == HidP_Input || type == HidP_Output || type == HidP_Feature;
}

// Copies the entries of one report type that fit; *length in: room in
// entries, out: entries copied.
template <class Caps>
NTSTATUS CopyCaps(const PreparsedHeader* header, const USHORT (&counts)[3], size_t firstEntry,
                  HIDP_REPORT_TYPE type, Caps* out, PUSHORT length) {
    size_t skip = 0;
    for (int t = 0; t < type; ++t) {
        skip += counts[t];
    }
    USHORT available = counts[type];
    if (available == 0) {
        *length = 0;
        return HIDP_STATUS_USAGE_NOT_FOUND;
    }
    if (*length != 0 && out == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT copied = *length < available ? *length : available;
    auto* entries = reinterpret_cast<const Caps*>(reinterpret_cast<const uint8_t*>(header) +
                                                  sizeof(PreparsedHeader)) +
                    firstEntry + skip;
    if (copied != 0) {
        memcpy(out, entries, copied * sizeof(Caps));
    }
    *length = copied;
    return copied < available ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities) {
    NTSTATUS injected;
    if (Injected("HidP_GetCaps", &injected)) {
        return injected;
    }
    const PreparsedHeader* header = HeaderOf(PreparsedData);
    if (header == nullptr) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    if (Capabilities == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Capabilities = header->caps;
    return HIDP_STATUS_SUCCESS;
}

extern "C" NTSTATUS HidP_GetButtonCaps(HIDP_REPORT_TYPE ReportType, PHIDP_BUTTON_CAPS ButtonCaps,
                                       PUSHORT ButtonCapsLength,
                                       PHIDP_PREPARSED_DATA PreparsedData) {
    NTSTATUS injected;
    if (Injected("HidP_GetButtonCaps", &injected)) {
        return injected;
    }
    const PreparsedHeader* header = HeaderOf(PreparsedData);
    if (header == nullptr) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    if (!ValidReportType(ReportType)) {
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    }
    if (ButtonCapsLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyCaps(header, header->buttonCount, 0, ReportType, ButtonCaps, ButtonCapsLength);
}

extern "C" NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE ReportType, PHIDP_VALUE_CAPS ValueCaps,
                                      PUSHORT ValueCapsLength, PHIDP_PREPARSED_DATA PreparsedData) {
    NTSTATUS injected;
    if (Injected("HidP_GetValueCaps", &injected)) {
        return injected;
    }
    const PreparsedHeader* header = HeaderOf(PreparsedData);
    if (header == nullptr) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    if (!ValidReportType(ReportType)) {
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    }
    if (ValueCapsLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The value entries follow every button entry.
    size_t buttons =
        size_t{header->buttonCount[0]} + header->buttonCount[1] + header->buttonCount[2];
    // Both entry types are 72 bytes, so the buttons count as that many value entries.
    static_assert(sizeof(HIDP_BUTTON_CAPS) == sizeof(HIDP_VALUE_CAPS), "entry sizes");
    return CopyCaps(header, header->valueCount, buttons, ReportType, ValueCaps, ValueCapsLength);
}
