#include "tests/support/xusb_child.h"

#include "sim/wdf/object.h"

namespace quillex_test {
namespace {

WDFDEVICE ChildOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<WDFDEVICE>(DeviceObject->DeviceExtension);
}

NTSTATUS DispatchInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return HandleXusbPdoInternalIrp(ChildOf(DeviceObject), Irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return HandleXusbPdoPnPIrp(ChildOf(DeviceObject), Irp);
}

} // namespace

XusbChild::XusbChild(ULONG instanceNumber, ULONG productId) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    initStatus_ = WdfObjectCreate(&attributes, &parentObject_);
    if (!NT_SUCCESS(initStatus_)) {
        return;
    }
    parent_ = QuillexGetDeviceContext(parentObject_);
    parent_->Device = static_cast<WDFDEVICE>(parentObject_);
    parent_->InstanceNumber = instanceNumber;
    parent_->ProductId = productId;

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, XUSB_PDO_DEVICE_DATA);
    attributes.EvtCleanupCallback = XusbPdoCleanup;
    auto* child = new sim::wdf::Object(sim::wdf::Kind::Device);
    initStatus_ = sim::wdf::Attach(
        child, &attributes, sim::wdf::Lookup(parentObject_, sim::wdf::Kind::Generic, "XusbChild"),
        "XusbChild");
    if (!NT_SUCCESS(initStatus_)) {
        delete child;
        return;
    }
    pdo_ = child->HandleAs<WDFDEVICE>();
    data_ = XusbPdoGetData(pdo_);
    parent_->XusbPdo = pdo_;
    initStatus_ = Bus_XusbInitializePdoData(pdo_, parent_->Device, instanceNumber);

    deviceObject_.DriverObject = &driverObject_;
    deviceObject_.DeviceExtension = pdo_;
    deviceObject_.StackSize = 1;
    driverObject_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driverObject_.MajorFunction[IRP_MJ_PNP] = DispatchPnp;
}

XusbChild::~XusbChild() {
    if (parentObject_ != nullptr) {
        WdfObjectDelete(parentObject_);
    }
}

void XusbChild::DeleteChild() {
    if (pdo_ != nullptr) {
        WdfObjectDelete(pdo_);
        pdo_ = nullptr;
        data_ = nullptr;
    }
}

ClassIrp::ClassIrp() : irp_(IoAllocateIrp(1, FALSE)) {}

ClassIrp::~ClassIrp() {
    if (irp_ != nullptr) {
        IoFreeIrp(irp_);
    }
}

NTSTATUS ClassIrp::Completion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* self = static_cast<ClassIrp*>(Context);
    self->status_ = Irp->IoStatus.Status;
    self->information_ = Irp->IoStatus.Information;
    self->irql_ = KeGetCurrentIrql();
    self->completions_++;
    if (self->onComplete) {
        self->onComplete(*self);
    }
    // The IRP is ours again: it is reused or freed by its owner.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void ClassIrp::Prepare(UCHAR major) {
    handedDown_ = false;
    IoReuseIrp(irp_, STATUS_NOT_SUPPORTED);
    completions_ = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = major;
    IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
}

NTSTATUS ClassIrp::Send(XusbChild& child, ULONG ioctl, PVOID argument1, bool useUrb) {
    Prepare(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->Parameters.DeviceIoControl.IoControlCode = ioctl;
    next->Parameters.Others.Argument1 = useUrb ? &urb : argument1;
    if (cancelOnTheWay) {
        IoCancelIrp(irp_);
    }
    handedDown_ = true;
    return IoCallDriver(child.DeviceObject(), irp_);
}

NTSTATUS ClassIrp::QueryInterface(XusbChild& child, const GUID* type, USHORT size, USHORT version,
                                  PINTERFACE iface) {
    Prepare(IRP_MJ_PNP);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = type;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = iface;
    return IoCallDriver(child.DeviceObject(), irp_);
}

void BuildDescriptorRequest(URB* urb, UCHAR type, PVOID buffer, ULONG length, PMDL mdl) {
    RtlZeroMemory(urb, sizeof(*urb));
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                                 mdl, length, nullptr);
}

void BuildInterruptTransfer(URB* urb, ULONG pipeHandle, PVOID buffer, ULONG length, PMDL mdl) {
    RtlZeroMemory(urb, sizeof(*urb));
    UsbBuildInterruptOrBulkTransferRequest(
        urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
        reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(pipeHandle)), buffer, mdl, length,
        (pipeHandle & 0x80) ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
}

void BuildControlTransfer(URB* urb, const UCHAR (&setup)[8], PVOID buffer, ULONG length, PMDL mdl) {
    RtlZeroMemory(urb, sizeof(*urb));
    urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb->UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
    urb->UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_DEFAULT_PIPE_TRANSFER;
    urb->UrbControlTransfer.TransferBuffer = buffer;
    urb->UrbControlTransfer.TransferBufferMDL = mdl;
    urb->UrbControlTransfer.TransferBufferLength = length;
    RtlCopyMemory(urb->UrbControlTransfer.SetupPacket, setup, sizeof(setup));
}

} // namespace quillex_test
