// The object namespace: named device objects (\Device\...) and symbolic links
// (\??\...) to them. Names compare without regard to case, as Windows does.
#pragma once

#include <string>
#include <string_view>

#include "ntddk.h"

namespace sim::io {

NTSTATUS InsertDeviceName(const std::string& name, PDEVICE_OBJECT device);
void RemoveName(const std::string& name);

NTSTATUS CreateLink(const std::string& link, const std::string& target);
NTSTATUS DeleteLink(const std::string& link);

// Rewrites the user-mode and alias forms (\\?\x, \\.\x, \GLOBAL??\x,
// \DosDevices\x) to \??\x.
std::string CanonicalPath(std::string_view path);

// The device a path names, following symbolic links. What follows the
// device's own name (for an interface with a reference string, "\Ref") goes
// to 'rest'. Null when nothing of that name exists.
PDEVICE_OBJECT ResolvePath(std::string_view path, std::string* rest);

} // namespace sim::io
