#include "tests/support/sim_fixture.h"

#include "sim/core/utf.h"
#include "sim/wdf/driver.h"
#include "sim/wdf/object.h"

namespace quillex_test {

SimDriver::SimDriver(const std::string& registryPath) : path_(sim::WideZ(registryPath)) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, path_.data());
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    NTSTATUS status =
        WdfDriverCreate(&wdmDriver_, &path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver_);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

SimDriver::~SimDriver() {
    sim::wdf::UnloadDriver();
}

ContextHolder::ContextHolder(WDFDRIVER driver, size_t inputReportBytes, size_t analogEntries) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.ParentObject = driver;
    NTSTATUS status = WdfObjectCreate(&attributes, &owner_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) {
        return;
    }
    context_ = QuillexGetDeviceContext(owner_);
    context_->Driver = driver;
    context_->Device = static_cast<WDFDEVICE>(owner_);
    if (inputReportBytes != 0) {
        EXPECT_EQ(QuillexAllocMemory(owner_, &context_->InputReport, inputReportBytes),
                  STATUS_SUCCESS);
    }
    if (analogEntries != 0) {
        EXPECT_EQ(
            QuillexAllocMemory(owner_, &context_->AnalogValues, analogEntries * sizeof(ULONG)),
            STATUS_SUCCESS);
    }
}

WDFDEVICE CreateStandInDevice(PWDF_OBJECT_ATTRIBUTES attributes) {
    auto* device = new sim::wdf::Object(sim::wdf::Kind::Device);
    NTSTATUS status =
        sim::wdf::Attach(device, attributes, sim::wdf::DriverRoot(), "CreateStandInDevice");
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) {
        delete device;
        return nullptr;
    }
    return device->HandleAs<WDFDEVICE>();
}

ContextHolder::~ContextHolder() {
    if (owner_ != nullptr) {
        WdfObjectDelete(owner_);
    }
}

} // namespace quillex_test
