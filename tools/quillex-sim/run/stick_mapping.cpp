#include "tools/quillex-sim/run/stick_mapping.h"

#include "mapping/arcade_store.h"
#include "mapping/remap_store.h"
#include "sim/core/utf.h"
#include "tools/quillex-sim/view/mapping_report.h"

std::string ApplyMappingOptions(PDEVICE_CONTEXT ctx, const Options& options, bool first,
                                nlohmann::ordered_json& stickJson) {
    std::string out;
    if (first && options.saveMapping) {
        NTSTATUS status = TorvaXboxMappingSaveRemap(ctx);
        // The settings beside it too, so the .reg file holds them all.
        if (NT_SUCCESS(status)) {
            status = TorvaXboxMappingSaveArcade(ctx);
        }
        out += std::string("   mapping saved: ") + (NT_SUCCESS(status) ? "ok" : "failed") + "\n";
        stickJson["mapping_saved"] = NT_SUCCESS(status);
    }
    stickJson["mapping"] = nlohmann::ordered_json::object();
    for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
        PCWSTR valueName = nullptr;
        if (NT_SUCCESS(RemapValueName(offset, &valueName))) {
            stickJson["mapping"][sim::Utf16ToUtf8(valueName)] =
                reinterpret_cast<const UCHAR*>(&ctx->RemapRecord)[offset];
        }
    }
    KIRQL irql;
    KeAcquireSpinLock(&ctx->StateLock, &irql);
    const ARCADE_STATE arcade = ctx->Arcade;
    KeReleaseSpinLock(&ctx->StateLock, irql);
    stickJson["settings"] = {{"DPAD_MODE", arcade.DpadMode},
                             {"TURBO_MASK", arcade.TurboMask},
                             {"TURBO_RATE", arcade.TurboRate},
                             {"HOTKEYS", arcade.HotkeysEnabled}};
    if (first && options.printMapping) {
        out += DescribeStoredMapping(sim::Utf16ToUtf8(ctx->RegistryPath), ctx->RemapRecord, arcade);
    }
    return out;
}
