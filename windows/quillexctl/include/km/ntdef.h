// quillexctl.exe's build: see ../ntddk.h.
#pragma once

#include "ntddk.h"
