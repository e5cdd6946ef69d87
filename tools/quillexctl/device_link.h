// How quillexctl reaches the driver: a device control request on a stick's
// interface, with the status it completed with. Two sides: on Windows the
// stick's device interface itself (SetupDi enumeration, CreateFile,
// DeviceIoControl); here a `quillex-sim --serve` machine over its socket.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

struct LinkResult {
    bool ok = false;
    uint32_t status = 0;      // NTSTATUS the request completed with
    uint32_t win32 = 0;       // the Win32 error it became
    std::string message;      // when the request could not be carried at all
    std::vector<uint8_t> out; // the reply, as long as the driver said
};

class DeviceLink {
  public:
    virtual ~DeviceLink() = default;
    virtual LinkResult Control(uint32_t code, const std::vector<uint8_t>& input,
                               size_t outputLength) = 0;
    // The path of the interface it is open on: it names this stick and no
    // other, while an index moves when an earlier stick is unplugged. Empty
    // when the link cannot tell.
    virtual std::string Identity() const { return std::string(); }
};

// The stick with this index (0 the first; the player names it index + 1) on the machine behind a
// `quillex-sim --serve SOCKET`. Null with *error on failure.
std::unique_ptr<DeviceLink> ConnectToServer(const std::string& socketPath, unsigned device,
                                            std::string* error);

// The interface of each stick on that machine, in the order of the indexes
// above, opening none of them; false with *error when the machine cannot be
// asked.
bool ListServerSticks(const std::string& socketPath, std::vector<std::string>* interfaces,
                      std::string* error);

#ifdef _WIN32
// The stick with this index among the present interfaces of Quillex's class
// (in the order SetupDi enumerates them).
std::unique_ptr<DeviceLink> OpenLocalDevice(unsigned device, std::string* error);
// The path of each present interface of Quillex's class, in that order.
bool ListLocalDevices(std::vector<std::string>* interfaces, std::string* error);
#endif
