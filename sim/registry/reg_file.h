// .reg files in the Windows Registry Editor 5.00 format, so a registry made in
// the simulator can be read by a person and imported on Windows, and one
// exported by regedit can be loaded here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

// Applies a .reg file's contents to the registry: keys are created with the
// keys above them, values set, and "[-key]" and "name"=- lines delete. The
// text is UTF-16LE with its byte order mark (as regedit writes it) or UTF-8,
// with or without a mark. A malformed file changes nothing: the result is
// false and *error says what is wrong and on which line.
bool ImportRegText(std::string_view bytes, std::string* error);
bool ImportRegFile(const std::string& path, std::string* error);

// The registry as regedit exports it: every key below the two roots, each
// followed by its values in their order, with CRLF line ends. Volatile keys
// are left out, as they do not outlive a restart. The text is returned as
// UTF-8; the file is written UTF-16LE with a byte order mark.
std::string ExportRegText();
bool ExportRegFile(const std::string& path, std::string* error);

} // namespace sim::registry
