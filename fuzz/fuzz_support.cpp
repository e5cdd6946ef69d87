#include "fuzz/fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "sim/core/utf.h"
#include "sim/kernel/pool.h"
#include "sim/wdf/object.h"

namespace quillex_fuzz {

const char* const kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quillex";

WDFDRIVER Driver() {
    // Lives for the whole process: libFuzzer never returns from its loop.
    static DRIVER_OBJECT wdmDriver{};
    static std::vector<WCHAR> path = sim::WideZ(kServiceKey);
    static WDFDRIVER driver = [] {
        UNICODE_STRING registryPath;
        RtlInitUnicodeString(&registryPath, path.data());
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        WDFDRIVER created = nullptr;
        NTSTATUS status =
            WdfDriverCreate(&wdmDriver, &registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &created);
        if (!NT_SUCCESS(status)) {
            fprintf(stderr, "fuzz: WdfDriverCreate failed: 0x%08X\n",
                    static_cast<unsigned>(status));
            abort();
        }
        return created;
    }();
    return driver;
}

void Fail(const char* file, int line, const char* what) {
    fprintf(stderr, "fuzz: %s:%d: the driver broke a promise: %s\n", file, line, what);
    abort();
}

ContextObject::ContextObject() {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.ParentObject = Driver();
    NTSTATUS status = WdfObjectCreate(&attributes, &object_);
    if (!NT_SUCCESS(status)) {
        Fail(__FILE__, __LINE__, "WdfObjectCreate for the context");
    }
    context_ = QuillexGetDeviceContext(object_);
    context_->Driver = Driver();
    context_->Device = static_cast<WDFDEVICE>(object_);
}

ContextObject::~ContextObject() {
    WdfObjectDelete(object_);
}

Footprint::Footprint()
    : blocks_(sim::pool::OutstandingBlocksByTag()), objects_(sim::wdf::LiveObjectCount()) {}

void Footprint::CheckUnchanged() const {
    std::map<ULONG, size_t> now = sim::pool::OutstandingBlocksByTag();
    if (now != blocks_) {
        std::map<ULONG, std::pair<size_t, size_t>> counts;
        for (const auto& [tag, blocks] : blocks_) {
            counts[tag].first = blocks;
        }
        for (const auto& [tag, blocks] : now) {
            counts[tag].second = blocks;
        }
        for (const auto& [tag, blocks] : counts) {
            if (blocks.first != blocks.second) {
                fprintf(stderr,
                        "fuzz: pool tag 0x%08X: %zu blocks once the machine was up, %zu now\n",
                        static_cast<unsigned>(tag), blocks.first, blocks.second);
            }
        }
    }
    FUZZ_CHECK(now == blocks_);
    FUZZ_CHECK(sim::wdf::LiveObjectCount() == objects_);
}

} // namespace quillex_fuzz
