// The whole driver in the simulated PnP manager: a fixture that loads it,
// plugs sticks, and reaches a device's context, for the system tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/device_add.h"
#include "sim/core/fault.h"
#include "sim/core/trace_sink.h"
#include "sim/io/file.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace quillex_test {

class DriverStackTest : public ::testing::Test {
  protected:
    using DeviceId = sim::pnp::Stack::DeviceId;

    // Plugs a stick and expects its stack to start.
    DeviceId Plug(sim::pnp::DeviceDescription stick) {
        DeviceId id = 0;
        EXPECT_EQ(stack_.Plug(std::move(stick), &id), STATUS_SUCCESS);
        return id;
    }
    DeviceId PlugStick(uint16_t productId) { return Plug(sim::stick::ArcadeStick(productId)); }
    DeviceId PlugIds(std::vector<std::string> hardwareIds) {
        sim::pnp::DeviceDescription stick;
        stick.hardwareIds = std::move(hardwareIds);
        return Plug(std::move(stick));
    }

    PDEVICE_CONTEXT Context(DeviceId id) {
        WDFDEVICE device = stack_.FunctionDevice(id);
        EXPECT_NE(device, nullptr);
        return device != nullptr ? QuillexGetDeviceContext(device) : nullptr;
    }

    // The remap key of the driver's service.
    std::string RemapKey() const { return stack_.RegistryPath() + "\\Parameters\\Remap"; }

    sim::registry::Scope registry_;
    sim::fault::Scope faults_;
    sim::trace::Capture trace_;
    sim::pnp::Stack stack_{DriverEntry};
};

} // namespace quillex_test
