// The names both tools show and take for the mapping are the driver's: each
// stored value at the record byte the driver reads it into, each arcade
// setting with its data item's id and range.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "mapping/remap_store.h"
#include "sim/core/utf.h"
#include "tools/common/mapping_names.h"

namespace {

TEST(MappingNames, EveryStoredValueIsTheDriversAtItsOffset) {
    std::set<size_t> offsets;
    for (const MappingValue& field : MappingValues()) {
        PCWSTR driverName = nullptr;
        ASSERT_TRUE(NT_SUCCESS(RemapValueName(static_cast<ULONG>(field.offset), &driverName)))
            << field.name << " at offset " << field.offset << " is no value the driver stores";
        EXPECT_EQ(sim::Utf16ToUtf8(driverName), field.name) << "offset " << field.offset;
        offsets.insert(field.offset);
    }
    size_t driverValues = 0;
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        PCWSTR driverName = nullptr;
        driverValues += NT_SUCCESS(RemapValueName(offset, &driverName)) ? 1 : 0;
    }
    EXPECT_EQ(offsets.size(), MappingValues().size()) << "two names for one byte";
    EXPECT_EQ(driverValues, MappingValues().size()) << "a value the driver stores has no name";
}

TEST(MappingNames, ValuesAndSettingsAreFoundInAnyCaseAndGuessed) {
    const MappingValue* swap = FindMappingValue("swap_sticks");
    ASSERT_NE(swap, nullptr);
    EXPECT_STREQ(swap->name, "SWAP_STICKS");
    EXPECT_EQ(FindMappingValue("BTN_Q"), nullptr);
    EXPECT_EQ(GuessMappingValue("BTN_Q"), "BTN_A");
    EXPECT_EQ(FindMappingValue("DPAD_MODE"), nullptr) << "a setting is no value of the record";

    const ArcadeSettingName* rate = FindArcadeSetting("turbo_rate");
    ASSERT_NE(rate, nullptr);
    EXPECT_EQ(rate->min, 2u);
    EXPECT_EQ(rate->max, 30u);
    EXPECT_EQ(FindArcadeSetting("BTN_A"), nullptr);
}

TEST(MappingNames, SettingsAreTheDataItemsOfTheSameName) {
    for (const ArcadeSettingName& setting : ArcadeSettingNames()) {
        const DataItem* item = nullptr;
        std::string error;
        ASSERT_TRUE(FindDataItem(setting.name, &item, &error)) << error;
        EXPECT_EQ(item->id, setting.id) << setting.name;
        EXPECT_EQ(item->max, setting.max) << setting.name;
    }
    size_t settingItems = 0;
    for (const DataItem& item : DataItems()) {
        settingItems +=
            item.id >= QUILLEX_ITEM_SETTINGS_FIRST && item.id < QUILLEX_ITEM_INTERFACE_VERSION;
    }
    EXPECT_EQ(settingItems, ArcadeSettingNames().size());
}

TEST(MappingNames, ButtonValuesTakeXboxNamesAliasesAndNumbersInRange) {
    const MappingValue* home = FindMappingValue("BTN_HOME");
    ASSERT_NE(home, nullptr);
    uint8_t value = 0xFF;
    std::string error;
    EXPECT_TRUE(ParseMappingValue(*home, "guide", &value, &error));
    EXPECT_EQ(value, 10);
    EXPECT_TRUE(ParseMappingValue(*home, "LB", &value, &error));
    EXPECT_EQ(value, 4);
    EXPECT_TRUE(ParseMappingValue(*home, "0x0d", &value, &error));
    EXPECT_EQ(value, 13);
    EXPECT_FALSE(ParseMappingValue(*home, "14", &value, &error));
    EXPECT_NE(error.find("out of range"), std::string::npos) << error;
    EXPECT_FALSE(ParseMappingValue(*home, "abc", &value, &error));
    EXPECT_NE(error.find("no name it takes"), std::string::npos) << error;
}

TEST(MappingNames, TurboButtonsByNameWithOrWithoutPrefix) {
    uint32_t bit = 0;
    EXPECT_TRUE(ParseCanonicalButton("a", &bit));
    EXPECT_EQ(bit, 1u);
    EXPECT_TRUE(ParseCanonicalButton("BTN_LEFT_TRIANGLE", &bit));
    EXPECT_EQ(bit, 1u << 12);
    EXPECT_FALSE(ParseCanonicalButton("BTN_", &bit));
    EXPECT_EQ(TurboButtonNames(0x1001), (std::vector<std::string>{"BTN_A", "BTN_LEFT_TRIANGLE"}));
    EXPECT_STREQ(LeverModeName(1), "left");
    EXPECT_STREQ(LeverModeName(3), "?");
}

} // namespace
