#include "tests/stress/report_oracle.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "mapping/curves.h"
#include "mapping/decode.h"

namespace quillex_stress {
namespace {

// The emulated controller's answers to its first two polls after each device
// descriptor request: fixed reports, no state of anyone's.
const Report kFirstPolls[2] = {
    {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5, 0xF7, 0x16, 0x01, 0x49, 0x0B, 0xAC, 0x0F},
    {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xF5, 0xF7, 0x16, 0x01, 0xDC, 0x0A, 0xAC, 0x0F},
};

// A device context of its own holding only what composition reads.
struct Composer {
    std::unique_ptr<DEVICE_CONTEXT> context = std::make_unique<DEVICE_CONTEXT>();
    std::vector<UCHAR> raw;
    ULONG analog[ANALOG_VALUE_COUNT] = {};

    Composer(USHORT productId, const REMAP_RECORD& mapping) {
        RtlZeroMemory(context.get(), sizeof(DEVICE_CONTEXT));
        context->ProductId = productId;
        context->MappingInitialized = TRUE;
        RtlCopyMemory(&context->RemapRecord, &mapping, sizeof(mapping));
        BuildCurveTables(context.get());
        context->AnalogValues.Buffer = analog;
        context->AnalogValues.Size = sizeof(analog);
    }

    Report Compose() {
        Report out{};
        NTSTATUS status =
            TorvaXboxMappingGetInputReport(context.get(), out.data(), XUSB_INPUT_REPORT_LENGTH);
        if (!NT_SUCCESS(status)) {
            out.fill(0xEE); // matches no report the controller sends
        }
        return out;
    }
};

} // namespace

sim::stick::StickState StickStateFor(ULONG k) {
    sim::stick::StickState s;
    s.buttons = k & 0x3F;
    s.leftX = s.leftY = s.rightX = s.rightY = static_cast<uint8_t>(k);
    s.hat = static_cast<uint8_t>(k % 9);
    s.leftTrigger = static_cast<uint8_t>(k);
    s.rightTrigger = static_cast<uint8_t>(255 - k);
    return s;
}

APP_INSTANCE BlockFor(ULONG k) {
    APP_INSTANCE b{};
    for (ULONG i = 0; i < 6; ++i) {
        b.Buttons[i] = (k >> i) & 1;
    }
    b.RightStickY = b.RightStickX = b.LeftStickX = b.LeftStickY = k;
    b.Dpad = k % 9;
    // The block's triggers drive the decoded ones crosswise: this is the
    // stick state's left k and right 255 - k.
    b.SecondTrigger = k;
    b.FirstTrigger = 255 - k;
    b.Led = k % 4;
    return b;
}

std::vector<REMAP_RECORD> MappingSet(const REMAP_RECORD& defaults) {
    std::vector<REMAP_RECORD> set(5, defaults);
    const UCHAR buttons[4][6] = {
        {1, 0, 3, 2, 5, 4}, {2, 3, 4, 5, 0, 1}, {3, 2, 1, 0, 5, 4}, {5, 4, 3, 2, 1, 0}};
    for (size_t v = 1; v < set.size(); ++v) {
        REMAP_RECORD& m = set[v];
        for (size_t i = 0; i < 6; ++i) {
            m.ButtonMap[i] = buttons[v - 1][i];
        }
        m.SWAP_TRIGGERS = (v & 1) ? 1 : 0;
        m.SWAP_STICKS = (v & 2) ? 1 : 0;
        m.ENABLE_SCALING = v >= 3 ? 1 : 0;
        m.RestoreDefaults = 0;
        for (size_t p = 0; p < QUILLEX_CONTROL_POINT_COUNT; p += 2) {
            m.ControlPoints[p] = static_cast<UCHAR>(0x20 * v + p);
            m.ControlPoints[p + 1] = static_cast<UCHAR>(0xF0 - 0x10 * v - p);
        }
    }
    return set;
}

Report ComposeFromStick(USHORT productId, const REMAP_RECORD& mapping, ULONG k) {
    return ComposeFromStick(productId, mapping, StickStateFor(k));
}

Report ComposeFromStick(USHORT productId, const REMAP_RECORD& mapping,
                        const sim::stick::StickState& state) {
    Composer c(productId, mapping);
    std::vector<uint8_t> raw = sim::stick::Encode(sim::stick::LayoutForProductId(productId), state);
    // As the collection hands it to the reader: the report, then one byte
    // the read's buffer has beyond it.
    c.raw.assign(raw.begin(), raw.end());
    c.raw.push_back(0);
    c.context->InputReport.Buffer = c.raw.data();
    c.context->InputReport.Size = c.raw.size();
    NTSTATUS decoded = productId == QUILLEX_LAYOUT_A_PRODUCT_ID
                           ? DecodeHidReportLayoutA(c.context.get())
                           : DecodeHidReportLayoutB(c.context.get());
    if (!NT_SUCCESS(decoded)) {
        Report none;
        none.fill(0xEE);
        return none;
    }
    return c.Compose();
}

Report ComposeFromBlock(const REMAP_RECORD& mapping, ULONG k) {
    Composer c(QUILLEX_LAYOUT_A_PRODUCT_ID, mapping);
    APP_INSTANCE b = BlockFor(k);
    ULONG buttons = 0;
    for (ULONG i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        buttons |= b.Buttons[i] ? 1UL << i : 0;
    }
    c.context->CanonicalButtons = buttons;
    c.analog[ANALOG_RIGHT_STICK_Y] = b.RightStickY;
    c.analog[ANALOG_RIGHT_STICK_X] = b.RightStickX;
    c.analog[ANALOG_LEFT_STICK_X] = b.LeftStickX;
    c.analog[ANALOG_LEFT_STICK_Y] = b.LeftStickY;
    c.analog[ANALOG_HAT] = b.Dpad;
    c.analog[ANALOG_RIGHT_TRIGGER] = b.FirstTrigger;
    c.analog[ANALOG_LEFT_TRIGGER] = b.SecondTrigger;
    return c.Compose();
}

ReportOracle::ReportOracle(const std::vector<USHORT>& productIds,
                           const std::vector<REMAP_RECORD>& mappings) {
    Add("the first poll's fixed report", kFirstPolls[0]);
    Add("the second poll's fixed report", kFirstPolls[1]);
    for (size_t v = 0; v < mappings.size(); ++v) {
        const REMAP_RECORD& m = mappings[v];
        const std::string under = " under mapping " + std::to_string(v);
        for (USHORT id : productIds) {
            Add("the stick at rest" + under, ComposeFromStick(id, m, sim::stick::StickState()));
        }
        for (ULONG k = 0; k < 256; ++k) {
            Add("block " + std::to_string(k) + under, ComposeFromBlock(m, k));
            for (USHORT id : productIds) {
                Add("stick state " + std::to_string(k) + under, ComposeFromStick(id, m, k));
            }
        }
    }
}

void ReportOracle::Add(std::string what, const Report& report) {
    if (valid_.insert(report).second) {
        origins_.push_back({std::move(what), report});
    }
}

std::string ReportOracle::Nearest(const UCHAR* report) const {
    const Origin* best = nullptr;
    size_t bestDistance = ~size_t{0};
    for (const Origin& o : origins_) {
        size_t distance = 0;
        for (size_t i = 0; i < o.report.size(); ++i) {
            distance += o.report[i] != report[i];
        }
        if (distance < bestDistance) {
            best = &o;
            bestDistance = distance;
        }
    }
    if (best == nullptr) {
        return "nothing";
    }
    std::string text = best->what + ", differing in bytes";
    for (size_t i = 0; i < best->report.size(); ++i) {
        if (best->report[i] != report[i]) {
            char hex[24];
            snprintf(hex, sizeof(hex), " %zu (%02X)", i, best->report[i]);
            text += hex;
        }
    }
    return text;
}

bool ReportOracle::Accepts(const UCHAR* report) const {
    Report r;
    std::copy(report, report + r.size(), r.begin());
    return valid_.count(r) != 0;
}

std::string Describe(const APP_INSTANCE& b) {
    std::string text = "buttons";
    for (UCHAR button : b.Buttons) {
        text += " " + std::to_string(button);
    }
    text += ", sticks " + std::to_string(b.RightStickY) + " " + std::to_string(b.RightStickX) +
            " " + std::to_string(b.LeftStickX) + " " + std::to_string(b.LeftStickY) + ", dpad " +
            std::to_string(b.Dpad) + ", triggers " + std::to_string(b.FirstTrigger) + " " +
            std::to_string(b.SecondTrigger) + ", LED " + std::to_string(b.Led);
    return text;
}

bool IsWholeBlock(const APP_INSTANCE& block, const APP_INSTANCE& initial) {
    if (memcmp(&block, &initial, sizeof(block)) == 0) {
        return true;
    }
    // Refreshed from the decoded state a start leaves (everything 0, the
    // hat too) or from the stick at rest, with the LED of the moment.
    APP_INSTANCE fresh{}, rest{};
    rest.RightStickY = rest.RightStickX = rest.LeftStickX = rest.LeftStickY = 128;
    rest.Dpad = 8;
    fresh.Led = rest.Led = block.Led;
    if (memcmp(&block, &fresh, sizeof(block)) == 0 || memcmp(&block, &rest, sizeof(block)) == 0) {
        return block.Led <= 3 || block.Led == QUILLEX_LED_NONE;
    }
    const ULONG k = block.LeftStickX;
    if (k > 255 || block.LeftStickY != k || block.RightStickX != k || block.RightStickY != k ||
        block.Dpad != k % 9 || (block.Led > 3 && block.Led != QUILLEX_LED_NONE)) {
        return false;
    }
    for (ULONG i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        const UCHAR expected = i < 6 ? (k >> i) & 1 : 0;
        if ((block.Buttons[i] != 0) != (expected != 0)) {
            return false;
        }
    }
    // As pushed (first 255 - k, second k) or as read back from the decoded
    // state (first the left trigger k, second the right 255 - k).
    return (block.FirstTrigger == 255 - k && block.SecondTrigger == k) ||
           (block.FirstTrigger == k && block.SecondTrigger == 255 - k);
}

} // namespace quillex_stress
