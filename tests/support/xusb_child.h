// The emulated controller's child device outside a device stack, and the
// class driver's side of its requests, for unit tests and benchmarks.
#pragma once

#include <atomic>
#include <functional>

#include "platform/device_context.h"
#include "xusb/xusb_pdo.h"

namespace quillex_test {

// A parent object carrying a DEVICE_CONTEXT and a bare child device
// carrying an XUSB_PDO_DEVICE_DATA, filled as child creation fills it, with
// XusbPdoCleanup as its cleanup callback. Requests reach the child through a
// WDM device object whose dispatch routines hand them to the child's
// preprocess callbacks, as the framework does. Needs a loaded driver.
class XusbChild {
  public:
    XusbChild(ULONG instanceNumber = 1, ULONG productId = 0x0402);
    ~XusbChild();
    XusbChild(const XusbChild&) = delete;
    XusbChild& operator=(const XusbChild&) = delete;

    NTSTATUS InitStatus() const { return initStatus_; }
    WDFDEVICE Pdo() const { return pdo_; }
    PXUSB_PDO_DEVICE_DATA Data() const { return data_; }
    PDEVICE_CONTEXT Parent() const { return parent_; }
    PDEVICE_OBJECT DeviceObject() { return &deviceObject_; }
    // Deletes the child now (its cleanup runs); the parent stays.
    void DeleteChild();

  private:
    WDFOBJECT parentObject_ = nullptr;
    PDEVICE_CONTEXT parent_ = nullptr;
    WDFDEVICE pdo_ = nullptr;
    PXUSB_PDO_DEVICE_DATA data_ = nullptr;
    NTSTATUS initStatus_ = STATUS_UNSUCCESSFUL;
    DRIVER_OBJECT driverObject_{};
    DEVICE_OBJECT deviceObject_{};
};

// One IRP of the class driver: IRP_MJ_INTERNAL_DEVICE_CONTROL with a URB (or
// IRP_MJ_PNP), sent to the child with IoCallDriver. Its completion routine
// records what it saw and keeps the IRP for the next use.
class ClassIrp {
  public:
    ClassIrp();
    ~ClassIrp();
    ClassIrp(const ClassIrp&) = delete;
    ClassIrp& operator=(const ClassIrp&) = delete;

    URB urb{};
    PIRP Irp() const { return irp_; }

    // Sends the URB (or, for other codes, Argument1) with an internal control code.
    NTSTATUS Send(XusbChild& child, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB,
                  PVOID argument1 = nullptr, bool useUrb = true);
    // Sends IRP_MN_QUERY_INTERFACE for the given type, size and version.
    NTSTATUS QueryInterface(XusbChild& child, const GUID* type, USHORT size, USHORT version,
                            PINTERFACE iface);

    // Completions seen since the last Send; the status and Information of the last one.
    int Completions() const { return completions_.load(); }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    KIRQL CompletionIrql() const { return irql_; }
    // True from the moment the IRP is handed to the child: only then may
    // another thread cancel it (before, its sender is still preparing it).
    bool HandedDown() const { return handedDown_.load(); }
    // Runs inside the completion routine, after the recording.
    std::function<void(ClassIrp&)> onComplete;
    // Cancels the IRP on its way down, before it reaches the child (no cancel
    // routine is set yet, so only its Cancel flag is).
    bool cancelOnTheWay = false;

  private:
    static NTSTATUS Completion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    void Prepare(UCHAR major);

    PIRP irp_ = nullptr;
    std::atomic<int> completions_{0};
    std::atomic<bool> handedDown_{false};
    NTSTATUS status_ = 0;
    ULONG_PTR information_ = 0;
    KIRQL irql_ = 0;
};

// URB builders for the requests the class driver sends.
void BuildDescriptorRequest(URB* urb, UCHAR type, PVOID buffer, ULONG length, PMDL mdl = nullptr);
void BuildInterruptTransfer(URB* urb, ULONG pipeHandle, PVOID buffer, ULONG length,
                            PMDL mdl = nullptr);
void BuildControlTransfer(URB* urb, const UCHAR (&setup)[8], PVOID buffer, ULONG length,
                          PMDL mdl = nullptr);

} // namespace quillex_test
