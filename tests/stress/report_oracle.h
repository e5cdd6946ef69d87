// What the stress run accepts on endpoint 1: every report the mapping engine
// composes from one whole state of the stress family, with one whole mapping
// of the stress set, for either raw layout, whether the state came from the
// stick (decoded) or from an application's state block (pushed); and the
// stick at rest, which no other state equals. A report
// mixing two states or two mappings is not in the set.
#pragma once

#include <array>
#include <set>
#include <string>
#include <vector>

#include "appapi/app_data.h"
#include "mapping/led_state.h"
#include "mapping/xusb_report.h"
#include "sim/peers/stick/raw_reports.h"

namespace quillex_stress {

using Report = std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH>;

// State k of the stress family: every field derives from k in its own way,
// so parts of two states never add up to a third.
sim::stick::StickState StickStateFor(ULONG k);
APP_INSTANCE BlockFor(ULONG k);

// The mappings the applications switch between: the driver's default first,
// then variants that each change the buttons, the swaps and the curves
// together, so half of one and half of another is none of them.
std::vector<REMAP_RECORD> MappingSet(const REMAP_RECORD& defaults);

// The report the driver composes from state k under 'mapping', the state
// decoded from the stick's raw report or pushed as an application's block.
Report ComposeFromStick(USHORT productId, const REMAP_RECORD& mapping, ULONG k);
Report ComposeFromStick(USHORT productId, const REMAP_RECORD& mapping,
                        const sim::stick::StickState& state);
Report ComposeFromBlock(const REMAP_RECORD& mapping, ULONG k);

class ReportOracle {
  public:
    ReportOracle(const std::vector<USHORT>& productIds, const std::vector<REMAP_RECORD>& mappings);
    bool Accepts(const UCHAR* report) const;
    // For a report that is refused: the whole composition nearest to it and
    // the bytes where they differ, to tell a torn state from a torn mapping.
    std::string Nearest(const UCHAR* report) const;
    size_t Size() const { return valid_.size(); }

  private:
    struct Origin {
        std::string what;
        Report report;
    };
    void Add(std::string what, const Report& report);

    std::set<Report> valid_;
    std::vector<Origin> origins_;
};

// Whether a state block read back is one whole state of the family (as
// pushed, or as refreshed from the decoded state) or 'initial'.
bool IsWholeBlock(const APP_INSTANCE& block, const APP_INSTANCE& initial);
std::string Describe(const APP_INSTANCE& block);

} // namespace quillex_stress
