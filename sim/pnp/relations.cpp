// IoInvalidateDeviceRelations: a bus driver (or the framework for a parent
// device) telling the PnP manager that its children changed.
#include "sim/kernel/irql_check.h"
#include "sim/pnp/devnode.h"

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                            DEVICE_RELATION_TYPE Type) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    sim::pnp::DevNode* node = sim::pnp::DevNodeOfPdo(DeviceObject, "IoInvalidateDeviceRelations");
    // Only bus relations lead to new devices; the others change nothing here.
    if (Type == BusRelations && node->invalidateBusRelations) {
        node->invalidateBusRelations();
    }
}
