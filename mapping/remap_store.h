// The mapping record and its registry store under <service key>\Parameters\Remap.
#pragma once

#include "driver/device_context.h"

// Prepares the mapping mutex, LED state, initialized flag and registry path.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS TorvaXboxMappingInit(_In_opt_ PDEVICE_CONTEXT Context);
// Loads the record from the registry over the defaults and rebuilds the curves.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingInitRemap(_In_opt_ PDEVICE_CONTEXT Context);
