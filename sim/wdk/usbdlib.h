// USB definitions of the WDK's usbdlib.h.
#pragma once

#include "ntddk.h"
