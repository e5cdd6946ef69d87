// USB definitions of the WDK's usbbusif.h.
#pragma once

#include "ntddk.h"
