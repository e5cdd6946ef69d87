// The HID report-descriptor parser: items, global state with push and pop,
// local usages and usage ranges, report ids, sizes and counts, logical and
// physical ranges, units, collections. It builds the preparsed data of one
// top-level collection (sim/hid/preparsed.h).
//
// Malformed descriptors are refused with a HIDP status and never read past
// their length:
//   HIDP_STATUS_INVALID_REPORT_LENGTH   the descriptor ends inside an item; a
//                                       data field of 0 or more than 32 bits;
//                                       a report longer than 65535 bytes
//   HIDP_STATUS_INCOMPATIBLE_REPORT_ID  report id 0 or above 255; data fields
//                                       both before and after the first id
//   HIDP_STATUS_BAD_LOG_PHY_VALUES      logical or physical minimum above its
//                                       maximum; usage minimum above maximum
//   HIDP_STATUS_INVALID_PREPARSED_DATA  unbalanced collections, pop without
//                                       push, push too deep, a data field
//                                       outside any collection, half a usage
//                                       range, too many usages, no collection
//   HIDP_STATUS_NOT_IMPLEMENTED         reserved item types, delimiters, more
//                                       than one top-level collection
#pragma once

#include <stdint.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include <hidpi.h>

namespace sim::hid {

struct ParsedCollection {
    NTSTATUS status = HIDP_STATUS_SUCCESS;
    size_t errorOffset = 0; // where a refused descriptor went wrong
    std::string error;      // why, for messages

    std::vector<uint8_t> preparsed; // HIDP_STATUS_SUCCESS only
    bool usesReportIds = false;
    // Length of each report in bytes, with the report id byte (counted for
    // collections without ids too, as Windows counts it), by report type and id
    // (id 0 without report ids).
    std::array<std::map<uint8_t, uint16_t>, 3> reportLengths;
};

ParsedCollection ParseReportDescriptor(const uint8_t* descriptor, size_t length);

} // namespace sim::hid
