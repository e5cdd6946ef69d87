// The sticks the configurator talks to: one device link per stick, opened
// when first needed and opened again after the stick or the machine behind
// the link went away. Every request goes through one lock, since a link
// carries one request at a time.
//
// The page names a stick by its place here, not by the index it is opened
// by: unplugging a stick moves the later ones down the present interfaces,
// so each place keeps the stick it was given (known by its interface). A
// removed stick's place stays, saying it is gone, until a stick that is not
// present in another place comes (the removed one plugged again).
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/quillexctl/device_link.h"

// Opens stick `index`; null with *error when there is no such stick or
// nothing to reach it through.
using LinkOpener = std::function<std::unique_ptr<DeviceLink>(unsigned index, std::string* error)>;

// The interfaces of the sticks present now, in enumeration order, without
// opening any; false with *error when they cannot be listed.
using LinkLister = std::function<bool(std::vector<std::string>* interfaces, std::string* error)>;

inline constexpr unsigned kMaxUiSticks = 16;

class StickPool {
  public:
    // With a lister, a rescan opens only the sticks it has no open link to
    // (each open reaches the driver and the HID class below it).
    explicit StickPool(LinkOpener opener, LinkLister lister = nullptr)
        : opener_(std::move(opener)), lister_(std::move(lister)) {}

    // Finds the sticks present now: opens index 0, 1, ... until one fails,
    // and gives each its place. Returns how many places there are (none when
    // no stick is present); *error says why the first missing one failed.
    unsigned Rescan(std::string* error);
    unsigned Count();
    // Why no stick was found at the last rescan (empty when one was).
    std::string LastError();

    // One control request on stick `index`. A request the link could not
    // carry, or one the driver refused because the stick is gone, drops the
    // link: the next request opens it again.
    LinkResult Control(unsigned index, uint32_t code, const std::vector<uint8_t>& input,
                       size_t outputLength);

  private:
    struct Place {
        std::string identity;             // the stick's interface; empty: known by its index
        std::unique_ptr<DeviceLink> link; // null once dropped
    };
    LinkOpener opener_;
    LinkLister lister_;
    std::mutex lock_;
    std::vector<Place> places_; // one per stick found
    std::string lastError_;
};

// True for a result that says the stick (or the machine) is not there.
bool MeansStickGone(const LinkResult& result);
