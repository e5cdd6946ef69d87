// quillexctl.exe's build: the simulator's user-mode parts it shares (the .reg
// reader and writer) are written against the Windows types the simulator
// declares here; on Windows they are the platform's own.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>
