#include "tools/quillexctl/ui/stick_pool.h"

#include <algorithm>

namespace {

constexpr uint32_t kStatusNoSuchDevice = 0xC000000E;
constexpr uint32_t kStatusDeletePending = 0xC0000056;
constexpr uint32_t kStatusDeviceDoesNotExist = 0xC00000C0;
constexpr uint32_t kStatusDeviceRemoved = 0xC00002B6;

} // namespace

bool MeansStickGone(const LinkResult& result) {
    if (result.ok) {
        return false;
    }
    // Not carried at all: the link itself broke.
    if (result.status == 0) {
        return true;
    }
    return result.status == kStatusNoSuchDevice || result.status == kStatusDeletePending ||
           result.status == kStatusDeviceDoesNotExist || result.status == kStatusDeviceRemoved;
}

unsigned StickPool::Rescan(std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::unique_ptr<DeviceLink>> present;
    std::string why;
    std::vector<std::string> listed;
    if (lister_ && !lister_(&listed, &why)) {
        listed.clear();
    }
    for (unsigned i = 0; i < kMaxUiSticks; ++i) {
        // A stick known only by its index keeps its link while it is open.
        if (i < places_.size() && places_[i].identity.empty() && places_[i].link != nullptr) {
            present.push_back(std::move(places_[i].link));
            continue;
        }
        // So does a stick listed where the link open on it says it is.
        if (i < listed.size() && !listed[i].empty()) {
            auto known = std::find_if(places_.begin(), places_.end(), [&](const Place& place) {
                return place.link != nullptr && place.identity == listed[i];
            });
            if (known != places_.end()) {
                present.push_back(std::move(known->link));
                continue;
            }
        }
        std::unique_ptr<DeviceLink> link = opener_(i, &why);
        if (link == nullptr) {
            break;
        }
        present.push_back(std::move(link));
    }
    lastError_ = present.empty() ? why : std::string();
    if (error != nullptr) {
        *error = lastError_;
    }
    if (present.empty()) {
        places_.clear();
        return 0;
    }

    std::vector<Place> places(places_.size());
    std::vector<bool> taken(places_.size());
    std::vector<std::unique_ptr<DeviceLink>> newcomers;
    for (size_t i = 0; i < present.size(); ++i) {
        std::string identity = present[i]->Identity();
        size_t at = places_.size();
        if (identity.empty()) {
            at = i; // a link that cannot tell keeps the index it was opened by
        } else {
            for (size_t p = 0; p < places_.size(); ++p) {
                if (places_[p].identity == identity) {
                    at = p;
                }
            }
        }
        if (at >= places_.size()) {
            newcomers.push_back(std::move(present[i]));
            continue;
        }
        places[at].identity = identity;
        // A link still open is kept: the stick behind it is still there.
        places[at].link = places_[at].identity == identity && places_[at].link != nullptr
                              ? std::move(places_[at].link)
                              : std::move(present[i]);
        taken[at] = true;
    }
    // A removed stick keeps its place, linkless, until a newcomer takes it.
    for (size_t p = 0; p < places_.size(); ++p) {
        if (!taken[p]) {
            places[p].identity = places_[p].identity;
        }
    }
    for (std::unique_ptr<DeviceLink>& link : newcomers) {
        size_t free = 0;
        while (free < places.size() && taken[free]) {
            ++free;
        }
        if (free >= kMaxUiSticks) {
            break;
        }
        if (free == places.size()) {
            places.emplace_back();
            taken.push_back(false);
        }
        places[free].identity = link->Identity();
        places[free].link = std::move(link);
        taken[free] = true;
    }
    // Places known by index past the last stick present are no places.
    while (!places.empty() && places.back().link == nullptr && places.back().identity.empty()) {
        places.pop_back();
    }
    places_ = std::move(places);
    return static_cast<unsigned>(places_.size());
}

unsigned StickPool::Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<unsigned>(places_.size());
}

std::string StickPool::LastError() {
    std::lock_guard<std::mutex> guard(lock_);
    return lastError_;
}

LinkResult StickPool::Control(unsigned index, uint32_t code, const std::vector<uint8_t>& input,
                              size_t outputLength) {
    std::lock_guard<std::mutex> guard(lock_);
    LinkResult result;
    if (index >= places_.size()) {
        result.message = "there is no stick " + std::to_string(index + 1);
        return result;
    }
    Place& place = places_[index];
    if (place.link == nullptr) {
        // A stick known by its interface comes back through a rescan, which
        // finds where it is now; one known by its index is opened there.
        if (!place.identity.empty()) {
            result.message = "stick " + std::to_string(index + 1) + " was removed";
            return result;
        }
        std::string error;
        place.link = opener_(index, &error);
        if (place.link == nullptr) {
            result.message = error;
            return result;
        }
    }
    result = place.link->Control(code, input, outputLength);
    if (MeansStickGone(result)) {
        place.link.reset();
    }
    return result;
}
