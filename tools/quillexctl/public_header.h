// The driver's public header with the platform types it is written against:
// Windows' own headers there, the simulator's declarations of them here.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include "ntddk.h"
#endif
#include <stddef.h>

#include "appapi/quillex_public.h"
