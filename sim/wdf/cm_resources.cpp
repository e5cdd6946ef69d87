// Hardware resource lists. An arcade stick's HID collection has no hardware
// resources of its own, so the lists handed to EvtDevicePrepareHardware are empty.
#include "sim/wdf/object.h"

extern "C" ULONG WdfCmResourceListGetCount(WDFCMRESLIST List) {
    sim::wdf::Lookup(reinterpret_cast<WDFOBJECT>(List), sim::wdf::Kind::CmResList,
                     "WdfCmResourceListGetCount");
    return 0;
}
