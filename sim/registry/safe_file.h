// Replacing a file so that a failure at any point leaves the old one intact.
#pragma once

#include <string>

namespace sim::registry {

// Writes 'bytes' to a temporary file in the same folder, flushes it to the
// disk and renames it over 'path' (following a symbolic link to the file it
// names). An existing file keeps its permissions. On failure *error gives the
// step and the system's reason, the temporary file is gone and 'path' is
// untouched. Fault injection: the "ReplaceFile" service fails the write as a
// full disk would.
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error);

// Whether ReplaceFile could succeed: the file, if it exists, can be opened
// for writing, and a file can be created in its folder. Nothing is changed.
bool CheckReplaceable(const std::string& path, std::string* error);

} // namespace sim::registry
