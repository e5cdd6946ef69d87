// The bottom of a simulated arcade stick's device stack: the PDO of its HID
// collection, as the HID class driver owns it.
//
// The PnP side of the PDO (start, removal) is the bus's and is answered here;
// every other request that reaches the PDO goes to a LowerDevice, which a
// simulation of the HID class plugs in. RecordingLowerDevice is the model
// used until then: it records what reaches it and answers as told.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "ntddk.h"

namespace sim::hid {

class LowerDevice {
  public:
    virtual ~LowerDevice();

    // A request that reached the PDO (anything but PnP and power). The device
    // owns the IRP: it completes it now or later and returns its status, or
    // STATUS_PENDING after IoMarkIrpPending.
    virtual NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) = 0;

    // The bus's PnP events for the collection.
    virtual NTSTATUS Start() { return STATUS_SUCCESS; }
    virtual void SurpriseRemoved() {}
    virtual void Removed() {}

    // The PnP minor functions that reached the PDO, in order.
    std::vector<UCHAR> PnpLog() const;
    void NotePnp(UCHAR minor);

  private:
    mutable std::mutex pnpLock_;
    std::vector<UCHAR> pnpLog_;
};

// The driver object that owns every collection PDO (\Driver\HidUsb), and the
// LowerDevice behind a PDO.
PDRIVER_OBJECT CollectionDriverObject();
LowerDevice* LowerDeviceOf(PDEVICE_OBJECT pdo);

class RecordingLowerDevice : public LowerDevice {
  public:
    // One request as it arrived.
    struct Received {
        UCHAR major = 0;
        UCHAR minor = 0;
        ULONG ioControlCode = 0;  // device controls
        ULONG inputLength = 0;    // device controls
        ULONG outputLength = 0;   // device controls
        ULONG transferLength = 0; // reads and writes
        std::vector<UCHAR> input; // the bytes handed down (device controls, writes)
        PVOID systemBuffer = nullptr;
        PVOID type3InputBuffer = nullptr;
        PVOID userBuffer = nullptr;
        PFILE_OBJECT fileObject = nullptr;
        // Creates: the sharing and the create options asked for, and the
        // access the file object was granted.
        ULONG shareAccess = 0;
        ULONG createOptions = 0;
        bool readAccess = false;
        bool writeAccess = false;
        KPROCESSOR_MODE requestorMode = KernelMode;
        KIRQL irql = PASSIVE_LEVEL;
    };

    // How to answer: the status, the bytes to return (reads and device
    // controls; cut to the caller's buffer), or hold the IRP until
    // CompleteHeld() or its cancellation.
    struct Answer {
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<UCHAR> output;
        bool hold = false;
    };

    void AnswerMajor(UCHAR major, Answer answer);
    void AnswerIoctl(ULONG ioControlCode, Answer answer);

    // The requests received, oldest first; only the latest kLogLimit are kept
    // (a reader at 1 kHz would otherwise grow it without end). CountOf counts
    // every one since the last Clear.
    static constexpr size_t kLogLimit = 65536;
    std::vector<Received> Requests() const;
    size_t CountOf(UCHAR major) const;
    void Clear();

    size_t HeldCount() const;
    // Completes every held IRP that is not being cancelled; returns how many.
    size_t CompleteHeld(NTSTATUS status);

    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;
    // The collection is gone: held reads fail as the HID class fails them.
    void SurpriseRemoved() override;
    void Removed() override;

  protected:
    // Records a request as it arrived.
    Received Note(PDEVICE_OBJECT pdo, PIRP irp);
    // Whether a test told how to answer this request.
    bool Told(UCHAR major, ULONG code) const;
    // Answers a noted request as told (by default: success, no data).
    NTSTATUS AnswerAsTold(PDEVICE_OBJECT pdo, PIRP irp, const Received& r);

  private:
    static DRIVER_CANCEL CancelHeld;
    Answer AnswerFor(UCHAR major, ULONG code) const;
    void Hold(PIRP irp);

    mutable std::mutex lock_;
    std::deque<Received> received_;
    std::map<UCHAR, size_t> counts_;
    std::map<UCHAR, Answer> majorAnswers_;
    std::map<ULONG, Answer> ioctlAnswers_;
    std::vector<PIRP> held_;
};

} // namespace sim::hid
