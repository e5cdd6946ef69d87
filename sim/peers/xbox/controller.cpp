// One instance of the class driver: its thread, the requests it sends down
// and waits for, and the enumeration it plays on start.
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>

#include "sim/core/utf.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/wdm/send.h"
#include "sim/peers/xbox/class_driver.h"

namespace sim::xbox {
namespace {

constexpr USHORT kLanguageUsEnglish = 0x0409;
// A USB stack asks for a device descriptor with room for the largest one.
constexpr ULONG kDeviceDescriptorRequest = 64;
constexpr ULONG kMaxConfigurationLength = 4096;

// The vendor requests it sends once configured, and how much each reads.
constexpr UCHAR kVendorRequestLengths[] = {20, 8, 4};

} // namespace

Controller::Controller(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo,
                       const Options& options)
    : device_(device), lower_(lower), pdo_(pdo), options_(options) {}

Controller::~Controller() {
    // The thread went with the removal; one that never was removed stops here.
    std::shared_ptr<pnp::PnpThread> thread;
    {
        std::lock_guard<std::mutex> guard(threadLock_);
        thread.swap(thread_);
    }
    thread.reset();
    if (!outstanding_.empty()) {
        fprintf(stderr, "xusb22: instance destroyed with %zu endpoint 1 transfer(s) still out\n",
                outstanding_.size());
        abort();
    }
    for (auto& transfer : transfers_) {
        IoFreeIrp(transfer->irp);
    }
}

void Controller::Run(std::function<void()> work) {
    std::shared_ptr<pnp::PnpThread> thread;
    bool here;
    {
        std::lock_guard<std::mutex> guard(threadLock_);
        here = std::this_thread::get_id() == threadId_;
        // No reference is taken to the thread this runs on: a restart may
        // replace it meanwhile, and the last reference dropped on the thread
        // itself would have it join itself.
        if (!here) {
            thread = thread_;
            runs_ += thread != nullptr ? 1 : 0;
        }
    }
    if (here) {
        work(); // already on it: the work of a request it is sending
    } else if (thread != nullptr) {
        thread->Run(std::move(work));
        std::lock_guard<std::mutex> guard(threadLock_);
        --runs_;
        runsDone_.notify_all();
    }
}

NTSTATUS Controller::CallLower(PIRP irp, KIRQL irql) {
    return peers::SendAndWait(lower_, irp, irql, "xusb22");
}

NTSTATUS Controller::CallUrb(PURB urb, KIRQL irql) {
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    peers::FormatUrbSubmission(irp, urb);
    Observe(irp, urb, false);
    NTSTATUS status = CallLower(irp, irql);
    Observe(irp, urb, true);
    IoFreeIrp(irp);
    return status;
}

void Controller::Observe(PIRP irp, const URB* urb, bool completion) {
    if (!options_.urbObserver) {
        return;
    }
    UrbEvent event;
    auto endpointOf = [this](ULONG_PTR handle) -> UCHAR {
        std::lock_guard<std::mutex> guard(lock_);
        for (const Pipe& pipe : pipes_) {
            if (pipe.handle == handle) {
                return pipe.endpointAddress;
            }
        }
        return 0;
    };
    if (DescribeUrb(*urb, completion, endpointOf, &event)) {
        event.device = pdo_;
        event.irpId = reinterpret_cast<uint64_t>(irp);
        options_.urbObserver(event);
    }
}

NTSTATUS Controller::SubmitUrb(PURB urb, KIRQL irql) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    Run([&] { status = CallUrb(urb, irql); });
    return status;
}

NTSTATUS Controller::SendInternalIoctl(ULONG code, PVOID argument1, ULONG_PTR* information,
                                       KIRQL irql) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    Run([&] {
        PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
        if (irp == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument1;
        irp->IoStatus.Information = ~static_cast<ULONG_PTR>(0); // to see what the device sets
        status = CallLower(irp, irql);
        if (information != nullptr) {
            *information = irp->IoStatus.Information;
        }
        IoFreeIrp(irp);
    });
    return status;
}

NTSTATUS Controller::QueryInterface(const GUID& type, USHORT size, USHORT version,
                                    PINTERFACE iface) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    Run([&] {
        PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
        if (irp == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        // A PnP request starts as not supported, as every sender sets it.
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_INTERFACE;
        next->Parameters.QueryInterface.InterfaceType = &type;
        next->Parameters.QueryInterface.Size = size;
        next->Parameters.QueryInterface.Version = version;
        next->Parameters.QueryInterface.Interface = iface;
        status = CallLower(irp, PASSIVE_LEVEL);
        IoFreeIrp(irp);
    });
    return status;
}

void Controller::Record(Step step) {
    std::lock_guard<std::mutex> guard(lock_);
    steps_.push_back(std::move(step));
}

NTSTATUS Controller::GetDescriptor(UCHAR type, UCHAR index, USHORT language, ULONG length,
                                   const char* what, std::vector<uint8_t>* data) {
    data->assign(length, 0);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 language, data->data(), nullptr, length, nullptr);
    NTSTATUS status = CallUrb(&urb, PASSIVE_LEVEL);
    status = Returned(status, urb, length, data);
    Record(Step{what, status, urb.UrbHeader.Status, *data});
    return status;
}

NTSTATUS Controller::Returned(NTSTATUS status, const URB& urb, ULONG asked,
                              std::vector<uint8_t>* data) {
    // A USB stack always answers with a USBD status; one left pending on a
    // completed request is a broken device below.
    if (NT_SUCCESS(status) && urb.UrbHeader.Status == USBD_STATUS_PENDING) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    // Only the bytes the URB says came back count; the rest of the buffer is
    // whatever it held before.
    ULONG length = urb.UrbControlTransfer.TransferBufferLength; // one offset in each layout
    data->resize(NT_SUCCESS(status) ? std::min(length, asked) : 0);
    return status;
}

NTSTATUS Controller::SelectConfiguration() {
    std::vector<uint8_t> configuration = Configuration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    if (interface == nullptr) {
        Record(Step{"select configuration: no interface", STATUS_DEVICE_DATA_ERROR, 0, {}});
        return STATUS_DEVICE_DATA_ERROR;
    }
    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = CallUrb(urb, PASSIVE_LEVEL);
    Record(Step{"select configuration", status, urb->UrbHeader.Status, {}});
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        std::lock_guard<std::mutex> guard(lock_);
        pipes_.clear();
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION& p = info->Pipes[i];
            Pipe pipe;
            pipe.endpointAddress = p.EndpointAddress;
            pipe.type = p.PipeType;
            pipe.maximumPacketSize = p.MaximumPacketSize;
            pipe.interval = p.Interval;
            pipe.handle = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p.PipeHandle));
            pipes_.push_back(pipe);
            if (p.PipeType == UsbdPipeTypeInterrupt) {
                ((p.EndpointAddress & 0x80) ? ep1Handle_ : ep2Handle_) = pipe.handle;
            }
        }
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS Controller::Enumerate() {
    NTSTATUS status = STATUS_SUCCESS;
    auto finish = [&](NTSTATUS result) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            enumeration_ = result;
            if (state_ == State::Started) {
                state_ = NT_SUCCESS(result) ? State::Configured : State::EnumerationFailed;
            }
        }
        changed_.notify_all();
        return result;
    };

    USB_BUS_INTERFACE_USBDI_V1 bus{};
    status = QueryInterface(USB_BUS_INTERFACE_USBDI_GUID, sizeof(bus), USB_BUSIF_USBDI_VERSION_1,
                            reinterpret_cast<PINTERFACE>(&bus));
    Record(Step{"USBDI bus interface, version 1", status, 0, {}});
    if (NT_SUCCESS(status)) {
        USBD_VERSION_INFORMATION version{};
        ULONG capabilities = 0;
        // The provider took the interface's first reference; ours to drop on removal.
        bus.GetUSBDIVersion(bus.BusContext, &version, &capabilities);
        BOOLEAN highSpeed = bus.IsDeviceHighSpeed(bus.BusContext);
        std::lock_guard<std::mutex> guard(lock_);
        busInterface_ = bus;
        usbdVersion_ = version;
        hcdCapabilities_ = capabilities;
        highSpeed_ = highSpeed;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        busInterfaceStatus_ = status;
    }
    if (!NT_SUCCESS(status)) {
        return finish(status);
    }

    std::vector<uint8_t> device;
    status = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, kDeviceDescriptorRequest,
                           "device descriptor", &device);
    if (NT_SUCCESS(status) &&
        (device.size() < sizeof(USB_DEVICE_DESCRIPTOR) ||
         device[0] != sizeof(USB_DEVICE_DESCRIPTOR) || device[1] != USB_DEVICE_DESCRIPTOR_TYPE)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        return finish(status);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        deviceDescriptor_ = device;
    }

    // The configuration descriptor alone tells how long the whole set is.
    std::vector<uint8_t> header;
    status =
        GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                      "configuration descriptor", &header);
    if (NT_SUCCESS(status) && header.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    ULONG total = NT_SUCCESS(status) ? header[2] | header[3] << 8 : 0;
    if (NT_SUCCESS(status) &&
        (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > kMaxConfigurationLength)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        return finish(status);
    }
    std::vector<uint8_t> configuration;
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total, "configuration",
                           &configuration);
    if (NT_SUCCESS(status) &&
        (configuration.size() != total ||
         static_cast<ULONG>(configuration[2] | configuration[3] << 8) != total)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        return finish(status);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        configuration_ = configuration;
    }

    // The product string: its header first, for its length.
    UCHAR iProduct = device[15];
    std::vector<uint8_t> string;
    status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, iProduct, kLanguageUsEnglish, 2,
                           "product string header", &string);
    UCHAR stringLength = NT_SUCCESS(status) && string.size() >= 2 ? string[0] : 0;
    if (NT_SUCCESS(status) && (stringLength < 2 || string[1] != USB_STRING_DESCRIPTOR_TYPE)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (NT_SUCCESS(status)) {
        status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, iProduct, kLanguageUsEnglish,
                               stringLength, "product string", &string);
    }
    if (!NT_SUCCESS(status)) {
        return finish(status);
    }
    // The characters that came back, within the length the descriptor claims.
    size_t stringEnd = std::min<size_t>(string.size(), string.empty() ? 0 : string[0]);
    std::vector<WCHAR> text;
    for (size_t i = 2; i + 1 < stringEnd; i += 2) {
        text.push_back(static_cast<WCHAR>(string[i] | string[i + 1] << 8));
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        product_ = sim::Utf16ToUtf8(text.data(), text.size());
    }

    status = SelectConfiguration();
    if (!NT_SUCCESS(status)) {
        return finish(status);
    }

    for (UCHAR length : kVendorRequestLengths) {
        std::vector<uint8_t> answer(length, 0);
        URB urb{};
        urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
        urb.UrbControlTransfer.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_DEFAULT_PIPE_TRANSFER;
        urb.UrbControlTransfer.TransferBuffer = answer.data();
        urb.UrbControlTransfer.TransferBufferLength = length;
        // Vendor, device to host, to the interface; the length asked for last.
        const UCHAR setup[8] = {0xC1, 0x01, 0x00, 0x01, 0x00, 0x00, length, 0x00};
        RtlCopyMemory(urb.UrbControlTransfer.SetupPacket, setup, sizeof(setup));
        status = CallUrb(&urb, PASSIVE_LEVEL);
        status = Returned(status, urb, length, &answer);
        Record(Step{"vendor request", status, urb.UrbHeader.Status, answer});
        if (!NT_SUCCESS(status)) {
            return finish(status);
        }
    }

    // Configured: it polls endpoint 1 and lights its LED before it says so.
    if (options_.transfers != 0) {
        StartTransfers(options_.transfers);
    }
    if (options_.startLed >= 0) {
        // All four lights blinking: the controller has no player.
        constexpr int kNoPlayerLed = 0x01;
        int player = TakePlayer();
        int command = player != 0 ? options_.startLed + player - 1 : kNoPlayerLed;
        {
            std::lock_guard<std::mutex> guard(lock_);
            ledCommand_ = command;
        }
        SendLed(static_cast<UCHAR>(command));
    }
    return finish(STATUS_SUCCESS);
}

int Controller::LedCommand() const {
    return Locked(ledCommand_);
}

Controller::State Controller::GetState() const {
    return Locked(state_);
}

NTSTATUS Controller::WaitConfigured(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!changed_.wait_for(guard, limit, [this] { return enumeration_ != STATUS_PENDING; })) {
        return STATUS_TIMEOUT;
    }
    return enumeration_;
}

std::vector<Controller::Step> Controller::Steps() const {
    return Locked(steps_);
}

std::vector<uint8_t> Controller::DeviceDescriptor() const {
    return Locked(deviceDescriptor_);
}

std::vector<uint8_t> Controller::Configuration() const {
    return Locked(configuration_);
}

std::string Controller::Product() const {
    return Locked(product_);
}

std::vector<Controller::Pipe> Controller::Pipes() const {
    return Locked(pipes_);
}

NTSTATUS Controller::BusInterfaceStatus() const {
    return Locked(busInterfaceStatus_);
}

USB_BUS_INTERFACE_USBDI_V1 Controller::BusInterface() const {
    return Locked(busInterface_);
}

USBD_VERSION_INFORMATION Controller::UsbdVersion() const {
    return Locked(usbdVersion_);
}

ULONG Controller::HcdCapabilities() const {
    return Locked(hcdCapabilities_);
}

BOOLEAN Controller::HighSpeed() const {
    return Locked(highSpeed_);
}

} // namespace sim::xbox
