// Finding the driver's fault points in its sources: what the sweep fails and
// counts its coverage against.
#include <gtest/gtest.h>

#include "tests/support/fault_points.h"

namespace quillex_test {
namespace {

using sweep::FaultPoint;
using sweep::FaultPointsIn;

std::vector<std::string> Described(const std::vector<FaultPoint>& points) {
    std::vector<std::string> out;
    for (const FaultPoint& p : points) {
        out.push_back(p.service + " " + std::to_string(p.line) + "-" + std::to_string(p.lastLine));
    }
    return out;
}

TEST(FaultPointsTest, CallsAreFoundWithTheirLinesAndNothingElseIs) {
    const std::string source = R"(// WdfMemoryCreate(in a comment) is no call
/* nor WdfRequestCreate(here)
   over two lines */
NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
__declspec(dllimport) NTSTATUS NTAPI
    HidP_GetValueCaps(HIDP_REPORT_TYPE, PHIDP_VALUE_CAPS, PUSHORT, PHIDP_PREPARSED_DATA);
NTSTATUS Make(PDEVICE_CONTEXT Context) {
    TraceEvents(2, 1, "WdfIoTargetCreate(failed) %c", '(');
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, 'XvrT', size,
                                      &memory, &buffer);
    if (!WdfRequestSend(request, target, NULL)) {
        return WdfRequestCreate(&attributes, target, &request);
    }
    (VOID) ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
    MyWdfMemoryCreate(1);
    return status;
}
)";
    EXPECT_EQ(Described(FaultPointsIn("driver/x.cpp", source)),
              (std::vector<std::string>{"WdfMemoryCreate 9-10", "WdfRequestSend 11-11",
                                        "WdfRequestCreate 12-12", "ZwSetValueKey 14-14"}));
}

TEST(FaultPointsTest, OnlyWaitsThatCanEndEarlyAreFaultPoints) {
    const std::string source = R"(
KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, NULL);
KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
KeWaitForSingleObject(&stop, Executive, KernelMode, TRUE, &wait);
KeWaitForSingleObject(&exited, Executive, KernelMode, FALSE, &timeout);
KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, TRUE, NULL, NULL);
)";
    EXPECT_EQ(Described(FaultPointsIn("hid/x.cpp", source)),
              (std::vector<std::string>{"KeWaitForSingleObject 4-4", "KeWaitForSingleObject 5-5",
                                        "KeWaitForMultipleObjects 7-7"}));
}

} // namespace
} // namespace quillex_test
