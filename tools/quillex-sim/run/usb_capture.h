// --pcap FILE: every URB the class driver sends the emulated controller, and
// its completion, in a capture file Wireshark and tshark read (pcap, link
// type USBPcap).
#pragma once

#include <pcap/pcap.h>

#include <map>
#include <mutex>
#include <string>

#include "sim/peers/xbox/urb_trace.h"

class UsbCapture {
  public:
    UsbCapture() = default;
    ~UsbCapture();
    UsbCapture(const UsbCapture&) = delete;
    UsbCapture& operator=(const UsbCapture&) = delete;

    // Creates the file; false with libpcap's reason.
    bool Open(const std::string& path, std::string* error);
    // The observer to give the class driver; it writes every event.
    sim::xbox::UrbObserver Observer();
    // Flushes and closes; false with the reason when the file is incomplete.
    bool Close(std::string* error);
    size_t Packets() const;

  private:
    void Write(const sim::xbox::UrbEvent& event);
    void Packet(const sim::xbox::UrbEvent& event, bool completion, int stage, const uint8_t* data,
                size_t length);

    mutable std::mutex lock_;
    pcap_t* pcap_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
    std::map<const void*, uint16_t> devices_; // each emulated controller's device address
    size_t packets_ = 0;
};
