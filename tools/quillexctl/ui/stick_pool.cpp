#include "tools/quillexctl/ui/stick_pool.h"

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
    std::vector<std::unique_ptr<DeviceLink>> found;
    std::string why;
    for (unsigned i = 0; i < kMaxUiSticks; ++i) {
        // A link still open is kept: the stick behind it is still there.
        if (i < links_.size() && links_[i] != nullptr) {
            found.push_back(std::move(links_[i]));
            continue;
        }
        std::unique_ptr<DeviceLink> link = opener_(i, &why);
        if (link == nullptr) {
            break;
        }
        found.push_back(std::move(link));
    }
    links_ = std::move(found);
    lastError_ = links_.empty() ? why : std::string();
    if (error != nullptr) {
        *error = lastError_;
    }
    return static_cast<unsigned>(links_.size());
}

unsigned StickPool::Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<unsigned>(links_.size());
}

std::string StickPool::LastError() {
    std::lock_guard<std::mutex> guard(lock_);
    return lastError_;
}

LinkResult StickPool::Control(unsigned index, uint32_t code, const std::vector<uint8_t>& input,
                              size_t outputLength) {
    std::lock_guard<std::mutex> guard(lock_);
    LinkResult result;
    if (index >= links_.size()) {
        result.message = "there is no stick " + std::to_string(index + 1);
        return result;
    }
    if (links_[index] == nullptr) {
        std::string error;
        links_[index] = opener_(index, &error);
        if (links_[index] == nullptr) {
            result.message = error;
            return result;
        }
    }
    result = links_[index]->Control(code, input, outputLength);
    if (MeansStickGone(result)) {
        links_[index].reset();
    }
    return result;
}
