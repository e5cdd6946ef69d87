// The report-descriptor parser: walks the items once, keeping the global and
// local item state a HID report descriptor defines, and turns every data field
// of a main item into button or value capabilities.
#include "sim/hid/descriptor_parser.h"

#include <string.h>

#include <algorithm>

#include "sim/hid/preparsed.h"

namespace sim::hid {
namespace {

// Item types and tags.
enum : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };
enum : uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC
};
enum : uint8_t {
    kUsagePage = 0x0,
    kLogicalMin = 0x1,
    kLogicalMax = 0x2,
    kPhysicalMin = 0x3,
    kPhysicalMax = 0x4,
    kUnitExponent = 0x5,
    kUnit = 0x6,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};
enum : uint8_t {
    kUsage = 0x0,
    kUsageMin = 0x1,
    kUsageMax = 0x2,
    kDesignatorIndex = 0x3,
    kDesignatorMin = 0x4,
    kDesignatorMax = 0x5,
    kStringIndex = 0x7,
    kStringMin = 0x8,
    kStringMax = 0x9,
    kDelimiter = 0xA,
};
constexpr uint8_t kLongItemPrefix = 0xFE;

constexpr size_t kMaxPushDepth = 16;
constexpr size_t kMaxUsagesPerItem = 1024;
constexpr uint64_t kMaxReportBits = (0xFFFFull - 1) * 8; // the id byte makes 65535

// A signed item value as written, with the size it was written in, so a
// maximum can be read as unsigned where its minimum is not negative.
struct Signed {
    uint32_t raw = 0;
    uint8_t size = 0;
    LONG AsSigned() const {
        switch (size) {
        case 1:
            return static_cast<int8_t>(raw);
        case 2:
            return static_cast<int16_t>(raw);
        default:
            return static_cast<LONG>(raw);
        }
    }
};

struct Globals {
    USAGE usagePage = 0;
    Signed logicalMin, logicalMax, physicalMin, physicalMax;
    ULONG unitExponent = 0;
    ULONG unit = 0;
    ULONG reportSize = 0;
    ULONG reportCount = 0;
    ULONG reportId = 0; // 0: none set
};

struct UsageEntry {
    USAGE page = 0;
    USAGE min = 0;
    USAGE max = 0;
    bool isRange = false;
    ULONG Span() const { return ULONG{max} - min + 1; }
};

struct Locals {
    std::vector<UsageEntry> usages;
    bool haveMin = false, haveMax = false;
    USAGE minPage = 0, maxPage = 0, min = 0, max = 0;
    USHORT stringIndex = 0, stringMin = 0, stringMax = 0;
    USHORT designatorIndex = 0, designatorMin = 0, designatorMax = 0;
    bool stringRange = false, designatorRange = false;
};

struct LinkNode {
    USAGE usage = 0;
    USAGE usagePage = 0;
};

class Parser {
  public:
    Parser(const uint8_t* descriptor, size_t length) : d_(descriptor), length_(length) {}

    ParsedCollection Run();

  private:
    bool Fail(NTSTATUS status, const char* why) {
        result_.status = status;
        result_.error = why;
        result_.errorOffset = itemOffset_;
        return false;
    }
    bool Item(uint8_t type, uint8_t tag, uint32_t data, uint8_t size);
    bool MainItem(uint8_t tag, uint32_t data);
    bool GlobalItem(uint8_t tag, uint32_t data, uint8_t size);
    bool LocalItem(uint8_t tag, uint32_t data, uint8_t size);
    bool DataField(int reportType, uint32_t flags);
    bool AddCaps(int reportType, uint32_t flags, const std::vector<UsageEntry>& usages);
    USAGE PageFor(uint32_t data, uint8_t size) const {
        return size == 4 ? static_cast<USAGE>(data >> 16) : globals_.usagePage;
    }
    void Build();

    const uint8_t* d_;
    size_t length_;
    size_t itemOffset_ = 0;
    ParsedCollection result_;

    Globals globals_;
    std::vector<Globals> pushed_;
    Locals locals_;
    std::vector<LinkNode> nodes_;
    std::vector<USHORT> openCollections_; // node indexes
    unsigned topLevelCollections_ = 0;
    bool dataWithoutId_ = false;
    bool sawReportId_ = false;

    std::array<std::map<uint8_t, uint64_t>, 3> reportBits_;
    std::array<std::vector<HIDP_BUTTON_CAPS>, 3> buttons_;
    std::array<std::vector<HIDP_VALUE_CAPS>, 3> values_;
    std::array<USHORT, 3> dataIndices_{};
};

ParsedCollection Parser::Run() {
    size_t at = 0;
    while (at < length_) {
        itemOffset_ = at;
        uint8_t prefix = d_[at];
        if (prefix == kLongItemPrefix) {
            // Long items carry no meaning for the parser; only their length is checked.
            if (length_ - at < 3 || length_ - at - 3 < d_[at + 1]) {
                Fail(HIDP_STATUS_INVALID_REPORT_LENGTH, "the descriptor ends inside a long item");
                return result_;
            }
            at += 3 + d_[at + 1];
            continue;
        }
        uint8_t size = prefix & 3;
        if (size == 3) {
            size = 4;
        }
        if (length_ - at - 1 < size) {
            Fail(HIDP_STATUS_INVALID_REPORT_LENGTH, "the descriptor ends inside an item");
            return result_;
        }
        uint32_t data = 0;
        for (uint8_t i = 0; i < size; ++i) {
            data |= uint32_t{d_[at + 1 + i]} << (8 * i);
        }
        if (!Item((prefix >> 2) & 3, prefix >> 4, data, size)) {
            return result_;
        }
        at += 1 + size;
    }
    itemOffset_ = length_;
    if (!openCollections_.empty()) {
        Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "a collection is not closed");
        return result_;
    }
    if (topLevelCollections_ == 0) {
        Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "no top-level collection");
        return result_;
    }
    Build();
    return result_;
}

bool Parser::Item(uint8_t type, uint8_t tag, uint32_t data, uint8_t size) {
    switch (type) {
    case kMain: {
        bool ok = MainItem(tag, data);
        locals_ = Locals{}; // every main item ends the local state
        return ok;
    }
    case kGlobal:
        return GlobalItem(tag, data, size);
    case kLocal:
        return LocalItem(tag, data, size);
    default:
        return Fail(HIDP_STATUS_NOT_IMPLEMENTED, "reserved item type");
    }
}

bool Parser::MainItem(uint8_t tag, uint32_t data) {
    switch (tag) {
    case kInput:
        return DataField(HidP_Input, data);
    case kOutput:
        return DataField(HidP_Output, data);
    case kFeature:
        return DataField(HidP_Feature, data);
    case kCollection: {
        if (openCollections_.empty() && ++topLevelCollections_ > 1) {
            return Fail(HIDP_STATUS_NOT_IMPLEMENTED, "more than one top-level collection");
        }
        if (nodes_.size() == 0xFFFF) {
            return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "too many collections");
        }
        LinkNode node;
        if (!locals_.usages.empty()) {
            node.usage = locals_.usages.front().min;
            node.usagePage = locals_.usages.front().page;
        } else if (locals_.haveMin) {
            node.usage = locals_.min;
            node.usagePage = locals_.minPage;
        }
        openCollections_.push_back(static_cast<USHORT>(nodes_.size()));
        nodes_.push_back(node);
        return true;
    }
    case kEndCollection:
        if (openCollections_.empty()) {
            return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "end collection without a collection");
        }
        openCollections_.pop_back();
        return true;
    default:
        return Fail(HIDP_STATUS_NOT_IMPLEMENTED, "reserved main item");
    }
}

bool Parser::GlobalItem(uint8_t tag, uint32_t data, uint8_t size) {
    switch (tag) {
    case kUsagePage:
        globals_.usagePage = static_cast<USAGE>(data);
        return true;
    case kLogicalMin:
        globals_.logicalMin = {data, size};
        return true;
    case kLogicalMax:
        globals_.logicalMax = {data, size};
        return true;
    case kPhysicalMin:
        globals_.physicalMin = {data, size};
        return true;
    case kPhysicalMax:
        globals_.physicalMax = {data, size};
        return true;
    case kUnitExponent:
        globals_.unitExponent = data;
        return true;
    case kUnit:
        globals_.unit = data;
        return true;
    case kReportSize:
        globals_.reportSize = data;
        return true;
    case kReportCount:
        if (data > 0xFFFF) {
            return Fail(HIDP_STATUS_INVALID_REPORT_LENGTH, "report count above 65535");
        }
        globals_.reportCount = data;
        return true;
    case kReportId:
        if (data == 0 || data > 0xFF) {
            return Fail(HIDP_STATUS_INCOMPATIBLE_REPORT_ID, "report id 0 or above 255");
        }
        if (dataWithoutId_) {
            return Fail(HIDP_STATUS_INCOMPATIBLE_REPORT_ID,
                        "a report id after data fields without one");
        }
        sawReportId_ = true;
        globals_.reportId = data;
        return true;
    case kPush:
        if (pushed_.size() == kMaxPushDepth) {
            return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "push too deep");
        }
        pushed_.push_back(globals_);
        return true;
    case kPop:
        if (pushed_.empty()) {
            return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "pop without push");
        }
        globals_ = pushed_.back();
        pushed_.pop_back();
        return true;
    default:
        return Fail(HIDP_STATUS_NOT_IMPLEMENTED, "reserved global item");
    }
}

bool Parser::LocalItem(uint8_t tag, uint32_t data, uint8_t size) {
    Locals& l = locals_;
    switch (tag) {
    case kUsage:
        if (l.usages.size() == kMaxUsagesPerItem) {
            return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "too many usages");
        }
        l.usages.push_back(
            {PageFor(data, size), static_cast<USAGE>(data), static_cast<USAGE>(data), false});
        return true;
    case kUsageMin:
    case kUsageMax: {
        bool isMin = tag == kUsageMin;
        (isMin ? l.haveMin : l.haveMax) = true;
        (isMin ? l.min : l.max) = static_cast<USAGE>(data);
        (isMin ? l.minPage : l.maxPage) = PageFor(data, size);
        if (l.haveMin && l.haveMax) {
            if (l.min > l.max) {
                return Fail(HIDP_STATUS_BAD_LOG_PHY_VALUES, "usage minimum above maximum");
            }
            if (l.usages.size() == kMaxUsagesPerItem) {
                return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "too many usages");
            }
            l.usages.push_back({l.minPage, l.min, l.max, true});
            l.haveMin = l.haveMax = false;
        }
        return true;
    }
    case kDesignatorIndex:
        l.designatorIndex = static_cast<USHORT>(data);
        return true;
    case kDesignatorMin:
        l.designatorMin = static_cast<USHORT>(data);
        l.designatorRange = true;
        return true;
    case kDesignatorMax:
        l.designatorMax = static_cast<USHORT>(data);
        l.designatorRange = true;
        return true;
    case kStringIndex:
        l.stringIndex = static_cast<USHORT>(data);
        return true;
    case kStringMin:
        l.stringMin = static_cast<USHORT>(data);
        l.stringRange = true;
        return true;
    case kStringMax:
        l.stringMax = static_cast<USHORT>(data);
        l.stringRange = true;
        return true;
    case kDelimiter:
        return Fail(HIDP_STATUS_NOT_IMPLEMENTED, "delimiters (usage aliases)");
    default:
        return Fail(HIDP_STATUS_NOT_IMPLEMENTED, "reserved local item");
    }
}

bool Parser::DataField(int reportType, uint32_t flags) {
    if (openCollections_.empty()) {
        return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "a data field outside any collection");
    }
    if (globals_.reportId == 0) {
        if (sawReportId_) {
            return Fail(HIDP_STATUS_INCOMPATIBLE_REPORT_ID,
                        "a data field without a report id where others have one");
        }
        dataWithoutId_ = true;
    }
    if (locals_.haveMin || locals_.haveMax) {
        return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "a usage minimum without its maximum");
    }
    bool constant = (flags & 0x1) != 0;
    uint64_t bits = uint64_t{globals_.reportSize} * globals_.reportCount;
    if (!constant && globals_.reportCount != 0 &&
        (globals_.reportSize == 0 || globals_.reportSize > 32)) {
        return Fail(HIDP_STATUS_INVALID_REPORT_LENGTH, "a data field of 0 or more than 32 bits");
    }
    uint64_t& total = reportBits_[reportType][static_cast<uint8_t>(globals_.reportId)];
    total += bits;
    if (total > kMaxReportBits) {
        return Fail(HIDP_STATUS_INVALID_REPORT_LENGTH, "a report longer than 65535 bytes");
    }
    if (constant || bits == 0) {
        return true; // padding
    }
    std::vector<UsageEntry> usages = locals_.usages;
    if (usages.empty()) {
        usages.push_back({globals_.usagePage, 0, 0, false});
    }
    return AddCaps(reportType, flags, usages);
}

// The data fields of one main item become capabilities: an array, or a
// variable item of one-bit fields, gives button capabilities; wider variable
// fields give value capabilities. Usages are handed to fields in order and
// the last one covers the fields that are left.
bool Parser::AddCaps(int reportType, uint32_t flags, const std::vector<UsageEntry>& usages) {
    const Globals& g = globals_;
    bool variable = (flags & 0x2) != 0;
    bool isButton = !variable || g.reportSize == 1;
    LONG logicalMin = g.logicalMin.AsSigned();
    LONG logicalMax = g.logicalMax.AsSigned();
    if (logicalMin >= 0 && logicalMax < 0) {
        logicalMax = static_cast<LONG>(g.logicalMax.raw);
    }
    LONG physicalMin = g.physicalMin.AsSigned();
    LONG physicalMax = g.physicalMax.AsSigned();
    if (physicalMin >= 0 && physicalMax < 0) {
        physicalMax = static_cast<LONG>(g.physicalMax.raw);
    }
    if (!(isButton && variable) && logicalMin > logicalMax) {
        return Fail(HIDP_STATUS_BAD_LOG_PHY_VALUES, "logical minimum above maximum");
    }
    if (physicalMin > physicalMax) {
        return Fail(HIDP_STATUS_BAD_LOG_PHY_VALUES, "physical minimum above maximum");
    }
    USHORT link = openCollections_.back();
    const LinkNode& node = nodes_[link];
    ULONG fieldsLeft = g.reportCount;
    USHORT& dataIndex = dataIndices_[reportType];
    for (size_t i = 0; i < usages.size() && fieldsLeft != 0; ++i) {
        const UsageEntry& u = usages[i];
        bool last = i + 1 == usages.size();
        // Arrays select among all their usages at once; variable fields take
        // one usage each.
        ULONG fields =
            !variable ? g.reportCount : (last ? fieldsLeft : std::min(u.Span(), fieldsLeft));
        USAGE usageMax = u.isRange && variable && fields < u.Span()
                             ? static_cast<USAGE>(u.min + fields - 1)
                             : u.max;
        ULONG indices = u.isRange ? ULONG{usageMax} - u.min + 1 : 1;
        if (ULONG{dataIndex} + indices > 0xFFFF) {
            return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "too many data indices");
        }
        USHORT firstIndex = dataIndex;
        dataIndex = static_cast<USHORT>(dataIndex + indices);
        auto fill = [&](auto& caps) {
            caps.UsagePage = u.page;
            caps.ReportID = static_cast<UCHAR>(g.reportId);
            caps.BitField = static_cast<USHORT>(flags);
            caps.LinkCollection = link;
            caps.LinkUsage = node.usage;
            caps.LinkUsagePage = node.usagePage;
            caps.IsAbsolute = (flags & 0x4) == 0;
            caps.IsRange = u.isRange;
            caps.IsStringRange = locals_.stringRange;
            caps.IsDesignatorRange = locals_.designatorRange;
            if (u.isRange) {
                caps.Range.UsageMin = u.min;
                caps.Range.UsageMax = usageMax;
                caps.Range.DataIndexMin = firstIndex;
                caps.Range.DataIndexMax = static_cast<USHORT>(dataIndex - 1);
            } else {
                caps.NotRange.Usage = u.min;
                caps.NotRange.DataIndex = firstIndex;
            }
            if (locals_.stringRange) {
                caps.Range.StringMin = locals_.stringMin;
                caps.Range.StringMax = locals_.stringMax;
            } else {
                caps.NotRange.StringIndex = locals_.stringIndex;
            }
            if (locals_.designatorRange) {
                caps.Range.DesignatorMin = locals_.designatorMin;
                caps.Range.DesignatorMax = locals_.designatorMax;
            } else {
                caps.NotRange.DesignatorIndex = locals_.designatorIndex;
            }
        };
        if (isButton) {
            if (buttons_[reportType].size() == 0xFFFF) {
                return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "too many capabilities");
            }
            HIDP_BUTTON_CAPS caps;
            memset(&caps, 0, sizeof(caps));
            fill(caps);
            buttons_[reportType].push_back(caps);
        } else {
            if (values_[reportType].size() == 0xFFFF) {
                return Fail(HIDP_STATUS_INVALID_PREPARSED_DATA, "too many capabilities");
            }
            HIDP_VALUE_CAPS caps;
            memset(&caps, 0, sizeof(caps));
            fill(caps);
            caps.HasNull = (flags & 0x40) != 0;
            caps.BitSize = static_cast<USHORT>(g.reportSize);
            caps.ReportCount = static_cast<USHORT>(fields);
            caps.UnitsExp = g.unitExponent;
            caps.Units = g.unit;
            caps.LogicalMin = logicalMin;
            caps.LogicalMax = logicalMax;
            caps.PhysicalMin = physicalMin;
            caps.PhysicalMax = physicalMax;
            values_[reportType].push_back(caps);
        }
        fieldsLeft -= fields;
    }
    return true;
}

void Parser::Build() {
    PreparsedHeader header;
    memset(&header, 0, sizeof(header));
    header.magic = kPreparsedMagic;
    HIDP_CAPS& caps = header.caps;
    caps.Usage = nodes_.front().usage;
    caps.UsagePage = nodes_.front().usagePage;
    caps.NumberLinkCollectionNodes = static_cast<USHORT>(nodes_.size());
    result_.usesReportIds = sawReportId_;
    USHORT* byteLength[3] = {&caps.InputReportByteLength, &caps.OutputReportByteLength,
                             &caps.FeatureReportByteLength};
    USHORT* buttonCounts[3] = {&caps.NumberInputButtonCaps, &caps.NumberOutputButtonCaps,
                               &caps.NumberFeatureButtonCaps};
    USHORT* valueCounts[3] = {&caps.NumberInputValueCaps, &caps.NumberOutputValueCaps,
                              &caps.NumberFeatureValueCaps};
    USHORT* indexCounts[3] = {&caps.NumberInputDataIndices, &caps.NumberOutputDataIndices,
                              &caps.NumberFeatureDataIndices};
    for (int type = 0; type < 3; ++type) {
        for (auto& [id, bits] : reportBits_[type]) {
            // Whole bytes, with the report id byte in front.
            auto bytes = static_cast<uint16_t>((bits + 7) / 8 + 1);
            result_.reportLengths[type][id] = bytes;
            *byteLength[type] = std::max(*byteLength[type], bytes);
        }
        *buttonCounts[type] = header.buttonCount[type] = static_cast<USHORT>(buttons_[type].size());
        *valueCounts[type] = header.valueCount[type] = static_cast<USHORT>(values_[type].size());
        *indexCounts[type] = dataIndices_[type];
    }
    header.totalSize = static_cast<uint32_t>(PreparsedSize(header));
    std::vector<uint8_t>& out = result_.preparsed;
    out.resize(header.totalSize);
    uint8_t* at = out.data();
    memcpy(at, &header, sizeof(header));
    at += sizeof(header);
    for (int type = 0; type < 3; ++type) {
        size_t bytes = buttons_[type].size() * sizeof(HIDP_BUTTON_CAPS);
        if (bytes != 0) {
            memcpy(at, buttons_[type].data(), bytes);
        }
        at += bytes;
    }
    for (int type = 0; type < 3; ++type) {
        size_t bytes = values_[type].size() * sizeof(HIDP_VALUE_CAPS);
        if (bytes != 0) {
            memcpy(at, values_[type].data(), bytes);
        }
        at += bytes;
    }
}

} // namespace

ParsedCollection ParseReportDescriptor(const uint8_t* descriptor, size_t length) {
    if (descriptor == nullptr && length != 0) {
        ParsedCollection refused;
        refused.status = HIDP_STATUS_NULL;
        refused.error = "no descriptor";
        return refused;
    }
    return Parser(descriptor, length).Run();
}

} // namespace sim::hid
