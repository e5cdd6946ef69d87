// The report-descriptor parser and the HidP_* capability routines: both stick
// models, a worked descriptor with every kind of item, the count in/out
// rules, and malformed descriptors.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include <hidpi.h>

#include "sim/hid/descriptor_parser.h"
#include "sim/peers/stick/descriptors.h"

namespace {

using sim::hid::ParsedCollection;
using sim::hid::ParseReportDescriptor;
using sim::stick::Layout;

ParsedCollection Parse(const std::vector<uint8_t>& d) {
    // An exact-size copy, so a read past the end is a read past the allocation.
    std::vector<uint8_t> copy(d);
    return ParseReportDescriptor(copy.data(), copy.size());
}

PHIDP_PREPARSED_DATA Preparsed(ParsedCollection& p) {
    return reinterpret_cast<PHIDP_PREPARSED_DATA>(p.preparsed.data());
}

HIDP_CAPS CapsOf(ParsedCollection& p) {
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(Preparsed(p), &caps), HIDP_STATUS_SUCCESS);
    return caps;
}

std::vector<HIDP_VALUE_CAPS> ValueCaps(ParsedCollection& p, HIDP_REPORT_TYPE type) {
    std::vector<HIDP_VALUE_CAPS> caps(64);
    USHORT count = static_cast<USHORT>(caps.size());
    NTSTATUS status = HidP_GetValueCaps(type, caps.data(), &count, Preparsed(p));
    EXPECT_TRUE(status == HIDP_STATUS_SUCCESS || status == HIDP_STATUS_USAGE_NOT_FOUND);
    caps.resize(count);
    return caps;
}

std::vector<HIDP_BUTTON_CAPS> ButtonCaps(ParsedCollection& p, HIDP_REPORT_TYPE type) {
    std::vector<HIDP_BUTTON_CAPS> caps(64);
    USHORT count = static_cast<USHORT>(caps.size());
    NTSTATUS status = HidP_GetButtonCaps(type, caps.data(), &count, Preparsed(p));
    EXPECT_TRUE(status == HIDP_STATUS_SUCCESS || status == HIDP_STATUS_USAGE_NOT_FOUND);
    caps.resize(count);
    return caps;
}

struct Value {
    USAGE page;
    USAGE usage;
    LONG logicalMax;
};

void ExpectStickCaps(Layout layout, USHORT reportLength, UCHAR reportId, USAGE lastButton,
                     const std::vector<Value>& values) {
    SCOPED_TRACE(layout == Layout::A ? "layout A" : "layout B");
    ParsedCollection p = Parse(sim::stick::ReportDescriptor(layout));
    ASSERT_EQ(p.status, HIDP_STATUS_SUCCESS) << p.error << " at " << p.errorOffset;
    EXPECT_EQ(p.usesReportIds, reportId != 0);
    HIDP_CAPS caps = CapsOf(p);
    EXPECT_EQ(caps.UsagePage, 0x01);
    EXPECT_EQ(caps.Usage, 0x05); // game pad
    EXPECT_EQ(caps.InputReportByteLength, reportLength);
    EXPECT_EQ(caps.OutputReportByteLength, 0);
    EXPECT_EQ(caps.FeatureReportByteLength, 0);
    EXPECT_EQ(caps.NumberLinkCollectionNodes, 1);
    EXPECT_EQ(caps.NumberInputButtonCaps, 1);
    EXPECT_EQ(caps.NumberInputValueCaps, 7);
    EXPECT_EQ(caps.NumberInputDataIndices, lastButton + 7);
    EXPECT_EQ(caps.NumberOutputButtonCaps + caps.NumberOutputValueCaps +
                  caps.NumberFeatureButtonCaps + caps.NumberFeatureValueCaps,
              0);

    std::vector<HIDP_BUTTON_CAPS> buttons = ButtonCaps(p, HidP_Input);
    ASSERT_EQ(buttons.size(), 1u);
    EXPECT_EQ(buttons[0].UsagePage, 0x09);
    EXPECT_EQ(buttons[0].ReportID, reportId);
    EXPECT_TRUE(buttons[0].IsRange);
    EXPECT_EQ(buttons[0].Range.UsageMin, 1);
    EXPECT_EQ(buttons[0].Range.UsageMax, lastButton);
    EXPECT_EQ(buttons[0].Range.DataIndexMax - buttons[0].Range.DataIndexMin + 1, lastButton);
    EXPECT_EQ(buttons[0].LinkUsage, 0x05);
    EXPECT_EQ(buttons[0].BitField, 0x02);

    std::vector<HIDP_VALUE_CAPS> got = ValueCaps(p, HidP_Input);
    ASSERT_EQ(got.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].UsagePage, values[i].page);
        EXPECT_FALSE(got[i].IsRange);
        EXPECT_EQ(got[i].NotRange.Usage, values[i].usage);
        EXPECT_EQ(got[i].ReportID, reportId);
        EXPECT_EQ(got[i].ReportCount, 1);
        EXPECT_EQ(got[i].LogicalMin, 0);
        EXPECT_EQ(got[i].LogicalMax, values[i].logicalMax);
        EXPECT_TRUE(got[i].IsAbsolute);
        bool hat = values[i].usage == 0x39;
        EXPECT_EQ(got[i].BitSize, hat ? 4 : 8);
        EXPECT_EQ(got[i].HasNull, hat);
        EXPECT_EQ(got[i].PhysicalMax, hat ? 315 : 0);
        EXPECT_EQ(got[i].Units, hat ? 0x14u : 0u);
    }
}

TEST(HidParserTest, BothStickModelsGiveSevenInputValuesAndTheReportLengthsTheirLayoutsNeed) {
    // Layout A: 19 bytes without a report id, counted with the id byte as Windows does.
    ExpectStickCaps(Layout::A, 20, 0, 13,
                    {{0x01, 0x39, 7},
                     {0x01, 0x30, 255},
                     {0x01, 0x31, 255},
                     {0x01, 0x32, 255},
                     {0x01, 0x35, 255},
                     {0x02, 0xC5, 255},
                     {0x02, 0xC4, 255}});
    ExpectStickCaps(Layout::B, 10, 1, 14,
                    {{0x01, 0x30, 255},
                     {0x01, 0x31, 255},
                     {0x01, 0x32, 255},
                     {0x01, 0x35, 255},
                     {0x01, 0x39, 7},
                     {0x02, 0xC5, 255},
                     {0x02, 0xC4, 255}});
    ParsedCollection b = Parse(sim::stick::ReportDescriptor(Layout::B));
    EXPECT_EQ(b.reportLengths[HidP_Input].at(1), 10);
}

// A mouse with a wheel in a nested collection, an LED output report, a
// feature report, signed ranges, push/pop and extended usages.
const std::vector<uint8_t> kWorked = {
    0x05, 0x01,                   // Usage Page (Generic Desktop)
    0x09, 0x02,                   // Usage (Mouse)
    0xA1, 0x01,                   // Collection (Application)
    0x85, 0x02,                   //   Report ID (2)
    0x09, 0x01,                   //   Usage (Pointer)
    0xA1, 0x00,                   //   Collection (Physical)
    0x05, 0x09,                   //     Usage Page (Button)
    0x19, 0x01,                   //     Usage Minimum (1)
    0x29, 0x03,                   //     Usage Maximum (3)
    0x15, 0x00,                   //     Logical Minimum (0)
    0x25, 0x01,                   //     Logical Maximum (1)
    0x75, 0x01,                   //     Report Size (1)
    0x95, 0x03,                   //     Report Count (3)
    0x81, 0x02,                   //     Input (Data, Variable, Absolute)
    0x95, 0x05,                   //     Report Count (5)
    0x81, 0x03,                   //     Input (Constant)
    0xA4,                         //     Push
    0x05, 0x01,                   //     Usage Page (Generic Desktop)
    0x19, 0x30,                   //     Usage Minimum (X)
    0x29, 0x31,                   //     Usage Maximum (Y)
    0x15, 0x81,                   //     Logical Minimum (-127)
    0x25, 0x7F,                   //     Logical Maximum (127)
    0x75, 0x08,                   //     Report Size (8)
    0x95, 0x02,                   //     Report Count (2)
    0x81, 0x06,                   //     Input (Data, Variable, Relative)
    0xB4,                         //     Pop: back to the Button page, 1 bit, 0..1
    0x0B, 0x38, 0x00, 0x01, 0x00, //     Usage (Generic Desktop: Wheel), extended
    0x15, 0x81,                   //     Logical Minimum (-127)
    0x25, 0x7F,                   //     Logical Maximum (127)
    0x75, 0x08,                   //     Report Size (8)
    0x95, 0x01,                   //     Report Count (1)
    0x81, 0x06,                   //     Input (Data, Variable, Relative)
    0xC0,                         //   End Collection
    0x85, 0x03,                   //   Report ID (3)
    0x05, 0x08,                   //   Usage Page (LEDs)
    0x19, 0x01,                   //   Usage Minimum (1)
    0x29, 0x02,                   //   Usage Maximum (2)
    0x15, 0x00,                   //   Logical Minimum (0)
    0x25, 0x01,                   //   Logical Maximum (1)
    0x75, 0x01,                   //   Report Size (1)
    0x95, 0x02,                   //   Report Count (2)
    0x91, 0x02,                   //   Output (Data, Variable, Absolute)
    0x95, 0x06,                   //   Report Count (6)
    0x91, 0x03,                   //   Output (Constant)
    0x06, 0x00, 0xFF,             //   Usage Page (Vendor 0xFF00)
    0x09, 0x10,                   //   Usage (0x10)
    0x15, 0x00,                   //   Logical Minimum (0)
    0x27, 0xFF, 0xFF, 0x00, 0x00, //   Logical Maximum (65535)
    0x75, 0x10,                   //   Report Size (16)
    0x95, 0x03,                   //   Report Count (3): one usage, a value array
    0xB1, 0x02,                   //   Feature (Data, Variable, Absolute)
    0xFE, 0x02, 0x10, 0xAA, 0xBB, //   a long item, skipped
    0xC0,                         // End Collection
};

TEST(HidParserTest, AWorkedDescriptorGivesWindowsCapabilities) {
    ParsedCollection p = Parse(kWorked);
    ASSERT_EQ(p.status, HIDP_STATUS_SUCCESS) << p.error << " at " << p.errorOffset;
    EXPECT_TRUE(p.usesReportIds);
    HIDP_CAPS caps = CapsOf(p);
    EXPECT_EQ(caps.UsagePage, 0x01);
    EXPECT_EQ(caps.Usage, 0x02);
    EXPECT_EQ(caps.NumberLinkCollectionNodes, 2);
    EXPECT_EQ(caps.InputReportByteLength, 5);   // id, buttons, X, Y, wheel
    EXPECT_EQ(caps.OutputReportByteLength, 2);  // id, LEDs
    EXPECT_EQ(caps.FeatureReportByteLength, 7); // id, three 16-bit values
    EXPECT_EQ(caps.NumberInputButtonCaps, 1);
    EXPECT_EQ(caps.NumberInputValueCaps, 2);
    EXPECT_EQ(caps.NumberInputDataIndices, 6); // 3 buttons, X, Y, wheel
    EXPECT_EQ(caps.NumberOutputButtonCaps, 1);
    EXPECT_EQ(caps.NumberOutputDataIndices, 2);
    EXPECT_EQ(caps.NumberFeatureValueCaps, 1);
    EXPECT_EQ(caps.NumberFeatureDataIndices, 1);

    std::vector<HIDP_BUTTON_CAPS> buttons = ButtonCaps(p, HidP_Input);
    ASSERT_EQ(buttons.size(), 1u);
    EXPECT_EQ(buttons[0].ReportID, 2);
    EXPECT_EQ(buttons[0].LinkCollection, 1);
    EXPECT_EQ(buttons[0].LinkUsage, 0x01); // pointer
    EXPECT_EQ(buttons[0].Range.DataIndexMin, 0);
    EXPECT_EQ(buttons[0].Range.DataIndexMax, 2);

    std::vector<HIDP_VALUE_CAPS> input = ValueCaps(p, HidP_Input);
    ASSERT_EQ(input.size(), 2u);
    // X and Y: a usage range over two fields.
    EXPECT_TRUE(input[0].IsRange);
    EXPECT_EQ(input[0].Range.UsageMin, 0x30);
    EXPECT_EQ(input[0].Range.UsageMax, 0x31);
    EXPECT_EQ(input[0].Range.DataIndexMin, 3);
    EXPECT_EQ(input[0].Range.DataIndexMax, 4);
    EXPECT_EQ(input[0].ReportCount, 2);
    EXPECT_EQ(input[0].LogicalMin, -127);
    EXPECT_EQ(input[0].LogicalMax, 127);
    EXPECT_FALSE(input[0].IsAbsolute);
    // The wheel: the page from its extended usage, not the popped Button page.
    EXPECT_EQ(input[1].UsagePage, 0x01);
    EXPECT_EQ(input[1].NotRange.Usage, 0x38);
    EXPECT_EQ(input[1].BitSize, 8);
    EXPECT_EQ(input[1].LogicalMin, -127);
    EXPECT_EQ(input[1].NotRange.DataIndex, 5);

    std::vector<HIDP_BUTTON_CAPS> leds = ButtonCaps(p, HidP_Output);
    ASSERT_EQ(leds.size(), 1u);
    EXPECT_EQ(leds[0].UsagePage, 0x08);
    EXPECT_EQ(leds[0].ReportID, 3);
    EXPECT_EQ(leds[0].LinkCollection, 0);

    std::vector<HIDP_VALUE_CAPS> feature = ValueCaps(p, HidP_Feature);
    ASSERT_EQ(feature.size(), 1u);
    EXPECT_EQ(feature[0].UsagePage, 0xFF00);
    EXPECT_EQ(feature[0].ReportCount, 3);
    EXPECT_EQ(feature[0].BitSize, 16);
    EXPECT_EQ(feature[0].LogicalMax, 65535); // a 4-byte maximum over a minimum of 0
}

TEST(HidParserTest, CapabilityCountsGoInAndOutAsWindowsDocumentsThem) {
    ParsedCollection p = Parse(sim::stick::ReportDescriptor(Layout::B));
    ASSERT_EQ(p.status, HIDP_STATUS_SUCCESS);
    PHIDP_PREPARSED_DATA data = Preparsed(p);

    // Room for three of seven: the first three, and the count says three.
    HIDP_VALUE_CAPS values[7];
    memset(values, 0xEE, sizeof(values));
    USHORT count = 3;
    EXPECT_EQ(HidP_GetValueCaps(HidP_Input, values, &count, data), HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(values[2].NotRange.Usage, 0x32);
    EXPECT_EQ(values[3].UsagePage, 0xEEEE); // untouched past the room given
    count = 7;
    EXPECT_EQ(HidP_GetValueCaps(HidP_Input, values, &count, data), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(values[6].NotRange.Usage, 0xC4);

    // More room than entries: the count comes back lowered.
    HIDP_BUTTON_CAPS buttons[4];
    count = 4;
    EXPECT_EQ(HidP_GetButtonCaps(HidP_Input, buttons, &count, data), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(count, 1);
    // None of that type.
    count = 4;
    EXPECT_EQ(HidP_GetButtonCaps(HidP_Feature, buttons, &count, data), HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(count, 0);
    count = 4;
    EXPECT_EQ(HidP_GetValueCaps(HidP_Output, values, &count, data), HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(count, 0);

    count = 4;
    EXPECT_EQ(HidP_GetButtonCaps(static_cast<HIDP_REPORT_TYPE>(3), buttons, &count, data),
              HIDP_STATUS_INVALID_REPORT_TYPE);
    EXPECT_EQ(HidP_GetValueCaps(HidP_Input, values, nullptr, data), STATUS_INVALID_PARAMETER);

    // Anything but preparsed data is refused, never read as capabilities.
    std::vector<uint8_t> garbage(p.preparsed.size(), 0x5A);
    PHIDP_PREPARSED_DATA bad = reinterpret_cast<PHIDP_PREPARSED_DATA>(garbage.data());
    HIDP_CAPS caps;
    EXPECT_EQ(HidP_GetCaps(bad, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    count = 7;
    EXPECT_EQ(HidP_GetValueCaps(HidP_Input, values, &count, bad),
              HIDP_STATUS_INVALID_PREPARSED_DATA);
    // A header whose counts disagree with its size.
    std::vector<uint8_t> forged = p.preparsed;
    forged[8 + 64] += 1; // one more input button than the data holds
    EXPECT_EQ(HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(forged.data()), &caps),
              HIDP_STATUS_INVALID_PREPARSED_DATA);
}

TEST(HidParserTest, ADescriptorCutAnywhereIsRefusedWithoutAReadPastItsEnd) {
    for (Layout layout : {Layout::A, Layout::B}) {
        const std::vector<uint8_t>& whole = sim::stick::ReportDescriptor(layout);
        // Where each item starts.
        std::vector<size_t> starts;
        for (size_t at = 0; at < whole.size();) {
            starts.push_back(at);
            size_t size = whole[at] & 3;
            at += 1 + (size == 3 ? 4 : size);
        }
        for (size_t cut = 1; cut < whole.size(); ++cut) {
            SCOPED_TRACE(cut);
            ParsedCollection p = Parse(std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
            bool atBoundary = std::find(starts.begin(), starts.end(), cut) != starts.end();
            // Between items the collection is left open; inside one the
            // descriptor ends too early.
            EXPECT_EQ(p.status, atBoundary ? HIDP_STATUS_INVALID_PREPARSED_DATA
                                           : HIDP_STATUS_INVALID_REPORT_LENGTH);
            EXPECT_TRUE(p.preparsed.empty());
        }
    }
}

struct Malformed {
    const char* what;
    std::vector<uint8_t> descriptor;
    NTSTATUS status;
    size_t offset;
};

TEST(HidParserTest, MalformedDescriptorsGetAHidpStatusAndTheOffsetOfTheFault) {
    // Collection (Application) ... End Collection around 'body'.
    auto app = [](std::vector<uint8_t> body) {
        std::vector<uint8_t> d = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01};
        d.insert(d.end(), body.begin(), body.end());
        d.push_back(0xC0);
        return d;
    };
    const std::vector<Malformed> cases = {
        {"empty", {}, HIDP_STATUS_INVALID_PREPARSED_DATA, 0},
        {"4-byte item cut short",
         {0x05, 0x01, 0x27, 0xFF, 0xFF},
         HIDP_STATUS_INVALID_REPORT_LENGTH,
         2},
        {"long item cut short", {0xFE, 0x05, 0x10, 0x01}, HIDP_STATUS_INVALID_REPORT_LENGTH, 0},
        {"long item without its header", {0xFE, 0x00}, HIDP_STATUS_INVALID_REPORT_LENGTH, 0},
        {"33-bit field", app({0x75, 0x21, 0x95, 0x01, 0x81, 0x02}),
         HIDP_STATUS_INVALID_REPORT_LENGTH, 10},
        {"0-bit data field", app({0x75, 0x00, 0x95, 0x04, 0x81, 0x02}),
         HIDP_STATUS_INVALID_REPORT_LENGTH, 10},
        {"report count above 65535", app({0x97, 0x00, 0x00, 0x01, 0x00}),
         HIDP_STATUS_INVALID_REPORT_LENGTH, 6},
        {"report longer than 65535 bytes", app({0x75, 0x20, 0x96, 0xFF, 0xFF, 0x81, 0x03}),
         HIDP_STATUS_INVALID_REPORT_LENGTH, 11},
        {"report id 0", app({0x85, 0x00}), HIDP_STATUS_INCOMPATIBLE_REPORT_ID, 6},
        {"report id 256", app({0x86, 0x00, 0x01}), HIDP_STATUS_INCOMPATIBLE_REPORT_ID, 6},
        {"report id after data without one", app({0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01}),
         HIDP_STATUS_INCOMPATIBLE_REPORT_ID, 12},
        {"logical minimum above maximum",
         app({0x15, 0x10, 0x25, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}),
         HIDP_STATUS_BAD_LOG_PHY_VALUES, 14},
        {"usage minimum above maximum", app({0x19, 0x05, 0x29, 0x01}),
         HIDP_STATUS_BAD_LOG_PHY_VALUES, 8},
        {"pop without push", app({0xB4}), HIDP_STATUS_INVALID_PREPARSED_DATA, 6},
        {"push too deep", app(std::vector<uint8_t>(17, 0xA4)), HIDP_STATUS_INVALID_PREPARSED_DATA,
         22},
        {"end collection without a collection", {0xC0}, HIDP_STATUS_INVALID_PREPARSED_DATA, 0},
        {"collection not closed",
         {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xA1, 0x00, 0xC0},
         HIDP_STATUS_INVALID_PREPARSED_DATA,
         9},
        {"data outside any collection",
         {0x75, 0x08, 0x95, 0x01, 0x81, 0x02},
         HIDP_STATUS_INVALID_PREPARSED_DATA,
         4},
        {"usage minimum without maximum", app({0x19, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}),
         HIDP_STATUS_INVALID_PREPARSED_DATA, 12},
        {"reserved item type", app({0x0D, 0x00}), HIDP_STATUS_NOT_IMPLEMENTED, 6},
        {"reserved main item", app({0xD1, 0x00}), HIDP_STATUS_NOT_IMPLEMENTED, 6},
        {"delimiter", app({0xA9, 0x01}), HIDP_STATUS_NOT_IMPLEMENTED, 6},
        {"two top-level collections",
         {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xC0, 0x09, 0x04, 0xA1, 0x01, 0xC0},
         HIDP_STATUS_NOT_IMPLEMENTED,
         9},
    };
    for (const Malformed& m : cases) {
        SCOPED_TRACE(m.what);
        ParsedCollection p = Parse(m.descriptor);
        EXPECT_EQ(p.status, m.status) << p.error;
        EXPECT_EQ(p.errorOffset, m.offset) << p.error;
        EXPECT_FALSE(p.error.empty());
        EXPECT_TRUE(p.preparsed.empty());
    }
}

} // namespace
