// The framework driver object.
#pragma once

#include <vector>

#include "sim/wdf/object.h"

namespace sim::wdf {

class Driver : public Object {
  public:
    Driver() : Object(Kind::Driver) { driverMayDelete = false; }

    PDRIVER_OBJECT wdmDriver = nullptr;
    std::vector<WCHAR> registryPath; // null-terminated service key path
    WDF_DRIVER_CONFIG config{};
};

// The driver WdfDriverCreate made, or null.
Driver* CurrentDriver();
// Unloads the driver as the I/O manager does: EvtDriverUnload, then the
// driver object and everything still parented to it are deleted, and the
// verifier checks that nothing is left over.
void UnloadDriver();
// What the system does when DriverEntry fails after WdfDriverCreate: the
// framework driver goes without its unload callback.
void DiscardDriver();

} // namespace sim::wdf
