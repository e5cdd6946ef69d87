// The mapping record's defaults, its registry path, and its load and save
// through the registry.
#include <gtest/gtest.h>

#include <array>

#include "mapping/curves.h"
#include "mapping/remap_store.h"
#include "sim/core/trace_sink.h"
#include "sim/core/utf.h"
#include "sim/kernel/handles.h"
#include "sim/peers/stick/raw_reports.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace quillex_test;
namespace reg = sim::registry;

using Record = std::array<UCHAR, 29>;

const Record kDefaults = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                          0x0A, 0x07, 0x06, 0x00, 0x00, 0x00, 0x00, 0x5A, 0xA5, 0x5A,
                          0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5};

// The stored values after the 13 buttons, by record offset from 13.
const char* const kOtherValueNames[16] = {
    "SWAP_TRIGGERS",  "SWAP_STICKS",    "ENABLE_SCALING", nullptr, // RestoreDefaults
    "R_TRIG_CP_1",    "R_TRIG_CP_2",    "L_TRIG_CP_1",    "L_TRIG_CP_2",
    "R_STICK_X_CP_1", "R_STICK_X_CP_2", "R_STICK_Y_CP_1", "R_STICK_Y_CP_2",
    "L_STICK_X_CP_1", "L_STICK_X_CP_2", "L_STICK_Y_CP_1", "L_STICK_Y_CP_2"};

const char* ValueName(size_t offset) {
    return offset < 13 ? sim::stick::kButtonNames[offset] : kOtherValueNames[offset - 13];
}

const std::string kParameters = std::string(kServiceKey) + "\\Parameters";
const std::string kRemap = kParameters + "\\Remap";

class RemapStoreTest : public DriverTest {
  protected:
    PDEVICE_CONTEXT Ctx() { return holder_.Context(); }
    Record Current() {
        Record r;
        memcpy(r.data(), &Ctx()->RemapRecord, r.size());
        return r;
    }
    // The service as installed: its key and Parameters, which the load needs
    // to create Remap.
    void Install() { ASSERT_TRUE(reg::CreateKey(kParameters)); }
    NTSTATUS Load() {
        EXPECT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
        return TorvaXboxMappingInitRemap(Ctx());
    }
    // The 28 stored values, in record order, as they are in the registry.
    std::vector<std::optional<uint32_t>> Stored() {
        std::vector<std::optional<uint32_t>> out;
        for (size_t offset = 0; offset < 29; ++offset) {
            if (const char* name = ValueName(offset)) {
                out.push_back(reg::GetDword(kRemap, name));
            }
        }
        return out;
    }

    ContextHolder holder_{driver_.Handle(), 0, ANALOG_VALUE_COUNT};
};

TEST_F(RemapStoreTest, InitBuildsTheRemapPathInAnExactBuffer) {
    PDEVICE_CONTEXT ctx = Ctx();
    ASSERT_EQ(TorvaXboxMappingInit(ctx), STATUS_SUCCESS);
    const std::string expected = kRemap;
    const size_t n = strlen(kServiceKey);
    EXPECT_EQ(sim::Utf16ToUtf8(ctx->RegistryPath), expected);
    EXPECT_EQ(ctx->RegistryPath.Length, expected.size() * 2);
    EXPECT_EQ(ctx->RegistryPath.MaximumLength, 2 * n + 36);
    EXPECT_EQ(ctx->RegistryPathBuffer.Size, 2 * n + 36);
    EXPECT_EQ(ctx->RegistryPath.Buffer[expected.size()], 0); // NUL-terminated, as the 36 allow
    EXPECT_EQ(ctx->LedState, 2);
    EXPECT_EQ(ctx->MappingInitialized, 1);
    EXPECT_EQ(KeReadStateMutex(&ctx->MappingMutex), 1); // free
}

TEST_F(RemapStoreTest, InitFailuresAreReportedAndLeaveTheDefaultsInForce) {
    sim::trace::Capture trace;
    EXPECT_EQ(TorvaXboxMappingInit(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains(
        "Quillex!TorvaXboxMappingInit: <0> Error - Invalid device context - c000000d\n"));

    Install();
    sim::fault::FailNthCall("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingInit: ERROR: Couldn't allocate "
                               "RegistryPath buffer - c000009a\n"));
    EXPECT_EQ(Ctx()->MappingInitialized, 1);
    EXPECT_EQ(Ctx()->RegistryPath.Length, 0);
    EXPECT_EQ(Ctx()->RegistryPath.Buffer, nullptr);
    EXPECT_EQ(Current(), kDefaults); // in force before anything is loaded

    // Without a path no key opens: loads give the defaults, saves fail.
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 5));
    EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaults);
    EXPECT_FALSE(NT_SUCCESS(TorvaXboxMappingSaveRemap(Ctx())));
    EXPECT_EQ(reg::Values(kRemap).size(), 1u);
}

// The lock initialises the mapping itself when it finds it uninitialised; a
// second preparation must not reset a mutex someone holds, make a second path
// buffer, or drop the mapping already loaded.
TEST_F(RemapStoreTest, ASecondInitKeepsTheHeldMutexThePathAndTheLoadedRecord) {
    Install();
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 3));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_CONTEXT ctx = Ctx();
    ASSERT_EQ(KeWaitForSingleObject(&ctx->MappingMutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    PWSTR path = ctx->RegistryPath.Buffer;
    size_t allocations = sim::fault::CallCount("WdfMemoryCreate");

    EXPECT_EQ(TorvaXboxMappingInit(ctx), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&ctx->MappingMutex), 0); // still held, by us
    EXPECT_EQ(ctx->RegistryPath.Buffer, path);
    EXPECT_EQ(sim::fault::CallCount("WdfMemoryCreate"), allocations);
    EXPECT_EQ(ctx->RemapRecord.ButtonMap[0], 3);
    if (KeReadStateMutex(&ctx->MappingMutex) == 0) {
        EXPECT_EQ(KeReleaseMutex(&ctx->MappingMutex, FALSE), 0);
    }
}

TEST(RemapStorePath, APathTooLongForACountedStringFailsWithoutOverrun) {
    sim::fault::Scope faults;
    // 32760 characters: with the suffix, past the 32767 a counted string holds.
    std::string longPath = "\\Registry\\Machine\\" + std::string(32760 - 18, 'q');
    SimDriver driver(longPath);
    ContextHolder holder(driver.Handle());
    PDEVICE_CONTEXT ctx = holder.Context();
    EXPECT_EQ(TorvaXboxMappingInit(ctx), STATUS_BUFFER_OVERFLOW);
    EXPECT_LE(ctx->RegistryPath.Length, ctx->RegistryPath.MaximumLength);
    EXPECT_LE(ctx->RegistryPath.MaximumLength, ctx->RegistryPathBuffer.Size);
}

TEST_F(RemapStoreTest, DefaultsAreThe29BytesAndTheirCurves) {
    ASSERT_EQ(TorvaXboxMappingRestoreDefaults(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaults);
    // The default pair (90, 165): entries 0, 160 and 255 are 0, 159 and 255.
    for (ULONG k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        EXPECT_EQ(Ctx()->CurveTables[k][0], 0);
        EXPECT_EQ(Ctx()->CurveTables[k][160], 159);
        EXPECT_EQ(Ctx()->CurveTables[k][255], 255);
    }
    EXPECT_EQ(TorvaXboxMappingRestoreDefaults(nullptr), STATUS_INVALID_PARAMETER);
    Ctx()->Device = nullptr;
    EXPECT_EQ(TorvaXboxMappingRestoreDefaults(Ctx()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_INVALID_PARAMETER);
}

TEST_F(RemapStoreTest, MissingKeysGiveTheDefaults) {
    // No Parameters key: nothing is created, and the load still succeeds.
    Ctx()->RemapRecord.SWAP_STICKS = 9;
    EXPECT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaults);
    EXPECT_FALSE(reg::KeyExists(kRemap));
    EXPECT_EQ(Ctx()->CurveTables[CURVE_L_STICK_Y][160], 159);

    // With Parameters, the first load creates Remap, empty.
    Install();
    EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaults);
    EXPECT_TRUE(reg::KeyExists(kRemap));
    EXPECT_TRUE(reg::Values(kRemap).empty());

    // The key there but empty: the defaults again.
    Ctx()->RemapRecord.ButtonMap[5] = 0;
    EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaults);

    // The key open failing is no load failure either.
    sim::fault::FailNthCall("ZwCreateKey", 1, STATUS_ACCESS_DENIED);
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 4));
    EXPECT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Current(), kDefaults);
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);
}

TEST_F(RemapStoreTest, APartialKeyLoadsOverTheDefaults) {
    Install();
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_A", 0xFF));
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_B", 0x0B));
    ASSERT_TRUE(reg::SetDword(kRemap, "SWAP_TRIGGERS", 2)); // as a mapping request may store it
    ASSERT_TRUE(reg::SetDword(kRemap, "ENABLE_SCALING", 0));
    ASSERT_TRUE(reg::SetDword(kRemap, "L_STICK_Y_CP_1", 85));
    ASSERT_TRUE(reg::SetDword(kRemap, "L_STICK_Y_CP_2", 171));
    sim::trace::Capture trace;
    EXPECT_EQ(Load(), STATUS_SUCCESS);

    Record expected = kDefaults;
    expected[0] = 0xFF;
    expected[1] = 0x0B;
    expected[13] = 1; // a flag loads as 0 or 1
    expected[27] = 85;
    expected[28] = 171;
    EXPECT_EQ(Current(), expected);
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingInitRemap: [0] BTN_A = 0xff\n"));
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingInitRemap: SWAP_TRIGGERS = 0x1\n"));
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingInitRemap: ENABLE_SCALING = 0x0\n"));
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingInitRemap: [11] L_STICK_Y_CP_2 = 0xab\n"));
    EXPECT_FALSE(trace.Contains("BTN_X")); // values not present are not traced
    // The curves follow the loaded points: (85, 171) is the identity.
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(Ctx()->CurveTables[CURVE_L_STICK_Y][i], i);
    }
    EXPECT_EQ(Ctx()->CurveTables[CURVE_L_STICK_X][160], 159);
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);
}

// The driver stores each byte as a 4-byte REG_DWORD. A value of another type
// or size, or a number past a byte, was not written by it: it is reported and
// its byte keeps the default instead of being read through its first bytes.
TEST_F(RemapStoreTest, ValuesTheDriverDidNotWriteKeepTheDefaultAndAreReported) {
    Install();
    ASSERT_TRUE(reg::SetString(kRemap, "BTN_A", "3"));       // 33 00 00 00 would give 0x33
    ASSERT_TRUE(reg::SetString(kRemap, "SWAP_STICKS", "1")); // would count as set
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_B", 0x100));      // the low byte would give A
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_X", 0x1FF));
    ASSERT_TRUE(reg::SetDword(kRemap, "SWAP_TRIGGERS", 0x100));
    ASSERT_TRUE(reg::SetDword(kRemap, "L_STICK_Y_CP_2", 0x3AB));
    ASSERT_TRUE(reg::SetValue(kRemap, "BTN_Y", REG_BINARY, {5, 0, 0, 0}));
    ASSERT_TRUE(reg::SetValue(kRemap, "BTN_PWR", REG_DWORD, {0x09})); // a DWORD of one byte
    ASSERT_TRUE(reg::SetValue(kRemap, "BTN_HOME", REG_NONE, {}));
    ASSERT_TRUE(reg::SetValue(kRemap, "BTN_BACK", 5 /* REG_DWORD_BIG_ENDIAN */, {0, 0, 0, 1}));
    ASSERT_TRUE(reg::SetValue(kRemap, "ENABLE_SCALING", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_TRUE(reg::SetDword(kRemap, "BTN_LEFT_TRIANGLE", 0x0B)); // the one good value
    sim::trace::Capture trace;
    EXPECT_EQ(Load(), STATUS_SUCCESS);

    Record expected = kDefaults;
    expected[12] = 0x0B;
    EXPECT_EQ(Current(), expected);
    const char* prefix = "Quillex!TorvaXboxMappingInitRemap: ";
    for (const char* line : {
             "BTN_A ignored: type 1, 4 data bytes, number 0x33 is not a REG_DWORD byte; 0x0 kept\n",
             "SWAP_STICKS ignored: type 1, 4 data bytes, number 0x31 is not a REG_DWORD byte; 0x0 "
             "kept\n",
             "BTN_B ignored: type 4, 4 data bytes, number 0x100 is not a REG_DWORD byte; 0x1 "
             "kept\n",
             "BTN_X ignored: type 4, 4 data bytes, number 0x1ff is not a REG_DWORD byte; 0x2 "
             "kept\n",
             "SWAP_TRIGGERS ignored: type 4, 4 data bytes, number 0x100 is not a REG_DWORD byte; "
             "0x0 kept\n",
             "L_STICK_Y_CP_2 ignored: type 4, 4 data bytes, number 0x3ab is not a REG_DWORD byte; "
             "0xa5 kept\n",
             "BTN_Y ignored: type 3, 4 data bytes, number 0x5 is not a REG_DWORD byte; 0x3 kept\n",
             "BTN_PWR ignored: type 4, 1 data bytes, number 0x9 is not a REG_DWORD byte; 0xa "
             "kept\n",
             "BTN_HOME ignored: type 0, 0 data bytes, number 0x0 is not a REG_DWORD byte; 0x7 "
             "kept\n",
             "BTN_BACK ignored: type 5, 4 data bytes, number 0x1000000 is not a REG_DWORD byte; "
             "0x6 kept\n",
             "ENABLE_SCALING ignored: type 3, 9 data bytes, not a REG_DWORD; 0x0 kept\n",
         }) {
        sim::trace::Record record;
        ASSERT_TRUE(trace.Find(std::string(prefix) + line, &record)) << line;
        EXPECT_EQ(record.Level, TRACE_LEVEL_ERROR) << line;
    }
    EXPECT_EQ(trace.Count(" ignored: "), 11u);
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);
}

TEST_F(RemapStoreTest, QueryReadsTheFirstFourBytesOfAnyValue) {
    Install();
    ASSERT_TRUE(reg::SetValue(kRemap, "BTN_PWR", REG_BINARY, {0x09})); // 1 byte
    ASSERT_TRUE(reg::SetValue(kRemap, "BTN_BACK", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_TRUE(reg::SetDword(kRemap, "Wide", 0xFFFFFFFF));
    ASSERT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(RemapOpenKey(Ctx(), &key), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::IsKernelHandle(key));
    // Short data never carries bytes from an earlier read.
    ULONG value = 0;
    ASSERT_EQ(RemapQueryValue(key, L"Wide", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    ASSERT_EQ(RemapQueryValue(key, L"BTN_PWR", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 9u);
    value = 77;
    EXPECT_EQ(RemapQueryValue(key, L"BTN_BACK", &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RemapQueryValue(key, L"Nothing", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 77u); // untouched on failure
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RemapStoreTest, MissingArgumentsAreRefused) {
    HANDLE key = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
    ULONG value = 0;
    UCHAR buffer[29] = {};
    EXPECT_EQ(RemapOpenKey(nullptr, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapOpenKey(Ctx(), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapQueryValue(nullptr, L"BTN_A", &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapQueryValue(key, nullptr, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapQueryValue(key, L"BTN_A", nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapSetValue(nullptr, L"BTN_A", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapSetValue(key, nullptr, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingSaveRemap(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingGetMapping(nullptr, buffer, 29), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingGetMapping(Ctx(), nullptr, 29), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingSetMapping(Ctx(), nullptr, 29), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingSetMapping(nullptr, buffer, 29), STATUS_INVALID_PARAMETER);

    // Short buffers are refused whole: nothing read, written or saved.
    ASSERT_EQ(TorvaXboxMappingRestoreDefaults(Ctx()), STATUS_SUCCESS);
    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(TorvaXboxMappingGetMapping(Ctx(), buffer, 28), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(TorvaXboxMappingSetMapping(Ctx(), buffer, 28), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Current(), kDefaults);

    PCWSTR name = nullptr;
    EXPECT_EQ(RemapValueName(28, &name), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf16ToUtf8(name), "L_STICK_Y_CP_2");
    EXPECT_EQ(RemapValueName(16, &name), STATUS_NOT_FOUND);
    EXPECT_EQ(RemapValueName(29, &name), STATUS_INVALID_PARAMETER);
}

TEST_F(RemapStoreTest, SaveWritesTheRecordAs28Dwords) {
    Install();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    Ctx()->RemapRecord.ButtonMap[0] = 0xC8;
    Ctx()->RemapRecord.RestoreDefaults = 1; // never stored
    EXPECT_EQ(TorvaXboxMappingSaveRemap(Ctx()), STATUS_SUCCESS);

    std::vector<reg::Value> values = reg::Values(kRemap);
    ASSERT_EQ(values.size(), 28u);
    size_t v = 0;
    for (size_t offset = 0; offset < 29; ++offset) {
        if (ValueName(offset) == nullptr) {
            continue;
        }
        EXPECT_EQ(values[v].name, ValueName(offset));
        EXPECT_EQ(values[v].type, static_cast<ULONG>(REG_DWORD));
        UCHAR byte = offset == 0 ? 0xC8 : kDefaults[offset];
        EXPECT_EQ(values[v].data, (std::vector<uint8_t>{byte, 0, 0, 0})) << values[v].name;
        ++v;
    }
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);

    // No Parameters key: the open's status comes back and nothing is written.
    ASSERT_TRUE(reg::DeleteKey(kParameters));
    EXPECT_EQ(TorvaXboxMappingSaveRemap(Ctx()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::KeyExists(kParameters));
}

TEST_F(RemapStoreTest, SaveFailuresEndTheirStageOnly) {
    Install();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const auto nothing = std::optional<uint32_t>();

    // Third button write (BTN_X): the rest of the buttons and all three flags
    // are skipped, the control points are written, and the save succeeds.
    {
        sim::trace::Capture trace;
        sim::fault::FailNthCall("ZwSetValueKey", 3, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(TorvaXboxMappingSaveRemap(Ctx()), STATUS_SUCCESS);
        EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingSaveRemap: Unable to save remap [2] "
                                   "to registry value 'BTN_X'\n"));
        std::vector<std::optional<uint32_t>> stored = Stored();
        EXPECT_EQ(stored[1], 1u);
        EXPECT_EQ(stored[2], nothing);
        EXPECT_EQ(stored[12], nothing);
        EXPECT_EQ(stored[13], nothing); // SWAP_TRIGGERS
        EXPECT_EQ(stored[15], nothing); // ENABLE_SCALING
        EXPECT_EQ(stored[16], 0x5Au);   // R_TRIG_CP_1
        EXPECT_EQ(stored[27], 0xA5u);   // L_STICK_Y_CP_2
    }
    // A flag write (SWAP_STICKS, the 15th write): the flags after it are skipped.
    ASSERT_TRUE(reg::DeleteKey(kRemap));
    ASSERT_TRUE(reg::CreateKey(kRemap));
    {
        sim::trace::Capture trace;
        sim::fault::FailNthCall("ZwSetValueKey", 15, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(TorvaXboxMappingSaveRemap(Ctx()), STATUS_SUCCESS);
        EXPECT_TRUE(trace.Contains(
            "Quillex!RemapSaveValue: Unable to save remap registry value 'SWAP_STICKS'\n"));
        std::vector<std::optional<uint32_t>> stored = Stored();
        EXPECT_EQ(stored[13], 0u);
        EXPECT_EQ(stored[14], nothing);
        EXPECT_EQ(stored[15], nothing);
        EXPECT_EQ(stored[16], 0x5Au);
    }
    // A control point (R_TRIG_CP_2, the 18th write): its status is the result.
    ASSERT_TRUE(reg::DeleteKey(kRemap));
    ASSERT_TRUE(reg::CreateKey(kRemap));
    {
        sim::trace::Capture trace;
        sim::fault::FailNthCall("ZwSetValueKey", 18, STATUS_DATA_ERROR);
        EXPECT_EQ(TorvaXboxMappingSaveRemap(Ctx()), STATUS_DATA_ERROR);
        EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingSaveRemap: Unable to save remap [1] "
                                   "to registry value 'R_TRIG_CP_2'\n"));
        std::vector<std::optional<uint32_t>> stored = Stored();
        EXPECT_EQ(stored[15], 0u);
        EXPECT_EQ(stored[16], 0x5Au);
        EXPECT_EQ(stored[17], nothing);
        EXPECT_EQ(stored[27], nothing);
    }
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);
}

TEST_F(RemapStoreTest, SetAppliesRebuildsAndSaves) {
    Install();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    Record wanted = kDefaults;
    wanted[0] = 11;  // BTN_A gives nothing
    wanted[13] = 2;  // SWAP_TRIGGERS: any nonzero byte
    wanted[17] = 85; // R_TRIG curve: the identity
    wanted[18] = 171;
    EXPECT_EQ(TorvaXboxMappingSetMapping(Ctx(), wanted.data(), wanted.size()), STATUS_SUCCESS);

    Record got;
    ASSERT_EQ(TorvaXboxMappingGetMapping(Ctx(), got.data(), got.size()), STATUS_SUCCESS);
    EXPECT_EQ(got, wanted);
    EXPECT_EQ(Ctx()->CurveTables[CURVE_R_TRIG][160], 160);
    EXPECT_EQ(reg::GetDword(kRemap, "SWAP_TRIGGERS"), 2u);
    EXPECT_EQ(reg::GetDword(kRemap, "BTN_A"), 11u);

    // The next load reads the flag back as 1.
    ASSERT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS);
    EXPECT_EQ(Ctx()->RemapRecord.SWAP_TRIGGERS, 1);
    EXPECT_EQ(Ctx()->RemapRecord.ButtonMap[0], 11);

    // RestoreDefaults set: the other 28 bytes are ignored, the defaults saved.
    Record restore;
    restore.fill(0x33);
    restore[16] = 1;
    EXPECT_EQ(TorvaXboxMappingSetMapping(Ctx(), restore.data(), restore.size()), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingGetMapping(Ctx(), got.data(), got.size()), STATUS_SUCCESS);
    EXPECT_EQ(got, kDefaults);
    EXPECT_EQ(Ctx()->CurveTables[CURVE_R_TRIG][160], 159);
    EXPECT_EQ(reg::GetDword(kRemap, "SWAP_TRIGGERS"), 0u);
    EXPECT_EQ(reg::GetDword(kRemap, "BTN_A"), 0u);

    // A failed save is returned, and the new record stays in force.
    sim::fault::FailNthCall("ZwSetValueKey", 17, STATUS_DATA_ERROR);
    EXPECT_EQ(TorvaXboxMappingSetMapping(Ctx(), wanted.data(), wanted.size()), STATUS_DATA_ERROR);
    EXPECT_EQ(Current(), wanted);
}

} // namespace
