// The arcade settings in the registry and as data items: loaded beside the
// mapping, checked, saved, and reset with the mapping's defaults.
#include <gtest/gtest.h>

#include <array>

#include "appapi/app_data.h"
#include "mapping/arcade_store.h"
#include "mapping/remap_store.h"
#include "sim/core/trace_sink.h"
#include "sim/core/fault.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace quillex_test;
namespace reg = sim::registry;

const std::string kParameters = std::string(kServiceKey) + "\\Parameters";
const std::string kRemap = kParameters + "\\Remap";

struct Settings {
    ULONG mode, mask, rate, hotkeys;
    bool operator==(const Settings& o) const {
        return mode == o.mode && mask == o.mask && rate == o.rate && hotkeys == o.hotkeys;
    }
};
std::ostream& operator<<(std::ostream& os, const Settings& s) {
    return os << "{mode " << s.mode << ", mask 0x" << std::hex << s.mask << std::dec << ", rate "
              << s.rate << ", hotkeys " << s.hotkeys << "}";
}
const Settings kDefaultSettings = {0, 0, 15, 0};

class ArcadeStoreTest : public DriverTest {
  protected:
    PDEVICE_CONTEXT Ctx() { return holder_.Context(); }
    void Install() { ASSERT_TRUE(reg::CreateKey(kParameters)); }
    // As device add loads: the mapping, then the settings beside it.
    NTSTATUS Load() {
        EXPECT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
        EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
        return TorvaXboxMappingLoadArcade(Ctx());
    }
    NTSTATUS Reload() {
        EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
        return TorvaXboxMappingLoadArcade(Ctx());
    }
    ULONG Get(ULONG id) {
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(TorvaXboxMappingGetSetting(Ctx(), id, &value), STATUS_SUCCESS) << id;
        return value;
    }
    Settings Current() {
        return {Get(QUILLEX_ITEM_DPAD_MODE), Get(QUILLEX_ITEM_TURBO_MASK),
                Get(QUILLEX_ITEM_TURBO_RATE), Get(QUILLEX_ITEM_HOTKEYS)};
    }

    sim::trace::Capture trace_;
    ContextHolder holder_{driver_.Handle(), 0, ANALOG_VALUE_COUNT};
};

TEST_F(ArcadeStoreTest, OldRegistryContentsGiveTheDefaultsAndTheOldRecord) {
    Install();
    // A mapping saved before these settings existed: the 28 values only.
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingSaveRemap(Ctx()), STATUS_SUCCESS);
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 3));
    ASSERT_EQ(reg::Values(kRemap).size(), 28u);
    ASSERT_EQ(Reload(), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaultSettings);
    EXPECT_EQ(Ctx()->RemapRecord.ButtonMap[0], 3);
    EXPECT_EQ(reg::Values(kRemap).size(), 28u); // a load writes nothing
}

TEST_F(ArcadeStoreTest, StoredValuesLoadWithinTheirRangesAndAnythingElseKeepsTheDefault) {
    Install();
    ASSERT_TRUE(reg::CreateKey(kRemap));
    ASSERT_TRUE(reg::SetDword(kRemap, "DPAD_MODE", 2));
    ASSERT_TRUE(reg::SetDword(kRemap, "TURBO_MASK", 0x1FFF));
    ASSERT_TRUE(reg::SetDword(kRemap, "TURBO_RATE", 30));
    ASSERT_TRUE(reg::SetDword(kRemap, "HOTKEYS", 1));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Current(), (Settings{2, 0x1FFF, 30, 1}));

    // Out of range, the wrong type, the wrong length: each named, each kept.
    struct Bad {
        const char* name;
        ULONG type;
        std::vector<uint8_t> data;
    };
    const Bad bad[] = {
        {"DPAD_MODE", REG_DWORD, {3, 0, 0, 0}},
        {"DPAD_MODE", REG_DWORD, {0, 0, 0, 1}},
        {"TURBO_MASK", REG_DWORD, {0x00, 0x20, 0, 0}},
        {"TURBO_RATE", REG_DWORD, {1, 0, 0, 0}},
        {"TURBO_RATE", REG_DWORD, {31, 0, 0, 0}},
        {"TURBO_RATE", REG_SZ, {'9', 0, 0, 0}},
        {"HOTKEYS", REG_DWORD, {2, 0, 0, 0}},
        {"HOTKEYS", REG_BINARY, {1, 0}},
        {"HOTKEYS", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"TURBO_MASK", REG_BINARY, std::vector<uint8_t>(12, 1)},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        reg::Reset();
        Install();
        ASSERT_TRUE(reg::CreateKey(kRemap));
        ASSERT_TRUE(reg::SetDword(kRemap, "TURBO_RATE", 20)); // a good neighbour still loads
        ASSERT_TRUE(reg::SetValue(kRemap, b.name, b.type, b.data));
        trace_.Clear();
        ASSERT_EQ(Reload(), STATUS_SUCCESS);
        Settings expected = kDefaultSettings;
        if (std::string(b.name) != "TURBO_RATE") {
            expected.rate = 20;
        }
        EXPECT_EQ(Current(), expected);
        EXPECT_TRUE(trace_.Contains(std::string(b.name) + " ignored")) << trace_.Text();
    }
}

TEST_F(ArcadeStoreTest, ASetIsCheckedAppliedAndSavedAndAFailedSaveIsReported) {
    Install();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_DPAD_MODE, 1), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_TURBO_MASK, 0x0003), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_TURBO_RATE, 2), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_HOTKEYS, 1), STATUS_SUCCESS);
    EXPECT_EQ(Current(), (Settings{1, 3, 2, 1}));
    EXPECT_EQ(reg::GetDword(kRemap, "DPAD_MODE"), 1u);
    EXPECT_EQ(reg::GetDword(kRemap, "TURBO_MASK"), 3u);
    EXPECT_EQ(reg::GetDword(kRemap, "TURBO_RATE"), 2u);
    EXPECT_EQ(reg::GetDword(kRemap, "HOTKEYS"), 1u);
    EXPECT_EQ(reg::GetValue(kRemap, "HOTKEYS")->type, static_cast<ULONG>(REG_DWORD));

    // Out of range: refused, nothing changed or written.
    const std::pair<ULONG, ULONG> refused[] = {
        {QUILLEX_ITEM_DPAD_MODE, 3},  {QUILLEX_ITEM_TURBO_MASK, 0x2000},
        {QUILLEX_ITEM_TURBO_RATE, 1}, {QUILLEX_ITEM_TURBO_RATE, 31},
        {QUILLEX_ITEM_HOTKEYS, 2},    {QUILLEX_ITEM_DPAD_MODE, 0xFFFFFFFF},
    };
    for (auto [id, value] : refused) {
        EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), id, value), STATUS_INVALID_PARAMETER)
            << id << " = " << value;
    }
    EXPECT_EQ(Current(), (Settings{1, 3, 2, 1}));
    EXPECT_EQ(reg::GetDword(kRemap, "TURBO_RATE"), 2u);
    // Ids that are no setting.
    for (ULONG id : {0u, 21u, 26u, 27u, 0x80000016u}) {
        EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), id, 0), STATUS_INVALID_DEVICE_REQUEST) << id;
    }
    ULONG version = 0;
    EXPECT_EQ(TorvaXboxMappingGetSetting(Ctx(), QUILLEX_ITEM_INTERFACE_VERSION, &version),
              STATUS_SUCCESS);
    EXPECT_EQ(version, static_cast<ULONG>(QUILLEX_INTERFACE_VERSION));
    EXPECT_EQ(TorvaXboxMappingGetSetting(Ctx(), 27, &version), STATUS_INVALID_DEVICE_REQUEST);

    // A save that fails: the status says so, the setting is in force.
    sim::fault::FailNthCall("ZwSetValueKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_TURBO_RATE, 25),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(trace_.Contains("Unable to save registry value 'TURBO_RATE'"));
    EXPECT_EQ(Get(QUILLEX_ITEM_TURBO_RATE), 25u);
    EXPECT_EQ(reg::GetDword(kRemap, "TURBO_RATE"), 2u);
}

TEST_F(ArcadeStoreTest, RestoringTheMappingDefaultsResetsAndSavesTheSettings) {
    Install();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_DPAD_MODE, 2), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_TURBO_MASK, 0x10), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingSetSetting(Ctx(), QUILLEX_ITEM_HOTKEYS, 1), STATUS_SUCCESS);

    // A mapping write leaves them alone, and so does a reload.
    std::array<UCHAR, 29> record{};
    ASSERT_EQ(TorvaXboxMappingGetMapping(Ctx(), record.data(), record.size()), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingSetMapping(Ctx(), record.data(), record.size()), STATUS_SUCCESS);
    ASSERT_EQ(Reload(), STATUS_SUCCESS);
    EXPECT_EQ(Current(), (Settings{2, 0x10, 15, 1}));

    EXPECT_EQ(TorvaXboxMappingRestoreArcadeSettings(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaultSettings);
    EXPECT_EQ(reg::GetDword(kRemap, "DPAD_MODE"), 0u);
    EXPECT_EQ(reg::GetDword(kRemap, "TURBO_MASK"), 0u);
    EXPECT_EQ(reg::GetDword(kRemap, "TURBO_RATE"), 15u);
    EXPECT_EQ(reg::GetDword(kRemap, "HOTKEYS"), 0u);
    EXPECT_EQ(TorvaXboxMappingRestoreArcadeSettings(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingLoadArcade(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ArcadeStoreTest, DataItemsCheckTheirBuffersAndTheVersionIsReadOnly) {
    Install();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (ULONG id = QUILLEX_ITEM_SETTINGS_FIRST; id <= QUILLEX_ITEM_SETTINGS_LAST; ++id) {
        EXPECT_TRUE(AppApi_IsSettingItem(id));
        EXPECT_EQ(AppApi_GetDataSize(id), 4u);
    }
    EXPECT_FALSE(AppApi_IsSettingItem(QUILLEX_ITEM_LED));
    EXPECT_FALSE(AppApi_IsSettingItem(QUILLEX_ITEM_SETTINGS_LAST + 1));
    EXPECT_EQ(AppApi_GetDataSize(QUILLEX_ITEM_SETTINGS_LAST + 1), 0u);

    UCHAR out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(AppApi_GetSettingItem(Ctx(), QUILLEX_ITEM_TURBO_RATE, 3, out),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(AppApi_GetSettingItem(Ctx(), QUILLEX_ITEM_TURBO_RATE, 4, out), STATUS_SUCCESS);
    EXPECT_EQ((std::array<UCHAR, 4>{out[0], out[1], out[2], out[3]}),
              (std::array<UCHAR, 4>{15, 0, 0, 0}));
    EXPECT_EQ(AppApi_GetSettingItem(nullptr, QUILLEX_ITEM_TURBO_RATE, 4, out),
              STATUS_INVALID_PARAMETER);

    const UCHAR seven[4] = {7, 0, 0, 0};
    EXPECT_EQ(AppApi_SetSettingItem(Ctx(), QUILLEX_ITEM_TURBO_RATE, 3, seven),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(AppApi_SetSettingItem(Ctx(), QUILLEX_ITEM_INTERFACE_VERSION, 4, seven),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Get(QUILLEX_ITEM_INTERFACE_VERSION), static_cast<ULONG>(QUILLEX_INTERFACE_VERSION));
    EXPECT_EQ(AppApi_SetSettingItem(Ctx(), QUILLEX_ITEM_TURBO_RATE, 4, seven), STATUS_SUCCESS);
    EXPECT_EQ(Get(QUILLEX_ITEM_TURBO_RATE), 7u);
}

} // namespace
