// Registry values of any type and size under the Remap key, loaded when a
// stick is plugged and its device added.
//
// Input: a product-id byte (bit 0: layout A's stick, else layout B's), then
// values until it ends, each: a name selector (below 29: the value of that
// record byte; 0xFC to 0xFF: the arcade settings beside the record; else a
// name of the input's own, its length in the next byte), a 32-bit type, a
// 16-bit data length and the data.
//
// The driver stays loaded for the whole run, as it does on a machine where
// sticks come and go: each input writes its values, plugs a stick with its
// start held back, checks what the device took and unplugs it, and then the
// pool blocks and framework objects must be back to what the loaded driver
// had. A machine per input would cost a driver load and a PnP thread each.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/device_add.h"
#include "fuzz/fuzz_support.h"
#include "mapping/arcade_store.h"
#include "mapping/remap_store.h"
#include "sim/core/trace_sink.h"
#include "sim/core/utf.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using quillex_fuzz::ByteReader;

constexpr size_t kMaxData = 512;

std::string RecordValueName(ULONG offset) {
    PCWSTR name = nullptr;
    if (!NT_SUCCESS(RemapValueName(offset, &name))) {
        return {};
    }
    return sim::Utf16ToUtf8(name);
}

struct Machine {
    sim::registry::Scope registry;
    sim::pnp::Stack stack{DriverEntry};
    std::string remapKey = stack.RegistryPath() + "\\Parameters\\Remap";
    std::unique_ptr<quillex_fuzz::Footprint> loaded;

    Machine() {
        // Each device add traces the values it ignores: the run stays quiet.
        sim::trace::SetConsoleLevel(0);
        // Installing the driver makes its Parameters key.
        FUZZ_CHECK(sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters"));
        FUZZ_CHECK(stack.Load() == STATUS_SUCCESS);
        loaded = std::make_unique<quillex_fuzz::Footprint>();
    }
};

// The settings beside the record: their names, ranges and defaults, from the
// public header, and the selectors that name them.
struct Setting {
    const char* name;
    ULONG item, minimum, maximum, standard;
};
const Setting kSettings[] = {
    {"DPAD_MODE", QUILLEX_ITEM_DPAD_MODE, 0, QUILLEX_DPAD_MODE_MAX, QUILLEX_DPAD_MODE_DPAD},
    {"TURBO_MASK", QUILLEX_ITEM_TURBO_MASK, 0, QUILLEX_TURBO_MASK_ALL, 0},
    {"TURBO_RATE", QUILLEX_ITEM_TURBO_RATE, QUILLEX_TURBO_RATE_MIN, QUILLEX_TURBO_RATE_MAX,
     QUILLEX_TURBO_RATE_DEFAULT},
    {"HOTKEYS", QUILLEX_ITEM_HOTKEYS, 0, 1, QUILLEX_HOTKEYS_OFF},
};
constexpr uint8_t kFirstSettingSelector = 0xFC;

Machine* g_machine = nullptr;

Machine& TheMachine() {
    if (g_machine == nullptr) {
        g_machine = new Machine;
        // libFuzzer leaves its loop by exit(): the driver is unloaded before
        // the simulator's own statics go.
        atexit([] {
            FUZZ_CHECK(g_machine->stack.Unload() == STATUS_SUCCESS);
            delete g_machine;
        });
    }
    return *g_machine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Machine& machine = TheMachine();
    sim::pnp::Stack& stack = machine.stack;
    const std::string& remapKey = machine.remapKey;
    ByteReader input(data, size);
    // Only this input's values.
    FUZZ_CHECK(!sim::registry::KeyExists(remapKey) || sim::registry::DeleteKey(remapKey));
    FUZZ_CHECK(sim::registry::CreateKey(remapKey));

    const uint16_t productId = (input.Byte() & 1) != 0 ? 0x0402 : 0x0403;
    while (input.Remaining() != 0) {
        uint8_t selector = input.Byte();
        std::string name;
        if (selector < sizeof(REMAP_RECORD)) {
            name = RecordValueName(selector);
        } else if (selector >= kFirstSettingSelector) {
            name = kSettings[selector - kFirstSettingSelector].name;
        } else {
            std::vector<uint8_t> raw = input.Bytes(input.Byte());
            name.assign(raw.begin(), raw.end());
        }
        ULONG type = input.Dword();
        std::vector<uint8_t> bytes = input.Bytes(input.Word() % (kMaxData + 1));
        sim::registry::SetValue(remapKey, name, type, bytes); // false: a name it refuses
    }
    // What the key holds for each record byte, however its name was written.
    std::map<std::string, sim::registry::Value> storedSettings;
    for (const Setting& setting : kSettings) {
        if (auto value = sim::registry::GetValue(remapKey, setting.name)) {
            storedSettings[setting.name] = *value;
        }
    }
    std::map<ULONG, sim::registry::Value> stored;
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        std::string name = RecordValueName(offset);
        if (name.empty()) {
            continue;
        }
        if (std::optional<sim::registry::Value> value = sim::registry::GetValue(remapKey, name)) {
            stored[offset] = *value;
        }
    }

    sim::pnp::Stack::DeviceId id = 0;
    // The values are read at device add: the start is held back, as it has
    // nothing to add here and costs most of a plug.
    FUZZ_CHECK(stack.PlugWithoutStart(sim::stick::ArcadeStick(productId), &id) == STATUS_SUCCESS);
    WDFDEVICE device = stack.FunctionDevice(id);
    FUZZ_CHECK(device != nullptr);
    const REMAP_RECORD& record = QuillexGetDeviceContext(device)->RemapRecord;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&record);

    // The defaults, as the driver itself puts them in place.
    std::unique_ptr<DEVICE_CONTEXT> defaults(new DEVICE_CONTEXT{});
    defaults->Device = device;
    FUZZ_CHECK(TorvaXboxMappingRestoreDefaults(defaults.get()) == STATUS_SUCCESS);
    const UCHAR* defaultBytes = reinterpret_cast<const UCHAR*>(&defaults->RemapRecord);

    // A REG_DWORD of four bytes holding a byte is taken (a flag as 0 or 1);
    // anything else, and anything absent, leaves the default in force.
    FUZZ_CHECK(record.RestoreDefaults == 0);
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        if (RecordValueName(offset).empty()) {
            continue;
        }
        UCHAR expected = defaultBytes[offset];
        auto found = stored.find(offset);
        if (found != stored.end() && found->second.type == REG_DWORD &&
            found->second.data.size() == sizeof(ULONG)) {
            ULONG number;
            memcpy(&number, found->second.data.data(), sizeof(number));
            bool flag = offset >= offsetof(REMAP_RECORD, SWAP_TRIGGERS) &&
                        offset < offsetof(REMAP_RECORD, RestoreDefaults);
            if (number <= 0xFF) {
                expected = flag ? (number != 0 ? 1 : 0) : static_cast<UCHAR>(number);
            }
        }
        FUZZ_CHECK(bytes[offset] == expected);
    }

    // A setting is taken only as a four-byte REG_DWORD within its range.
    for (const Setting& setting : kSettings) {
        ULONG expected = setting.standard;
        auto found = storedSettings.find(setting.name);
        if (found != storedSettings.end() && found->second.type == REG_DWORD &&
            found->second.data.size() == sizeof(ULONG)) {
            ULONG number;
            memcpy(&number, found->second.data.data(), sizeof(number));
            if (number >= setting.minimum && number <= setting.maximum) {
                expected = number;
            }
        }
        ULONG actual = 0;
        FUZZ_CHECK(TorvaXboxMappingGetSetting(QuillexGetDeviceContext(device), setting.item,
                                              &actual) == STATUS_SUCCESS);
        FUZZ_CHECK(actual == expected);
    }

    FUZZ_CHECK(stack.Unplug(id) == STATUS_SUCCESS);
    stack.WaitRemoved(id);
    stack.Forget(id);
    machine.loaded->CheckUnchanged();
    return 0;
}
