// The mapping as a .reg file: the 28 values of the driver's Remap key, in the
// format regedit exports and imports, written and read through the same
// reader and writer the simulated machine's registry uses.
#pragma once

#include <string>
#include <vector>

#include "tools/quillexctl/public_header.h"

// The key, as regedit names it.
inline constexpr const char* kRemapKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap";

// Writes the record's 28 values; an existing file is replaced only once the
// new one is completely written.
bool WriteMappingFile(const std::string& path, const REMAP_RECORD& record, std::string* error);

// Reads the Remap key's values over *record: a value the file lacks keeps the
// record's byte. Every value is checked first (a REG_DWORD within its range);
// on any error *record is unchanged and *error names the value and its range.
bool ReadMappingFile(const std::string& path, REMAP_RECORD* record, std::string* error);

// Every value of the file's Remap key that the driver does not read (a
// misspelt name, say), as "FILE:LINE: "BTN_Q" is no value of the mapping
// (did you mean BTN_A?)"; false with *error when the file cannot be read.
bool UnknownMappingValues(const std::string& path, std::vector<std::string>* warnings,
                          std::string* error);
