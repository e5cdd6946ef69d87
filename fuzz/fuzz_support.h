// What every fuzz target shares: the framework driver the simulator loads
// once per process, a device context outside any device stack, and the check
// that turns a broken promise of the driver into a crash libFuzzer keeps.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <vector>

#include "platform/device_context.h"

namespace quillex_fuzz {

// The framework driver, created on first use with the Quillex service key.
WDFDRIVER Driver();

// Stops the run with the input's finding when Condition does not hold.
[[noreturn]] void Fail(const char* file, int line, const char* what);
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::quillex_fuzz::Fail(__FILE__, __LINE__, #condition);                                  \
        }                                                                                          \
    } while (0)

// Reads an input front to back, so that a seed can be written by hand: each
// Take gives what is left when the input runs short, zero-filled.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Remaining() const { return size_ - offset_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Dword() { return static_cast<uint32_t>(Word() | static_cast<uint32_t>(Word()) << 16); }
    // Count bytes, or fewer when the input ends first.
    std::vector<uint8_t> Bytes(size_t count) {
        size_t n = count < Remaining() ? count : Remaining();
        std::vector<uint8_t> out(data_ + offset_, data_ + offset_ + n);
        offset_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// What a simulated machine that stays up from input to input holds: pool
// blocks by tag and framework objects. Taken once the machine is up; after
// each input, the same again, or the run stops with the tags that differ.
class Footprint {
  public:
    Footprint();
    void CheckUnchanged() const;

  private:
    std::map<ULONG, size_t> blocks_;
    size_t objects_;
};

// A framework object carrying a DEVICE_CONTEXT, parented to the driver and
// deleted (with the buffers allocated on it) when this goes out of scope.
class ContextObject {
  public:
    ContextObject();
    ~ContextObject();
    ContextObject(const ContextObject&) = delete;
    ContextObject& operator=(const ContextObject&) = delete;

    PDEVICE_CONTEXT Context() const { return context_; }
    WDFOBJECT Object() const { return object_; }

  private:
    WDFOBJECT object_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};

} // namespace quillex_fuzz
