#include "tools/quillex-sim/view/run_text.h"

#include <stdio.h>

#include <chrono>
#include <string>

#include "sim/peers/stick/raw_reports.h"
#include "tools/common/control_names.h"

const char* const kLegend =
    "   How to read what follows:\n"
    "   - raw [...] is a report as the stick sent it; \"buttons held\" are the canonical\n"
    "     buttons the driver decoded from it, each with the Xbox button the mapping gives\n"
    "     it; sticks and triggers are 0..255 (sticks centred at 128), the hat 0..7 from\n"
    "     up clockwise, 8 centred.\n"
    "   - xbox [...] is the 20-byte report the driver composed: \"(endpoint 1)\" means it\n"
    "     went to the class driver on the interrupt-in endpoint, \"(not sent again)\" that\n"
    "     nothing changed, so nothing was sent.\n"
    "   - game is what a game reads: the gamepad state the class driver decoded (sticks\n"
    "     -32768..32767, triggers 0..255).\n"
    "   - vendor and product are the ids in the emulated controller's device\n"
    "     descriptor; USBDI 0x500 is the version of the USB driver interface the class\n"
    "     driver was told (Windows 7's); a pipe handle is the number the class driver\n"
    "     names an endpoint by.\n"
    "   - LED state 2, 3, 4, 5 is the light of player 1, 2, 3, 4 the class driver set;\n"
    "     any other value means no player light.\n";

std::string LedMeaning(unsigned state) {
    return state >= 2 && state <= 5 ? "player " + std::to_string(state - 1) : "no player light";
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(b, sizeof(b), "%02X ", bytes[i]);
        out += b;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

const char* PipeType(USBD_PIPE_TYPE type) {
    switch (type) {
    case UsbdPipeTypeControl:
        return "control";
    case UsbdPipeTypeIsochronous:
        return "isochronous";
    case UsbdPipeTypeBulk:
        return "bulk";
    default:
        return "interrupt";
    }
}

namespace {

// "BTN_A (A) BTN_PWR (GUIDE)": each held button with the Xbox button the
// mapping gives it.
std::string HeldButtons(uint32_t buttons, const REMAP_RECORD& mapping) {
    std::string out;
    for (unsigned i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        if (buttons & (1u << i)) {
            out += std::string(out.empty() ? "" : " ") + sim::stick::kButtonNames[i] + " (" +
                   XboxButtonName(mapping.ButtonMap[i]) + ")";
        }
    }
    return out.empty() ? "none" : out;
}

// The report lines of a step: its decoded state, the Xbox report and what
// the game read.
std::string ReportLines(const StepResult& r, const REMAP_RECORD& mapping, const char* changed) {
    const ULONG* a = r.analog.data();
    return Format("    %-9s buttons held: %s\n", changed, HeldButtons(r.buttons, mapping).c_str()) +
           Format("    left stick (%u, %u)  right stick (%u, %u)  hat %u  left trigger %u  right "
                  "trigger %u\n",
                  a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
                  a[ANALOG_RIGHT_STICK_Y], a[ANALOG_HAT], a[ANALOG_LEFT_TRIGGER],
                  a[ANALOG_RIGHT_TRIGGER]) +
           Format("    xbox [%s]  (%s)\n", Hex(r.xbox.data(), r.xbox.size()).c_str(),
                  r.delivery.c_str()) +
           Format("    game %s\n", sim::xbox::Describe(r.gamepad).c_str());
}

} // namespace

std::string StepText(const StepResult& r, const REMAP_RECORD& mapping, bool together) {
    const SessionStep& step = *r.step;
    char at[32];
    snprintf(at, sizeof(at), "@%lldms",
             static_cast<long long>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(step.at).count()));
    std::string head = Format("#%02d ", r.index);
    if (together) {
        head = Format("stick %d ", r.stick) + head;
    }
    if (step.kind == SessionStep::kRequest) {
        const AppRequestResult& answer = r.request;
        // A label names the step; the request is shown as written either way.
        std::string what =
            step.what == step.request.text ? step.what : step.what + ": " + step.request.text;
        std::string out = head + Format("%-7s %s\n", at, what.c_str());
        out += Format("    %s: %s\n", answer.code.c_str(),
                      answer.ok
                          ? ("success, " + std::to_string(answer.returned) + " bytes back").c_str()
                          : FailureText(answer).c_str());
        if (answer.ok) {
            out += "    " + answer.meaning + "\n";
        }
        if (!r.delivery.empty()) {
            out += ReportLines(r, mapping, "pushed");
        }
        return out;
    }
    std::string out = head + Format("%-7s %-22s raw [%s]\n", at, step.what.c_str(),
                                    Hex(r.raw.data(), r.raw.size()).c_str());
    out += ReportLines(r, mapping, r.changed ? "changed" : "unchanged");
    return out;
}
