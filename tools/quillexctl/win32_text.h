// A Win32 error in words, for quillexctl's messages on Windows.
#pragma once

#ifdef _WIN32

#include <windows.h>

#include <string>

// "error 2 (The system cannot find the file specified)", or "error N" when
// the system has no text for it.
std::string Win32Text(DWORD error);

#endif // _WIN32
