// Control requests of any code and buffer lengths, from an application with
// a handle on a plugged stick's interface, through the I/O manager.
//
// Input: a byte choosing the stick (bit 0: layout A's) and the access (bit 1:
// read only), then requests until it ends, each: a code selector (below 0x80:
// one of the six control codes; else a raw 32-bit code follows), a 16-bit
// input length, a 16-bit output length, then the input's bytes.
//
// Both sticks stay plugged for the whole run: a machine per input costs
// several times the requests themselves. Each input opens its own handle and
// closes it, and then puts the device back as it was plugged (the default
// mapping, the state it first reported) and checks that it is back, so an
// input does what it did alone whatever ran before it. Leaks are checked per
// input as pool blocks and framework objects, which must be back to their
// count after the plug; libFuzzer's own per-input leak check is off for this
// target (scripts/fuzz.sh), and the machine is taken down at exit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "driver/device_add.h"
#include "fuzz/fuzz_support.h"
#include "sim/core/trace_sink.h"
#include "sim/hid/collection.h"
#include "sim/peers/app/companion.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using quillex_fuzz::ByteReader;

constexpr DWORD kMaxBuffer = 1024;

const ULONG kCodes[] = {
    IOCTL_QUILLEX_GET_STATE, IOCTL_QUILLEX_SET_STATE,   IOCTL_QUILLEX_GET_VALUE,
    IOCTL_QUILLEX_SET_VALUE, IOCTL_QUILLEX_GET_MAPPING, IOCTL_QUILLEX_SET_MAPPING,
};

// Two sticks, one of each layout, plugged once, with what each first
// reported.
struct Machine {
    sim::registry::Scope registry;
    sim::pnp::Stack stack{DriverEntry};
    std::string interfaces[2];
    APP_INSTANCE pluggedState[2];
    REMAP_RECORD pluggedMapping[2];
    sim::app::Companion keeper[2]; // read/write handles that put the devices back

    Machine() {
        // A state pushed with no transfer waiting is traced as an error by
        // design: the run stays quiet.
        sim::trace::SetConsoleLevel(0);
        // Installing the driver makes its Parameters key.
        FUZZ_CHECK(sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters"));
        const uint16_t products[2] = {0x0403, 0x0402};
        for (int i = 0; i < 2; ++i) {
            sim::pnp::Stack::DeviceId id = 0;
            FUZZ_CHECK(stack.Plug(sim::stick::ArcadeStick(products[i]), &id) == STATUS_SUCCESS);
            std::vector<std::string> found = stack.Interfaces(id);
            FUZZ_CHECK(found.size() == 1);
            interfaces[i] = found[0];
            // The open starts the driver's reader, which creates the emulated
            // controller after its start-up wait: the device is whole once the
            // reader reads.
            FUZZ_CHECK(keeper[i].Open(interfaces[i]));
            while (stack.Hid(id)->WaitingReads() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            FUZZ_CHECK(keeper[i].GetState(&pluggedState[i]));
            FUZZ_CHECK(keeper[i].GetMapping(&pluggedMapping[i]));
            deviceIds[i] = id;
        }
        stack.WaitIdle();
        plugged = std::make_unique<quillex_fuzz::Footprint>();
    }

    void TakeDown() {
        for (int i = 0; i < 2; ++i) {
            keeper[i].Close();
            FUZZ_CHECK(stack.Unplug(deviceIds[i]) == STATUS_SUCCESS);
            stack.WaitRemoved(deviceIds[i]);
        }
        FUZZ_CHECK(stack.Unload() == STATUS_SUCCESS);
    }

    void PutBack(int i) {
        REMAP_RECORD defaults{};
        defaults.RestoreDefaults = 1;
        FUZZ_CHECK(keeper[i].SetMapping(defaults));
        FUZZ_CHECK(keeper[i].SetState(pluggedState[i]));
        APP_INSTANCE state;
        REMAP_RECORD mapping;
        FUZZ_CHECK(keeper[i].GetState(&state));
        FUZZ_CHECK(keeper[i].GetMapping(&mapping));
        FUZZ_CHECK(memcmp(&state, &pluggedState[i], sizeof(state)) == 0);
        FUZZ_CHECK(memcmp(&mapping, &pluggedMapping[i], sizeof(mapping)) == 0);
        plugged->CheckUnchanged();
    }

    sim::pnp::Stack::DeviceId deviceIds[2] = {};
    std::unique_ptr<quillex_fuzz::Footprint> plugged;
};

Machine* g_machine = nullptr;

Machine& TheMachine() {
    if (g_machine == nullptr) {
        g_machine = new Machine;
        // libFuzzer leaves its loop by exit(): the sticks are unplugged and
        // the driver unloaded before the simulator's own statics go.
        atexit([] {
            g_machine->TakeDown();
            delete g_machine;
        });
    }
    return *g_machine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Machine& machine = TheMachine();
    ByteReader input(data, size);
    const uint8_t setup = input.Byte();
    const int stick = (setup & 1) != 0 ? 1 : 0;
    {
        sim::app::Companion app;
        DWORD access = (setup & 2) != 0 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
        FUZZ_CHECK(app.Open(machine.interfaces[stick], access));
        while (input.Remaining() != 0) {
            uint8_t selector = input.Byte();
            ULONG code = selector < 0x80 ? kCodes[selector % (sizeof(kCodes) / sizeof(kCodes[0]))]
                                         : input.Dword();
            DWORD inLength = input.Word() % (kMaxBuffer + 1);
            DWORD outLength = input.Word() % (kMaxBuffer + 1);
            // Buffers of exactly the lengths given, so that a copy past them
            // is caught.
            std::unique_ptr<UCHAR[]> in(new UCHAR[inLength + 1]);
            std::unique_ptr<UCHAR[]> out(new UCHAR[outLength + 1]);
            std::vector<uint8_t> bytes = input.Bytes(inLength);
            memset(in.get(), 0, inLength);
            if (!bytes.empty()) {
                memcpy(in.get(), bytes.data(), bytes.size());
            }
            DWORD returned = 0;
            bool ok = app.Control(code, inLength ? in.get() : nullptr, inLength,
                                  outLength ? out.get() : nullptr, outLength, &returned);
            FUZZ_CHECK(app.LastStatus() != STATUS_PENDING);
            FUZZ_CHECK(ok == NT_SUCCESS(app.LastStatus()));
            FUZZ_CHECK(returned <= outLength);
            if (ok && code == IOCTL_QUILLEX_GET_STATE) {
                FUZZ_CHECK(returned == sizeof(APP_INSTANCE));
            }
            if (ok && code == IOCTL_QUILLEX_GET_MAPPING) {
                FUZZ_CHECK(returned == sizeof(REMAP_RECORD));
            }
        }
        // Whatever came before, the device still answers.
        APP_INSTANCE state;
        FUZZ_CHECK(app.GetState(&state));
    }
    machine.PutBack(stick);
    return 0;
}
