// A small set of pointers kept in a vector: for the handful of requests or
// transfers out at once, where a node-based set would allocate on every
// insert of the hot path. Order is not kept.
#pragma once

#include <algorithm>
#include <vector>

namespace sim {

template <class T> class PointerSet {
  public:
    using const_iterator = typename std::vector<T*>::const_iterator;

    // False when it was there already.
    bool insert(T* item) {
        if (count(item) != 0) {
            return false;
        }
        items_.push_back(item);
        return true;
    }
    // How many were removed (0 or 1).
    size_t erase(T* item) {
        auto it = std::find(items_.begin(), items_.end(), item);
        if (it == items_.end()) {
            return 0;
        }
        *it = items_.back();
        items_.pop_back();
        return 1;
    }
    size_t count(T* item) const {
        return std::find(items_.begin(), items_.end(), item) != items_.end() ? 1 : 0;
    }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

  private:
    std::vector<T*> items_;
};

} // namespace sim
