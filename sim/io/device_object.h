// The I/O manager's side of device objects: what it keeps about each one
// (behind DEVICE_OBJECT::Reserved), and walking device stacks.
#pragma once

#include <functional>
#include <string>

#include "ntddk.h"

namespace sim::io {

struct DeviceRecord {
    std::string name;               // object name, empty for an unnamed device
    PDEVICE_OBJECT lower = nullptr; // the device this one is attached over
    // Set by the PnP manager on the PDO of a device stack.
    void* devnode = nullptr;
    bool deletePending = false;             // the stack is being removed: opens fail
    std::function<void()> lastHandleClosed; // runs once no open handle is left
};

DeviceRecord* Record(PDEVICE_OBJECT device);

// Stack walks, under the I/O manager's lock.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);

// Open handles on the stack whose PDO is 'pdo'.
LONG OpenHandleCount(PDEVICE_OBJECT pdo);
// Marks the stack as being removed: new opens fail with STATUS_DELETE_PENDING;
// 'lastHandleClosed' runs (on the closing thread) when the last open handle
// goes, or never when none is open now.
void MarkDeletePending(PDEVICE_OBJECT pdo, std::function<void()> lastHandleClosed);

// Device objects alive, for tests.
size_t LiveDeviceObjectCount();

// Used by opens and closes.
void AddOpenHandle(PDEVICE_OBJECT pdo);
void RemoveOpenHandle(PDEVICE_OBJECT pdo);

} // namespace sim::io
