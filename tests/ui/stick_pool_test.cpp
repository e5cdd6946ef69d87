// The configurator's sticks as the page numbers them, against a machine that
// enumerates its present sticks as Windows does: unplugging one moves the
// later ones down, so a stick must keep its place by its interface.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/quillexctl/ui/stick_pool.h"

namespace {

struct Machine {
    std::vector<std::string> present; // interfaces, in enumeration order
};

// Answers any request with the interface it is open on, until that stick
// is unplugged.
class NamedLink : public DeviceLink {
  public:
    NamedLink(const Machine& machine, std::string name)
        : machine_(machine), name_(std::move(name)) {}
    LinkResult Control(uint32_t, const std::vector<uint8_t>&, size_t) override {
        LinkResult r;
        for (const std::string& p : machine_.present) {
            if (p == name_) {
                r.ok = true;
                r.out.assign(name_.begin(), name_.end());
                return r;
            }
        }
        r.status = 0xC00002B6; // STATUS_DEVICE_REMOVED
        return r;
    }
    std::string Identity() const override { return name_; }

  private:
    const Machine& machine_;
    std::string name_;
};

class StickPoolTest : public ::testing::Test {
  protected:
    StickPool pool_{[this](unsigned index, std::string* error) {
        if (index >= machine_.present.size()) {
            *error = "no stick " + std::to_string(index + 1);
            return std::unique_ptr<DeviceLink>();
        }
        return std::unique_ptr<DeviceLink>(new NamedLink(machine_, machine_.present[index]));
    }};
    Machine machine_;
    // A pool that lists the machine's interfaces before it opens anything,
    // and counts its opens.
    int opens_ = 0;
    bool listable_ = true;
    StickPool listed_{[this](unsigned index, std::string* error) {
                          ++opens_;
                          if (index >= machine_.present.size()) {
                              *error = "no stick " + std::to_string(index + 1);
                              return std::unique_ptr<DeviceLink>();
                          }
                          return std::unique_ptr<DeviceLink>(
                              new NamedLink(machine_, machine_.present[index]));
                      },
                      [this](std::vector<std::string>* interfaces, std::string* error) {
                          if (!listable_) {
                              *error = "the machine cannot be asked";
                              return false;
                          }
                          *interfaces = machine_.present;
                          return true;
                      }};

    // Who answers at the page's place 'index', or why nobody does.
    std::string At(unsigned index, StickPool* pool = nullptr) {
        LinkResult r = (pool ? *pool : pool_).Control(index, 0, {}, 64);
        return r.ok ? std::string(r.out.begin(), r.out.end()) : "(" + r.message + ")";
    }
};

TEST_F(StickPoolTest, AnUnpluggedStickKeepsItsPlaceAndTheOthersKeepTheirs) {
    machine_.present = {"one", "two", "three"};
    ASSERT_EQ(pool_.Rescan(nullptr), 3u);
    EXPECT_EQ(At(0), "one");

    // "two" and "three" move down the enumeration; the page's places do not.
    machine_.present = {"two", "three"};
    EXPECT_FALSE(pool_.Control(0, 0, {}, 64).ok);
    EXPECT_EQ(At(0), "(stick 1 was removed)") << "index 0 is another stick now";
    EXPECT_EQ(pool_.Rescan(nullptr), 3u);
    EXPECT_EQ(At(0), "(stick 1 was removed)");
    EXPECT_EQ(At(1), "two");
    EXPECT_EQ(At(2), "three");

    // Plugged again, a stick is a new device with a new interface: it takes
    // the free place, not a place of a stick still present.
    machine_.present = {"one again", "two", "three"};
    EXPECT_EQ(pool_.Rescan(nullptr), 3u);
    EXPECT_EQ(At(0), "one again");
    EXPECT_EQ(At(1), "two");
    EXPECT_EQ(At(2), "three");

    // With no place free, a new stick comes after the others.
    machine_.present = {"four", "one again", "two", "three"};
    EXPECT_EQ(pool_.Rescan(nullptr), 4u);
    EXPECT_EQ(At(0), "one again");
    EXPECT_EQ(At(3), "four");
}

TEST_F(StickPoolTest, ARescanKeepsOpenLinksAndNoStickAtAllLeavesNoPlaces) {
    machine_.present = {"one", "two"};
    ASSERT_EQ(pool_.Rescan(nullptr), 2u);
    EXPECT_EQ(At(1), "two");
    EXPECT_EQ(pool_.Rescan(nullptr), 2u);
    EXPECT_EQ(At(0), "one");
    EXPECT_EQ(At(1), "two");

    // The machine gone: no places, and why.
    machine_.present.clear();
    std::string error;
    EXPECT_EQ(pool_.Rescan(&error), 0u);
    EXPECT_EQ(error, "no stick 1");
    EXPECT_EQ(At(0), "(there is no stick 1)");
    machine_.present = {"two"};
    EXPECT_EQ(pool_.Rescan(nullptr), 1u);
    EXPECT_EQ(At(0), "two");
}

// Each open reaches the driver and the HID class below it: with the
// machine's list, a rescan opens only the sticks it has no link to (and the
// one past the last, which says why there are no more).
TEST_F(StickPoolTest, AListedRescanOpensOnlyTheSticksItHasNoLinkTo) {
    machine_.present = {"one", "two"};
    ASSERT_EQ(listed_.Rescan(nullptr), 2u);
    EXPECT_EQ(opens_, 3);
    ASSERT_EQ(listed_.Rescan(nullptr), 2u);
    EXPECT_EQ(opens_, 4) << "the two open links are kept, not opened again";
    EXPECT_EQ(At(0, &listed_), "one");
    EXPECT_EQ(At(1, &listed_), "two");

    // Unplugged, then plugged again: only the newcomer is opened.
    machine_.present = {"two"};
    EXPECT_EQ(listed_.Rescan(nullptr), 2u);
    EXPECT_EQ(opens_, 5);
    EXPECT_EQ(At(0, &listed_), "(stick 1 was removed)");
    EXPECT_EQ(At(1, &listed_), "two");
    machine_.present = {"one again", "two"};
    EXPECT_EQ(listed_.Rescan(nullptr), 2u);
    EXPECT_EQ(opens_, 7);
    EXPECT_EQ(At(0, &listed_), "one again");
    EXPECT_EQ(At(1, &listed_), "two");

    // A machine that cannot list: every stick is opened, as without a lister.
    listable_ = false;
    EXPECT_EQ(listed_.Rescan(nullptr), 2u);
    EXPECT_EQ(opens_, 10);
    EXPECT_EQ(At(1, &listed_), "two");
}

} // namespace
