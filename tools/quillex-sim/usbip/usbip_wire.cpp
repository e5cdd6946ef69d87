#include "tools/quillex-sim/usbip/usbip_wire.h"

#include <string.h>

namespace usbip_wire {

void Put16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value));
}

uint16_t Get16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t Get32(const uint8_t* bytes) {
    return static_cast<uint32_t>(Get16(bytes)) << 16 | Get16(bytes + 2);
}

namespace {

void PutText(std::vector<uint8_t>* out, const std::string& text, size_t field) {
    // NUL-padded, and always NUL-terminated within its field.
    size_t count = text.size() < field ? text.size() : field - 1;
    out->insert(out->end(), text.begin(), text.begin() + count);
    out->insert(out->end(), field - count, 0);
}

uint16_t Little16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

} // namespace

bool DescribeDevice(const std::vector<uint8_t>& device, const std::vector<uint8_t>& configuration,
                    DeviceInfo* info) {
    if (device.size() < 18 || device[0] < 18 || device[1] != 1 || configuration.size() < 9 ||
        configuration[1] != 2 || Little16(&configuration[2]) != configuration.size()) {
        return false;
    }
    info->vendorId = Little16(&device[8]);
    info->productId = Little16(&device[10]);
    info->bcdDevice = Little16(&device[12]);
    info->deviceClass = device[4];
    info->deviceSubClass = device[5];
    info->deviceProtocol = device[6];
    info->configurationCount = device[17];
    info->configurationValue = configuration[5];
    info->interfaceCount = configuration[4];
    info->interfaces.clear();
    // Each interface in its first alternate setting, in the configuration's order.
    for (size_t at = configuration[0]; at + 2 <= configuration.size();) {
        uint8_t length = configuration[at];
        if (length < 2 || at + length > configuration.size()) {
            return false;
        }
        if (configuration[at + 1] == 4 && length >= 9 && configuration[at + 3] == 0) {
            info->interfaces.push_back(
                {configuration[at + 5], configuration[at + 6], configuration[at + 7]});
        }
        at += length;
    }
    return info->interfaces.size() == info->interfaceCount;
}

void PutOpHeader(std::vector<uint8_t>* out, const OpHeader& header) {
    Put16(out, header.version);
    Put16(out, header.code);
    Put32(out, header.status);
}

OpHeader GetOpHeader(const uint8_t* bytes) {
    OpHeader header;
    header.version = Get16(bytes);
    header.code = Get16(bytes + 2);
    header.status = Get32(bytes + 4);
    return header;
}

void PutDevice(std::vector<uint8_t>* out, const DeviceInfo& info, bool withInterfaces) {
    PutText(out, info.path, kPathLength);
    PutText(out, info.busId, kBusIdLength);
    Put32(out, info.busNumber);
    Put32(out, info.deviceNumber);
    Put32(out, info.speed);
    Put16(out, info.vendorId);
    Put16(out, info.productId);
    Put16(out, info.bcdDevice);
    out->push_back(info.deviceClass);
    out->push_back(info.deviceSubClass);
    out->push_back(info.deviceProtocol);
    out->push_back(info.configurationValue);
    out->push_back(info.configurationCount);
    out->push_back(info.interfaceCount);
    if (withInterfaces) {
        for (const auto& interface : info.interfaces) {
            out->insert(out->end(), interface.begin(), interface.end());
            out->push_back(0); // padding
        }
    }
}

UrbHeader GetUrbHeader(const uint8_t* bytes) {
    UrbHeader header;
    header.command = Get32(bytes);
    header.seqnum = Get32(bytes + 4);
    header.devid = Get32(bytes + 8);
    header.direction = Get32(bytes + 12);
    header.ep = Get32(bytes + 16);
    header.transferFlags = Get32(bytes + 20);
    header.transferBufferLength = static_cast<int32_t>(Get32(bytes + 24));
    header.startFrame = static_cast<int32_t>(Get32(bytes + 28));
    header.numberOfPackets = static_cast<int32_t>(Get32(bytes + 32));
    header.interval = static_cast<int32_t>(Get32(bytes + 36));
    memcpy(header.setup.data(), bytes + 40, header.setup.size());
    header.unlinkSeqnum = Get32(bytes + 20);
    return header;
}

void PutUrbHeader(std::vector<uint8_t>* out, const UrbHeader& header) {
    Put32(out, header.command);
    Put32(out, header.seqnum);
    Put32(out, header.devid);
    Put32(out, header.direction);
    Put32(out, header.ep);
    Put32(out, header.transferFlags);
    Put32(out, static_cast<uint32_t>(header.transferBufferLength));
    Put32(out, static_cast<uint32_t>(header.startFrame));
    Put32(out, static_cast<uint32_t>(header.numberOfPackets));
    Put32(out, static_cast<uint32_t>(header.interval));
    out->insert(out->end(), header.setup.begin(), header.setup.end());
}

std::string CheckSubmit(const UrbHeader& header, uint32_t devid) {
    if (header.devid != devid) {
        return "submit for device " + std::to_string(header.devid) + ", not the imported one";
    }
    if (header.direction > 1) {
        return "submit with direction " + std::to_string(header.direction);
    }
    if (header.ep > 15) {
        return "submit to endpoint " + std::to_string(header.ep);
    }
    if (header.transferBufferLength < 0 || header.transferBufferLength > kMaxTransferLength) {
        return "submit with transfer_buffer_length " + std::to_string(header.transferBufferLength);
    }
    // No endpoint of ours is isochronous: a packet count would announce
    // descriptors this server does not read.
    if (header.numberOfPackets != 0 && header.numberOfPackets != -1) {
        return "submit with number_of_packets " + std::to_string(header.numberOfPackets);
    }
    return std::string();
}

std::string CheckUnlink(const UrbHeader& header, uint32_t devid) {
    if (header.devid != devid) {
        return "unlink for device " + std::to_string(header.devid) + ", not the imported one";
    }
    return std::string();
}

std::vector<uint8_t> RetSubmit(uint32_t seqnum, int32_t status, uint32_t actualLength,
                               const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    out.reserve(kUrbHeaderLength + data.size());
    Put32(&out, kRetSubmit);
    Put32(&out, seqnum);
    Put32(&out, 0); // devid, direction and ep are 0 in answers
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, static_cast<uint32_t>(status));
    Put32(&out, actualLength);
    Put32(&out, 0);              // start_frame
    Put32(&out, 0);              // number_of_packets: not isochronous
    Put32(&out, 0);              // error_count
    out.insert(out.end(), 8, 0); // padding
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> RetUnlink(uint32_t seqnum, int32_t status) {
    std::vector<uint8_t> out;
    out.reserve(kUrbHeaderLength);
    Put32(&out, kRetUnlink);
    Put32(&out, seqnum);
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, static_cast<uint32_t>(status));
    out.insert(out.end(), 24, 0);
    return out;
}

} // namespace usbip_wire
