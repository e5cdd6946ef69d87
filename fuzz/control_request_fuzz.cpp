// Control requests of any code and buffer lengths, from an application with
// a handle on a plugged stick's interface, through the I/O manager.
//
// Input: a byte choosing the stick (bit 0: layout A's) and the access (bit 1:
// read only), then requests until it ends, each: a code selector (below 0x80:
// one of the six control codes; else a raw 32-bit code follows), a 16-bit
// input length, a 16-bit output length, then the input's bytes.
#include <string.h>

#include <memory>
#include <vector>

#include "driver/device_add.h"
#include "fuzz/fuzz_support.h"
#include "sim/peers/app/companion.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using quillex_fuzz::ByteReader;

constexpr DWORD kMaxBuffer = 1024;

const ULONG kCodes[] = {
    IOCTL_QUILLEX_GET_STATE, IOCTL_QUILLEX_SET_STATE,   IOCTL_QUILLEX_GET_VALUE,
    IOCTL_QUILLEX_SET_VALUE, IOCTL_QUILLEX_GET_MAPPING, IOCTL_QUILLEX_SET_MAPPING,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader input(data, size);
    sim::registry::Scope registry;
    sim::pnp::Stack stack(DriverEntry);
    // Installing the driver makes its Parameters key.
    FUZZ_CHECK(sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters"));

    const uint8_t setup = input.Byte();
    sim::pnp::Stack::DeviceId id = 0;
    FUZZ_CHECK(stack.Plug(sim::pnp::ArcadeStick((setup & 1) != 0 ? 0x0402 : 0x0403), &id) ==
               STATUS_SUCCESS);
    std::vector<std::string> interfaces = stack.Interfaces(id);
    FUZZ_CHECK(interfaces.size() == 1);
    {
        sim::app::Companion app;
        DWORD access = (setup & 2) != 0 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
        FUZZ_CHECK(app.Open(interfaces[0], access));

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
    FUZZ_CHECK(stack.Unplug(id) == STATUS_SUCCESS);
    stack.WaitRemoved(id);
    FUZZ_CHECK(stack.Unload() == STATUS_SUCCESS);
    return 0;
}
