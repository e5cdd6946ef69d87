// The USB/IP wire format, version 1.1.1: the operations a host sends before it
// imports a device (device list, import) and the URB traffic after it
// (submit, unlink, and their answers). Every number is big-endian on the
// wire; the 8-byte USB setup packet travels as the bus has it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <vector>

namespace usbip_wire {

inline constexpr uint16_t kVersion = 0x0111;

inline constexpr uint16_t kOpReqDevlist = 0x8005;
inline constexpr uint16_t kOpRepDevlist = 0x0005;
inline constexpr uint16_t kOpReqImport = 0x8003;
inline constexpr uint16_t kOpRepImport = 0x0003;
inline constexpr uint32_t kOpStatusOk = 0;
inline constexpr uint32_t kOpStatusError = 1;

inline constexpr uint32_t kCmdSubmit = 1;
inline constexpr uint32_t kCmdUnlink = 2;
inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;

inline constexpr size_t kOpHeaderLength = 8;
inline constexpr size_t kBusIdLength = 32;
inline constexpr size_t kPathLength = 256;
inline constexpr size_t kDeviceBlockLength = 312;
inline constexpr size_t kUrbHeaderLength = 48;

// The largest transfer a request may carry: a control transfer's wLength
// cannot say more, and the emulated controller's endpoints move 32 bytes.
inline constexpr int32_t kMaxTransferLength = 65535;

// USB speeds as USB/IP numbers them.
inline constexpr uint32_t kSpeedFull = 2;
inline constexpr uint32_t kSpeedHigh = 3;

struct OpHeader {
    uint16_t version = kVersion;
    uint16_t code = 0;
    uint32_t status = kOpStatusOk;
};

// What a device list or an import tells of a device.
struct DeviceInfo {
    std::string path;
    std::string busId;
    uint32_t busNumber = 1;
    uint32_t deviceNumber = 0;
    uint32_t speed = kSpeedFull;
    uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
    uint8_t configurationValue = 0, configurationCount = 0, interfaceCount = 0;
    // Class, subclass and protocol of each interface, as the configuration lists them.
    std::vector<std::array<uint8_t, 3>> interfaces;
};

// Builds what a host is told of a device from its device descriptor and its
// whole configuration; false when they do not parse.
bool DescribeDevice(const std::vector<uint8_t>& deviceDescriptor,
                    const std::vector<uint8_t>& configuration, DeviceInfo* info);

// A URB packet's 48-byte header. Submit and unlink use different fields.
struct UrbHeader {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0; // 0 out, 1 in
    uint32_t ep = 0;
    // CMD_SUBMIT
    uint32_t transferFlags = 0;
    int32_t transferBufferLength = 0;
    int32_t startFrame = 0;
    int32_t numberOfPackets = 0;
    int32_t interval = 0;
    std::array<uint8_t, 8> setup{};
    // CMD_UNLINK
    uint32_t unlinkSeqnum = 0;
};

void PutOpHeader(std::vector<uint8_t>* out, const OpHeader& header);
OpHeader GetOpHeader(const uint8_t* bytes); // kOpHeaderLength bytes
// The device block (312 bytes), followed by its interface list when asked.
void PutDevice(std::vector<uint8_t>* out, const DeviceInfo& info, bool withInterfaces);
UrbHeader GetUrbHeader(const uint8_t* bytes); // kUrbHeaderLength bytes
void PutUrbHeader(std::vector<uint8_t>* out, const UrbHeader& header);

// Why a CMD_SUBMIT for the device 'devid' cannot be taken; empty when it can.
std::string CheckSubmit(const UrbHeader& header, uint32_t devid);
// Why a CMD_UNLINK cannot be taken; empty when it can.
std::string CheckUnlink(const UrbHeader& header, uint32_t devid);

std::vector<uint8_t> RetSubmit(uint32_t seqnum, int32_t status, uint32_t actualLength,
                               const std::vector<uint8_t>& data);
std::vector<uint8_t> RetUnlink(uint32_t seqnum, int32_t status);

// Big-endian numbers.
void Put16(std::vector<uint8_t>* out, uint16_t value);
void Put32(std::vector<uint8_t>* out, uint32_t value);
uint16_t Get16(const uint8_t* bytes);
uint32_t Get32(const uint8_t* bytes);

} // namespace usbip_wire
