// Any bytes as an arcade stick's HID report descriptor: through the HID
// class's parser and its capability routines, then through the driver's
// probe and setup on a stick plugged with that descriptor, an open that
// starts the reader, and the stick's removal.
//
// Input: a byte choosing the product id (bit 0: PID_0402, raw layout A; else
// PID_0403, raw layout B), then the report descriptor, to the end.
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "driver/device_add.h"
#include "fuzz/fuzz_support.h"
#include "hid/hid_pipeline.h"
#include "sim/core/trace_sink.h"
#include "sim/hid/collection.h"
#include "sim/io/file.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/system_thread.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using quillex_fuzz::ByteReader;

// Bounded waits on the host clock: a pipeline that never gets there is a
// finding, not a hang.
bool WaitUntil(bool (*done)(const void*), const void* argument) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(argument)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

// What the parser's capability routines give for a descriptor it accepted,
// read from buffers of exactly the room announced, so that a write past the
// count given is caught.
void CheckCapabilities(const std::vector<uint8_t>& parsedBytes, HIDP_CAPS* caps) {
    std::unique_ptr<uint8_t[]> preparsed(new uint8_t[parsedBytes.size()]);
    memcpy(preparsed.get(), parsedBytes.data(), parsedBytes.size());
    auto data = reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed.get());
    FUZZ_CHECK(HidP_GetCaps(data, caps) == HIDP_STATUS_SUCCESS);

    const HIDP_REPORT_TYPE types[] = {HidP_Input, HidP_Output, HidP_Feature};
    const USHORT buttonCounts[] = {caps->NumberInputButtonCaps, caps->NumberOutputButtonCaps,
                                   caps->NumberFeatureButtonCaps};
    const USHORT valueCounts[] = {caps->NumberInputValueCaps, caps->NumberOutputValueCaps,
                                  caps->NumberFeatureValueCaps};
    for (int t = 0; t < 3; ++t) {
        for (bool values : {false, true}) {
            const USHORT announced = values ? valueCounts[t] : buttonCounts[t];
            const size_t entry = values ? sizeof(HIDP_VALUE_CAPS) : sizeof(HIDP_BUTTON_CAPS);
            // The whole array, then one entry less than there are.
            for (USHORT room : {announced, static_cast<USHORT>(announced ? announced - 1 : 0)}) {
                std::unique_ptr<uint8_t[]> array(new uint8_t[room * entry + 1]);
                USHORT count = room;
                NTSTATUS status =
                    values ? HidP_GetValueCaps(types[t],
                                               reinterpret_cast<PHIDP_VALUE_CAPS>(array.get()),
                                               &count, data)
                           : HidP_GetButtonCaps(types[t],
                                                reinterpret_cast<PHIDP_BUTTON_CAPS>(array.get()),
                                                &count, data);
                if (announced == 0) {
                    FUZZ_CHECK(status == HIDP_STATUS_USAGE_NOT_FOUND && count == 0);
                } else if (room == announced) {
                    FUZZ_CHECK(status == HIDP_STATUS_SUCCESS && count == announced);
                } else {
                    FUZZ_CHECK(status == HIDP_STATUS_BUFFER_TOO_SMALL && count == room);
                }
            }
        }
    }
}

bool ReadWaiting(const void* collection) {
    return static_cast<const sim::hid::Collection*>(collection)->WaitingReads() >= 1;
}

bool SecondReadSent(const void* collection) {
    return static_cast<const sim::hid::Collection*>(collection)->CountOf(IRP_MJ_READ) >= 2;
}

bool ThreadsEnded(const void*) {
    return sim::kernel::WaitForSystemThreads(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused descriptors are traced as errors by design: the run stays quiet
    // unless QUILLEX_TRACE_LEVEL asks otherwise.
    if (getenv("QUILLEX_TRACE_LEVEL") == nullptr) {
        sim::trace::SetConsoleLevel(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader input(data, size);
    const uint16_t productId = (input.Byte() & 1) != 0 ? 0x0402 : 0x0403;
    // A descriptor of exactly its own length: a read past it is caught.
    const std::vector<uint8_t> descriptor = input.Bytes(input.Remaining());

    sim::hid::ParsedCollection parsed =
        sim::hid::ParseReportDescriptor(descriptor.data(), descriptor.size());
    const bool accepted = parsed.status == HIDP_STATUS_SUCCESS;
    HIDP_CAPS caps{};
    if (accepted) {
        CheckCapabilities(parsed.preparsed, &caps);
    } else {
        FUZZ_CHECK(parsed.preparsed.empty());
        FUZZ_CHECK(parsed.errorOffset <= descriptor.size());
    }
    // What setup must decide: seven input values and a whole raw report.
    const ULONG rawLength = productId == QUILLEX_LAYOUT_A_PRODUCT_ID ? RAW_LAYOUT_A_MIN_LENGTH
                                                                     : RAW_LAYOUT_B_MIN_LENGTH;
    const bool usable = accepted && caps.NumberInputValueCaps >= ANALOG_VALUE_COUNT &&
                        caps.InputReportByteLength >= rawLength;

    sim::registry::Scope registry;
    sim::kernel::SimulatedClock clock;
    sim::pnp::Stack stack(DriverEntry);
    sim::pnp::DeviceDescription stick = sim::stick::ArcadeStick(productId);
    stick.lower =
        std::make_unique<sim::hid::Collection>(descriptor, sim::stick::kStickVendorId, productId);
    auto* collection = static_cast<sim::hid::Collection*>(stick.lower.get());

    sim::pnp::Stack::DeviceId id = 0;
    NTSTATUS plugged = stack.Plug(std::move(stick), &id);
    if (!accepted) {
        // The HID class refuses to start a collection it cannot parse: the
        // stack is taken down and the driver never gets to read it.
        FUZZ_CHECK(!NT_SUCCESS(plugged));
        FUZZ_CHECK(stack.State(id) != sim::pnp::DeviceState::Started);
        FUZZ_CHECK(collection->CountOf(IRP_MJ_READ) == 0);
    } else {
        // A collection setup refuses still starts: it is just never read.
        FUZZ_CHECK(plugged == STATUS_SUCCESS);
        PDEVICE_CONTEXT context = QuillexGetDeviceContext(stack.FunctionDevice(id));
        FUZZ_CHECK(memcmp(&context->Hid.Caps, &caps, sizeof(caps)) == 0);
        FUZZ_CHECK((context->InputReportWdfRequest != nullptr) == usable);
        FUZZ_CHECK((context->AnalogValues.Buffer != nullptr) == usable);

        sim::io::File app;
        FUZZ_CHECK(app.Open(stack.Interfaces(id).at(0), GENERIC_READ) == STATUS_SUCCESS);
        // The reader's start-up wait, passed on the simulated clock.
        FUZZ_CHECK(clock.WaitForTimedWaiters(1));
        clock.Advance(std::chrono::seconds(5));
        if (usable) {
            // One read waits at the collection; a report of the collection's
            // length completes it and the next read goes out.
            FUZZ_CHECK(WaitUntil(ReadWaiting, collection));
            // The first input report, as the stick sends it: with its id
            // byte when the collection has ids, else without the byte the
            // HID class adds.
            const auto& first = *parsed.reportLengths[HidP_Input].begin();
            std::vector<uint8_t> report(first.second - (parsed.usesReportIds ? 0 : 1));
            report[0] = first.first;
            FUZZ_CHECK(collection->InputReport(report.data(), report.size()) == STATUS_SUCCESS);
            FUZZ_CHECK(WaitUntil(SecondReadSent, collection));
        } else {
            // The reader finds nothing to read into and ends on its own,
            // without a read.
            FUZZ_CHECK(WaitUntil(ThreadsEnded, nullptr));
            FUZZ_CHECK(collection->CountOf(IRP_MJ_READ) == 0);
        }
        app.Close();
        FUZZ_CHECK(stack.Unplug(id) == STATUS_SUCCESS);
        stack.WaitRemoved(id);
    }

    // Nothing left behind: the framework's leftover check runs at removal;
    // threads and the driver's pool are counted here.
    FUZZ_CHECK(stack.Unload() == STATUS_SUCCESS);
    FUZZ_CHECK(sim::kernel::WaitForSystemThreads());
    FUZZ_CHECK(sim::kernel::LiveSystemThreadCount() == 0);
    FUZZ_CHECK(sim::pool::OutstandingBlocks(QUILLEX_POOL_TAG) == 0);
    return 0;
}
