// The HID class's collection device below the filter: the PDO of one
// top-level collection, answering as hidclass does.
//
// - IOCTL_HID_GET_COLLECTION_INFORMATION and IOCTL_HID_GET_COLLECTION_DESCRIPTOR
//   (the preparsed data) from the report descriptor the device gave; both
//   refuse an output buffer too short for the answer with
//   STATUS_INVALID_BUFFER_SIZE. IOCTL_GET/SET_NUM_DEVICE_INPUT_BUFFERS and
//   IOCTL_HID_FLUSH_QUEUE work on the caller's open.
// - Every open has its own input ring (32 reports, 2 to 512 by
//   IOCTL_SET_NUM_DEVICE_INPUT_BUFFERS) and its own queue of waiting reads.
//   A report from the device completes the oldest waiting read of every open,
//   or goes into the ring of an open with no read waiting, the oldest report
//   dropped when it is full. A read takes the reports waiting in the ring, as
//   many whole reports as its buffer holds, or waits (cancellable). A read
//   shorter than InputReportByteLength fails with STATUS_INVALID_BUFFER_SIZE.
//   Cleanup of an open cancels its waiting reads.
// - Reports are InputReportByteLength bytes. With report ids, byte 0 is the
//   id. Without, the report is delivered as the device sent it, followed by
//   one zero byte where Windows's HID class would put a zero id byte in front;
//   the simulated sticks' raw layouts are defined from their first byte.
// - Requests a test told it how to answer (AnswerMajor, AnswerIoctl) are
//   answered that way; requests it does not know are answered as the
//   recording model answers them. Every request is recorded.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include <hidclass.h>

#include "sim/hid/descriptor_parser.h"
#include "sim/hid/lower_device.h"

namespace sim::hid {

class Collection : public hid::RecordingLowerDevice {
  public:
    static constexpr ULONG kDefaultInputBuffers = 32;
    static constexpr ULONG kMinInputBuffers = 2;
    static constexpr ULONG kMaxInputBuffers = 512;

    Collection(std::vector<uint8_t> reportDescriptor, uint16_t vendorId, uint16_t productId,
               uint16_t versionNumber = 0x0100);
    ~Collection() override;

    // HIDP_STATUS_SUCCESS, or why the descriptor was refused (the collection
    // then fails to start).
    NTSTATUS ParseStatus() const { return parsed_.status; }
    const ParsedCollection& Parsed() const { return parsed_; }
    const HIDP_CAPS& Caps() const { return caps_; }
    HID_COLLECTION_INFORMATION Information() const;

    // The device sent an input report: called from the device's own thread,
    // at any IRQL up to DISPATCH_LEVEL. STATUS_INVALID_PARAMETER for bytes
    // that are not one of the collection's input reports (unknown id, wrong
    // length), STATUS_DEVICE_NOT_CONNECTED once the collection is removed;
    // such reports reach no reader.
    NTSTATUS InputReport(const uint8_t* report, size_t length);

    // A fault of the HID class below, for tests: the next 'count' reads
    // that complete with reports return only their first 'bytes' bytes
    // (IoStatus.Information says so), though the whole report is in the
    // buffer: a reader that decodes past what the read returned shows.
    void ShortenNextReads(ULONG bytes, unsigned count = 1);

    // A lower driver may complete an open from a DPC: this collection
    // completes every 'every'th open it answers at DISPATCH_LEVEL (every
    // second by default; 1 for all, 0 for none).
    void CompleteOpensAtDispatch(unsigned every) { opensAtDispatchEvery_ = every; }
    uint64_t OpensCompletedAtDispatch() const { return opensAtDispatch_.load(); }

    size_t OpenCount() const;
    size_t WaitingReads() const;
    // Reports dropped from full rings, over all opens.
    uint64_t DroppedReports() const { return dropped_.load(); }

    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;
    NTSTATUS Start() override;
    void SurpriseRemoved() override;
    void Removed() override;

  private:
    // A read waiting for a report, with the buffer it was given.
    struct WaitingRead {
        PIRP irp;
        uint8_t* buffer;
        ULONG room;
    };
    struct Open {
        ULONG capacity = kDefaultInputBuffers;
        std::deque<std::vector<uint8_t>> ring;
        std::deque<WaitingRead> reads;
    };

    static DRIVER_CANCEL CancelRead;
    // As the I/O manager's share-access check: STATUS_SHARING_VIOLATION when
    // 'file' asks for access an open does not share, or shares less than an
    // open uses. Called with lock_.
    NTSTATUS CheckShareAccess(PFILE_OBJECT file) const;
    NTSTATUS Read(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS Control(PIRP irp, ULONG code);
    // Takes every waiting read of 'file' (all opens when null) whose cancel
    // routine can still be cleared.
    std::vector<PIRP> TakeReads(PFILE_OBJECT file);
    // Moves as many whole reports from the ring of 'open' into 'buffer' as fit.
    static ULONG_PTR Fill(Open& open, uint8_t* buffer, ULONG room);
    // What a completing read reports as returned: 'written', or less while
    // reads are being shortened. Called with lock_.
    ULONG_PTR Returned(ULONG_PTR written);
    NTSTATUS FailReads(std::vector<PIRP> reads, NTSTATUS status);

    std::vector<uint8_t> descriptor_;
    ParsedCollection parsed_;
    HIDP_CAPS caps_{};
    uint16_t vendorId_, productId_, versionNumber_;

    mutable std::mutex lock_;
    std::map<PFILE_OBJECT, Open> opens_;
    bool removed_ = false;
    ULONG shortBytes_ = 0;
    unsigned shortReads_ = 0;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<unsigned> opensAtDispatchEvery_{2};
    std::atomic<uint64_t> opensAnswered_{0};
    std::atomic<uint64_t> opensAtDispatch_{0};
};

} // namespace sim::hid
