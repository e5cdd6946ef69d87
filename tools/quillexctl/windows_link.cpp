// The device link on Windows: the stick's own device interface, found by
// SetupDi among the present interfaces of Quillex's class and opened with
// read and write access; requests are DeviceIoControl calls.
#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>

#include <vector>

#include "appapi/quillex_public.h"
#include "tools/quillexctl/device_link.h"

#pragma comment(lib, "setupapi.lib")

namespace {

const GUID kQuillexInterface = QUILLEX_INTERFACE_GUID_INITIALIZER;

// Win32 errors the driver's statuses become, back to the status for messages.
uint32_t StatusOf(DWORD error) {
    switch (error) {
    case ERROR_INSUFFICIENT_BUFFER:
        return 0xC0000023; // STATUS_BUFFER_TOO_SMALL
    case ERROR_INVALID_FUNCTION:
        return 0xC0000010; // STATUS_INVALID_DEVICE_REQUEST
    case ERROR_INVALID_PARAMETER:
        return 0xC000000D; // STATUS_INVALID_PARAMETER
    case ERROR_NOT_READY:
        return 0xC00000A3; // STATUS_DEVICE_NOT_READY
    case ERROR_ACCESS_DENIED:
        return 0xC0000022; // STATUS_ACCESS_DENIED
    default:
        return 0xC0000001; // STATUS_UNSUCCESSFUL
    }
}

class WindowsLink : public DeviceLink {
  public:
    explicit WindowsLink(HANDLE handle) : handle_(handle) {}
    ~WindowsLink() override { CloseHandle(handle_); }

    LinkResult Control(uint32_t code, const std::vector<uint8_t>& input,
                       size_t outputLength) override {
        LinkResult result;
        std::vector<uint8_t> in(input);
        result.out.resize(outputLength);
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(handle_, code, in.empty() ? nullptr : in.data(),
                                  static_cast<DWORD>(in.size()),
                                  result.out.empty() ? nullptr : result.out.data(),
                                  static_cast<DWORD>(result.out.size()), &returned, nullptr);
        result.ok = ok != FALSE;
        result.win32 = ok ? ERROR_SUCCESS : GetLastError();
        result.status = ok ? 0 : StatusOf(result.win32);
        result.out.resize(ok && returned < outputLength ? returned : (ok ? outputLength : 0));
        return result;
    }

  private:
    HANDLE handle_;
};

} // namespace

std::unique_ptr<DeviceLink> OpenLocalDevice(unsigned device, std::string* error) {
    HDEVINFO set = SetupDiGetClassDevsW(&kQuillexInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        *error = "SetupDiGetClassDevs failed: error " + std::to_string(GetLastError());
        return nullptr;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kQuillexInterface, device, &data)) {
        SetupDiDestroyDeviceInfoList(set);
        *error = "no Quillex stick number " + std::to_string(device) + " is plugged in";
        return nullptr;
    }
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(*detail);
    BOOL got =
        size != 0 && SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (got) {
        handle =
            CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    DWORD lastError = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = "cannot open the stick's interface: error " + std::to_string(lastError);
        return nullptr;
    }
    return std::make_unique<WindowsLink>(handle);
}

#endif // _WIN32
