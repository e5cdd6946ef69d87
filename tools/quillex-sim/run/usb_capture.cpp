#include "tools/quillex-sim/run/usb_capture.h"

#include <string.h>
#include <sys/time.h>

#include <vector>

namespace {

// Wireshark's link type for USBPcap captures.
constexpr int kLinkTypeUsbPcap = 249;

// Control transfer stages in the USBPcap header.
constexpr int kStageSetup = 0;
constexpr int kStageData = 1;
constexpr int kStageStatus = 2;
constexpr int kNoStage = -1;

void Put16(std::vector<uint8_t>* out, size_t at, uint16_t v) {
    (*out)[at] = static_cast<uint8_t>(v);
    (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

} // namespace

UsbCapture::~UsbCapture() {
    std::string ignored;
    Close(&ignored);
}

bool UsbCapture::Open(const std::string& path, std::string* error) {
    pcap_ = pcap_open_dead(kLinkTypeUsbPcap, 65535);
    if (pcap_ == nullptr) {
        *error = path + ": libpcap could not start a capture";
        return false;
    }
    dumper_ = pcap_dump_open(pcap_, path.c_str());
    if (dumper_ == nullptr) {
        *error = pcap_geterr(pcap_);
        pcap_close(pcap_);
        pcap_ = nullptr;
        return false;
    }
    return true;
}

sim::xbox::UrbObserver UsbCapture::Observer() {
    return [this](const sim::xbox::UrbEvent& event) { Write(event); };
}

void UsbCapture::Write(const sim::xbox::UrbEvent& event) {
    std::lock_guard<std::mutex> guard(lock_);
    if (dumper_ == nullptr) {
        return;
    }
    if (event.transfer != sim::xbox::UrbEvent::kControl) {
        Packet(event, event.completion, kNoStage, event.data.data(), event.data.size());
        return;
    }
    // A control transfer: its setup stage on the way down; once back, its
    // data stage when it carried data, then its status stage.
    if (!event.completion) {
        Packet(event, false, kStageSetup, event.setup, sizeof(event.setup));
        if (!event.data.empty()) {
            Packet(event, false, kStageData, event.data.data(), event.data.size());
        }
        return;
    }
    if (!event.data.empty()) {
        Packet(event, true, kStageData, event.data.data(), event.data.size());
    }
    Packet(event, true, kStageStatus, nullptr, 0);
}

void UsbCapture::Packet(const sim::xbox::UrbEvent& event, bool completion, int stage,
                        const uint8_t* data, size_t length) {
    size_t headerLength = stage == kNoStage ? 27 : 28;
    std::vector<uint8_t> packet(headerLength + length, 0);
    auto device = devices_.emplace(event.device, static_cast<uint16_t>(devices_.size() + 1)).first;
    Put16(&packet, 0, static_cast<uint16_t>(headerLength));
    for (int i = 0; i < 8; ++i) {
        packet[2 + i] = static_cast<uint8_t>(event.irpId >> (8 * i));
    }
    Put32(&packet, 10, completion ? static_cast<uint32_t>(event.usbdStatus) : 0);
    Put16(&packet, 14, event.function);
    packet[16] = completion ? 1 : 0;
    Put16(&packet, 17, 1); // bus
    Put16(&packet, 19, device->second);
    packet[21] = event.endpoint;
    packet[22] = event.transfer;
    Put32(&packet, 23, static_cast<uint32_t>(length));
    if (stage != kNoStage) {
        packet[27] = static_cast<uint8_t>(stage);
    }
    if (length != 0) {
        memcpy(packet.data() + headerLength, data, length);
    }
    pcap_pkthdr header{};
    gettimeofday(&header.ts, nullptr);
    header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, packet.data());
    ++packets_;
}

bool UsbCapture::Close(std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    bool ok = true;
    if (dumper_ != nullptr) {
        if (pcap_dump_flush(dumper_) != 0) {
            *error = "the capture could not be flushed to the disk";
            ok = false;
        }
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    if (pcap_ != nullptr) {
        pcap_close(pcap_);
        pcap_ = nullptr;
    }
    return ok;
}

size_t UsbCapture::Packets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return packets_;
}
