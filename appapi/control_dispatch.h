// Device control requests of the function device's queue: the companion
// application's control codes and the HID collection's own traffic.
#pragma once

#include "platform/device_context.h"

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL Quillex_EvtIoDeviceControl;
