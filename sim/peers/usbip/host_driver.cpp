// The export's host side as a WDM driver (its skeleton:
// sim/peers/wdm/function_driver.h): the devices it adds over the children it
// is installed on, on their hub ports, and the list the USB/IP server reads.
#include "sim/peers/usbip/host_device.h"
#include "sim/peers/wdm/function_driver.h"

namespace sim::usbip {
namespace {

using Driver = peers::FunctionDriver<HostDevice>;

// The lowest hub port no present device holds, as a hub numbers its ports.
unsigned FreePort(const std::vector<std::shared_ptr<HostDevice>>& devices) {
    for (unsigned port = 1;; ++port) {
        bool taken = false;
        for (const auto& device : devices) {
            taken = taken || (device->Present() && device->Port() == port);
        }
        if (!taken) {
            return port;
        }
    }
}

} // namespace

std::shared_ptr<HostDevice>
HostDevice::Make(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo,
                 const std::vector<std::shared_ptr<HostDevice>>& others) {
    return std::make_shared<HostDevice>(device, lower, pdo, FreePort(others));
}

pnp::DriverPackage Package() {
    // Bound by the IDs the Xbox 360 class driver's INF names, in its place.
    return pnp::DriverPackage{
        "usbip-host",
        Driver::Entry,
        {"USB\\VID_045E&PID_028E", "USB\\MS_COMP_XUSB10", "USB\\Class_FF&SubClass_5D&Prot_01"}};
}

std::vector<std::shared_ptr<HostDevice>> Devices() {
    return Driver::All();
}

std::shared_ptr<HostDevice> WaitForDevice(PDEVICE_OBJECT pdo, std::chrono::milliseconds limit) {
    return Driver::WaitFor(pdo, limit);
}

void Forget() {
    Driver::Forget();
}

} // namespace sim::usbip
