// Test fixtures: a framework driver, and a device context outside any device
// stack, for unit tests of the driver's routines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/device_context.h"
#include "sim/core/fault.h"
#include "sim/registry/registry.h"

namespace quillex_test {

// The service key every test driver is loaded with.
inline constexpr const char* kServiceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quillex";

// Creates a framework driver on construction and unloads it (deleting every
// object still parented to it, with the leftover-object check) on destruction.
class SimDriver {
  public:
    explicit SimDriver(const std::string& registryPath = kServiceKey);
    ~SimDriver();
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    WDFDRIVER Handle() const { return driver_; }

  private:
    DRIVER_OBJECT wdmDriver_{};
    std::vector<WCHAR> path_;
    WDFDRIVER driver_ = nullptr;
};

// A framework object carrying a DEVICE_CONTEXT, standing in for the function
// device where a test needs the context but not a device stack. Optionally
// with the decoder's buffers, sized like the reader's.
class ContextHolder {
  public:
    ContextHolder(WDFDRIVER driver, size_t inputReportBytes = 0, size_t analogEntries = 0);
    ~ContextHolder();
    ContextHolder(const ContextHolder&) = delete;
    ContextHolder& operator=(const ContextHolder&) = delete;

    PDEVICE_CONTEXT Context() const { return context_; }
    WDFOBJECT Owner() const { return owner_; }
    UCHAR* Report() const { return static_cast<UCHAR*>(context_->InputReport.Buffer); }
    ULONG* Analog() const { return static_cast<ULONG*>(context_->AnalogValues.Buffer); }

  private:
    WDFOBJECT owner_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};

// A framework object of the device kind, standing in for a device object
// where a test needs a device as a parent (of a work item, of a child's
// context) but not a device stack. Parented to the driver; deleted with
// WdfObjectDelete or at unload.
WDFDEVICE CreateStandInDevice(PWDF_OBJECT_ATTRIBUTES attributes);

// Base fixture: a clean fault-injection state, an empty registry and a loaded
// driver.
class DriverTest : public ::testing::Test {
  protected:
    sim::fault::Scope faults_;
    sim::registry::Scope registry_;
    SimDriver driver_;
};

} // namespace quillex_test
