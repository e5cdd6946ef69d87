#include "bench/service.h"

#include "sim/core/utf.h"
#include "sim/registry/registry.h"
#include "sim/wdf/driver.h"

QuillexService::QuillexService() : path_(sim::WideZ(kQuillexServiceKey)) {
    if (!sim::registry::CreateKey(std::string(kQuillexServiceKey) + "\\Parameters")) {
        return;
    }
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, path_.data());
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    if (!NT_SUCCESS(
            WdfDriverCreate(&wdmDriver_, &path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver_))) {
        driver_ = nullptr;
    }
}

QuillexService::~QuillexService() {
    if (driver_ != nullptr) {
        sim::wdf::UnloadDriver();
    }
}
