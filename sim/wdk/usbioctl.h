// USB definitions of the WDK's usbioctl.h.
#pragma once

#include "ntddk.h"
