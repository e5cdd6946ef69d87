// The application state block: defaults.
#pragma once

#include "platform/device_context.h"

// Puts the application state block into its defaults.
NTSTATUS AppApi_Initialize(_In_opt_ PAPP_INSTANCE Instance);
