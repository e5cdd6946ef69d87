// The WDM skeleton of a function-driver peer, shared by the Xbox 360 class
// driver (sim/peers/xbox) and the USB/IP export's host (sim/peers/usbip):
// the driver's entry point, a device attached over each PDO it is added to,
// the PnP requests a function driver answers, every other request passed
// down, and the list of devices the rest of the program reads.
//
// A peer's device class gives
//   static std::shared_ptr<Device> Make(PDEVICE_OBJECT device,
//       PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, const Devices& devices);
//                                builds the device for a new device object
//                                (under the driver's lock, with those it has)
//   NTSTATUS Start(PIRP irp);    IRP_MN_START_DEVICE: completes the IRP
//   void SurpriseRemoved();      IRP_MN_SURPRISE_REMOVAL, before it goes down
//   NTSTATUS Remove(PIRP irp);   IRP_MN_REMOVE_DEVICE: passes it down,
//                                detaches and deletes its device object
//   PDEVICE_OBJECT Pdo() const;
//   bool Gone() const;           removed: Forget() may drop it
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "ntddk.h"
#include "sim/io/device_object.h"

namespace sim::peers {

template <class Device> class FunctionDriver {
  public:
    using Devices = std::vector<std::shared_ptr<Device>>;

    // The driver's entry point, for its pnp::DriverPackage.
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
        UNREFERENCED_PARAMETER(registryPath);
        for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
            dispatch = Dispatch;
        }
        driver->DriverExtension->AddDevice = AddDevice;
        driver->DriverUnload = Unload;
        return STATUS_SUCCESS;
    }

    // Every device added and not yet forgotten, in the order they came.
    static Devices All() {
        std::lock_guard<std::mutex> guard(TheState().lock);
        return TheState().devices;
    }

    // The newest device over 'pdo' (any PDO when null), waiting up to 'limit'
    // for it to be added; null when none came.
    static std::shared_ptr<Device> WaitFor(PDEVICE_OBJECT pdo, std::chrono::milliseconds limit) {
        State& state = TheState();
        std::unique_lock<std::mutex> guard(state.lock);
        std::shared_ptr<Device> found;
        state.added.wait_for(guard, limit, [&] {
            for (auto it = state.devices.rbegin(); it != state.devices.rend(); ++it) {
                if (pdo == nullptr || (*it)->Pdo() == pdo) {
                    found = *it;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // Drops the devices that are gone, for a program that plugs one device
    // after another for as long as it runs.
    static void Forget() {
        Devices gone;
        {
            State& state = TheState();
            std::lock_guard<std::mutex> guard(state.lock);
            for (auto it = state.devices.begin(); it != state.devices.end();) {
                if ((*it)->Gone()) {
                    gone.push_back(std::move(*it));
                    it = state.devices.erase(it);
                } else {
                    ++it;
                }
            }
        }
        // Destroyed here, outside the driver's lock.
    }

    static NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }

  private:
    struct State {
        std::mutex lock;
        std::condition_variable added;
        Devices devices;
    };

    // Never destroyed: devices may still be reachable while the program exits.
    static State& TheState() {
        static State* state = new State();
        return *state;
    }

    static Device* DeviceOf(PDEVICE_OBJECT device) {
        return *static_cast<Device**>(device->DeviceExtension);
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        PDEVICE_OBJECT lower = io::LowerDevice(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP) {
            switch (stack->MinorFunction) {
            case IRP_MN_START_DEVICE:
                return DeviceOf(device)->Start(irp);
            case IRP_MN_SURPRISE_REMOVAL:
                DeviceOf(device)->SurpriseRemoved();
                irp->IoStatus.Status = STATUS_SUCCESS;
                return PassDown(lower, irp);
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
                irp->IoStatus.Status = STATUS_SUCCESS;
                return PassDown(lower, irp);
            case IRP_MN_REMOVE_DEVICE:
                return DeviceOf(device)->Remove(irp);
            default:
                break;
            }
        }
        return PassDown(lower, irp);
    }

    static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver, sizeof(Device*), nullptr, FILE_DEVICE_UNKNOWN,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
        if (lower == nullptr) {
            IoDeleteDevice(device);
            return STATUS_NO_SUCH_DEVICE;
        }
        State& state = TheState();
        {
            // Made and listed in one step: what Make reads of the others
            // (a free port, a player number) is still true when it is listed.
            std::lock_guard<std::mutex> guard(state.lock);
            std::shared_ptr<Device> made = Device::Make(device, lower, pdo, state.devices);
            *static_cast<Device**>(device->DeviceExtension) = made.get();
            device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            state.devices.push_back(std::move(made));
        }
        state.added.notify_all();
        return STATUS_SUCCESS;
    }

    static VOID Unload(PDRIVER_OBJECT driver) {
        // Every device has gone with its removal; nothing is left to undo.
        UNREFERENCED_PARAMETER(driver);
    }
};

} // namespace sim::peers
