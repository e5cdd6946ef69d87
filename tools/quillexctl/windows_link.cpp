// The device link on Windows: the stick's own device interface, found by
// SetupDi among the present interfaces of Quillex's class (the driver creates
// one per stick with GUID_DEVINTERFACE_QUILLEX) and opened with read and
// write access; requests are DeviceIoControl calls with the control codes of
// appapi/quillex_public.h, the header the driver dispatches on.
#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>

#include <string>
#include <utility>
#include <vector>

// The one source of quillexctl that defines the interface class's GUID.
#include <initguid.h>

#include "appapi/quillex_public.h"
#include "tools/quillexctl/device_link.h"
#include "tools/quillexctl/win32_text.h"

namespace {

// The statuses the driver completes with, from the Win32 errors that the I/O
// manager turns them into; 0 for an error no status of the driver gives.
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
        return 0;
    }
}

class WindowsLink : public DeviceLink {
  public:
    WindowsLink(HANDLE handle, std::string devicePath)
        : handle_(handle), devicePath_(std::move(devicePath)) {}
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
        if (!result.ok) {
            result.win32 = GetLastError();
            result.status = StatusOf(result.win32);
            result.message = "the request failed: " + Win32Text(result.win32);
            result.out.clear();
            return result;
        }
        // As long as the driver said, never longer than the buffer.
        result.out.resize(returned < outputLength ? returned : outputLength);
        return result;
    }

    std::string Identity() const override { return devicePath_; }

  private:
    HANDLE handle_;
    std::string devicePath_; // UTF-8
};

std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

// How many Quillex interfaces are present in 'set'.
unsigned CountInterfaces(HDEVINFO set) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    unsigned n = 0;
    while (n < 64 &&
           SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_QUILLEX, n, &data)) {
        ++n;
    }
    return n;
}

// The interface's path, for CreateFile; FALSE with *lastError.
BOOL InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, std::wstring* path,
                   DWORD* lastError) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                 ? size
                                 : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(*detail);
    BOOL got =
        size != 0 && SetupDiGetDeviceInterfaceDetailW(set, data, detail, size, nullptr, nullptr);
    *lastError = GetLastError();
    if (got) {
        *path = detail->DevicePath;
    }
    return got;
}

} // namespace

bool ListLocalDevices(std::vector<std::string>* interfaces, std::string* error) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_QUILLEX, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        *error = "cannot list the Quillex sticks: SetupDiGetClassDevs failed: " +
                 Win32Text(GetLastError());
        return false;
    }
    interfaces->clear();
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0;
         i < 64 && SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_QUILLEX, i, &data);
         ++i) {
        std::wstring path;
        DWORD lastError = 0;
        // A path that cannot be read is listed empty: that stick is opened.
        interfaces->push_back(InterfacePath(set, &data, &path, &lastError) ? Utf8(path.c_str())
                                                                           : std::string());
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

std::unique_ptr<DeviceLink> OpenLocalDevice(unsigned device, std::string* error) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_QUILLEX, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        *error = "cannot list the Quillex sticks: SetupDiGetClassDevs failed: " +
                 Win32Text(GetLastError());
        return nullptr;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_QUILLEX, device, &data)) {
        DWORD why = GetLastError();
        unsigned count = CountInterfaces(set);
        SetupDiDestroyDeviceInfoList(set);
        if (why != ERROR_NO_MORE_ITEMS) {
            *error = "cannot list the Quillex sticks: " + Win32Text(why);
        } else if (count == 0) {
            *error = "no Quillex stick found: plug the stick in, and check in Device Manager\n"
                     "  that quillex.sys is installed for it (INSTALL.md)";
        } else {
            // Sticks are named to the player from 1, as quillex-sim numbers them.
            *error = "no stick " + std::to_string(device + 1) +
                     " to open: " + std::to_string(count) + " Quillex stick" +
                     (count == 1 ? " is" : "s are") + " plugged in (--stick 1 to " +
                     std::to_string(count) + ")";
        }
        return nullptr;
    }
    std::wstring path;
    DWORD lastError = 0;
    BOOL got = InterfacePath(set, &data, &path, &lastError);
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string devicePath;
    if (got) {
        devicePath = Utf8(path.c_str());
        // Every control code needs read access, the writing ones write access.
        handle =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        lastError = GetLastError();
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!got) {
        *error = "the stick's interface has no usable path: " + Win32Text(lastError);
        return nullptr;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        *error = "cannot open stick " + std::to_string(device + 1) + ": " + Win32Text(lastError);
        return nullptr;
    }
    return std::make_unique<WindowsLink>(handle, std::move(devicePath));
}

#endif // _WIN32
