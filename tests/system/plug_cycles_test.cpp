// Plug cycles: a stick plugged and unplugged a thousand times (or
// QUILLEX_PLUG_CYCLES times), each time with the companion application's
// handle open, the reader's read outstanding at the collection and the class
// driver's transfers waiting at the emulated controller, removed in turn in
// order (handle closed first) and by surprise (handle still open).
//
// After every cycle nothing of it is left: framework objects, pool blocks,
// system threads and kernel handles are back where they were. What a player
// sees: each plug is the next device number (numbers are never given back),
// its emulated controller a new device instance named by that number, and,
// being the only controller, player 1: the class driver lights quadrant 1
// (LED command 0x06) and the driver records LED state 2 for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "driver/device_add.h"
#include "sim/core/fault.h"
#include "sim/hid/collection.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/system_thread.h"
#include "sim/registry/registry.h"
#include "sim/wdf/object.h"
#include "tests/support/device_life.h"

namespace quillex_test {
namespace {

struct Footprint {
    size_t objects = 0;
    size_t blocks = 0;
    size_t handles = 0;
    size_t threads = 0;

    static Footprint Now() {
        sim::pool::CheckFreedBlocks();
        return {sim::wdf::LiveObjectCount(), sim::pool::OutstandingBlocks(),
                sim::kernel::OpenHandleCount(), sim::kernel::LiveSystemThreadCount()};
    }
    bool operator==(const Footprint& o) const {
        return objects == o.objects && blocks == o.blocks && handles == o.handles &&
               threads == o.threads;
    }
};

std::ostream& operator<<(std::ostream& out, const Footprint& f) {
    return out << f.objects << " framework objects, " << f.blocks << " pool blocks, " << f.handles
               << " kernel handles, " << f.threads << " system threads";
}

bool Eventually(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

UCHAR LedStateOf(PDEVICE_CONTEXT context) {
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    UCHAR led = context->LedState;
    KeReleaseSpinLock(&context->StateLock, irql);
    return led;
}

unsigned CyclesToRun() {
    const char* cycles = std::getenv("QUILLEX_PLUG_CYCLES");
    return cycles != nullptr ? static_cast<unsigned>(strtoul(cycles, nullptr, 10)) : 1000;
}

TEST(PlugCycles, EveryCycleLeavesNothingAndThePlayerSeesANewPlayerOneController) {
    sim::fault::Scope faults;
    sim::registry::Scope registry;
    sim::kernel::SimulatedClock clock;
    sim::pnp::Stack stack(DriverEntry);
    // Installing the INF makes the service's Parameters key.
    ASSERT_TRUE(sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters"));
    stack.Install(sim::xbox::Package());
    ASSERT_EQ(stack.Load(), STATUS_SUCCESS);
    const Footprint loaded = Footprint::Now();

    const unsigned cycles = CyclesToRun();
    auto started = std::chrono::steady_clock::now();
    for (unsigned cycle = 1; cycle <= cycles; ++cycle) {
        bool surprise = cycle % 2 == 0;
        SCOPED_TRACE("cycle " + std::to_string(cycle) +
                     (surprise ? " (surprise removal)" : " (orderly removal)"));
        {
            DeviceLife life(&stack, &clock);
            ASSERT_TRUE(life.Plug());
            PDEVICE_CONTEXT context = QuillexGetDeviceContext(stack.FunctionDevice(life.Id()));
            EXPECT_EQ(context->InstanceNumber, cycle); // the next number, never one given back

            ASSERT_TRUE(life.OpenApp());
            ASSERT_TRUE(life.StartReader());
            auto controller = life.Controller();
            ASSERT_NE(controller, nullptr);
            // Everything out at once: the reader's read and the class
            // driver's two transfers.
            sim::hid::Collection* hid = stack.Hid(life.Id());
            EXPECT_TRUE(Eventually([&] { return hid->WaitingReads() == 1; }));
            EXPECT_TRUE(controller->WaitOutstanding(2));

            // The controller is a new instance named by the device's number.
            std::vector<sim::pnp::ChildDevice> children = stack.Children(life.Id());
            ASSERT_EQ(children.size(), 1u);
            char instance[16];
            snprintf(instance, sizeof(instance), "%02u", cycle);
            EXPECT_EQ(children[0].instanceIdOnBus, instance);
            // Player 1: the class driver's LED command, recorded by the driver.
            EXPECT_EQ(controller->GetState(), sim::xbox::Controller::State::Configured);
            EXPECT_TRUE(Eventually([&] { return LedStateOf(context) == 2; }))
                << "LED state " << static_cast<unsigned>(LedStateOf(context));

            if (surprise) {
                life.RemoveBySurprise();
            } else {
                life.RemoveOrderly();
            }
            EXPECT_TRUE(life.Refusals().empty()) << life.Refusals().front();
            EXPECT_EQ(stack.State(life.Id()), sim::pnp::DeviceState::Removed);
        }
        sim::xbox::Forget();
        ASSERT_TRUE(sim::kernel::WaitForSystemThreads());
        Footprint after = Footprint::Now();
        ASSERT_EQ(after, loaded) << "left behind by the cycle";
    }
    auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("Plug cycles: %u in %.1f s (%.1f ms each), nothing left behind\n", cycles, seconds,
           1000.0 * seconds / cycles);
    EXPECT_EQ(stack.Unload(), STATUS_SUCCESS);
}

} // namespace
} // namespace quillex_test
