// The mapping as a .reg file: the 28 values of the driver's Remap key and the
// arcade settings beside them, in the format regedit exports and imports,
// written and read through the same reader and writer the simulated
// machine's registry uses.
#pragma once

#include <string>
#include <vector>

#include "tools/common/mapping_names.h"
#include "tools/quillexctl/public_header.h"

// The key, as regedit names it.
inline constexpr const char* kRemapKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap";

// An arcade setting as a file holds it, or as it is written.
struct SettingValue {
    const ArcadeSettingName* setting;
    uint32_t value;
};

// Writes the record's 28 values and the settings given (none for a driver
// without them); an existing file is replaced only once the new one is
// completely written.
bool WriteMappingFile(const std::string& path, const REMAP_RECORD& record,
                      const std::vector<SettingValue>& settings, std::string* error);

// Reads the Remap key's values over *record, and the settings the file holds
// into *settings: a value the file lacks keeps the record's byte, a setting
// it lacks is not listed. Every value is checked first (a REG_DWORD within
// its range); on any error *record and *settings are unchanged and *error
// names the value and its range.
bool ReadMappingFile(const std::string& path, REMAP_RECORD* record,
                     std::vector<SettingValue>* settings, std::string* error);

// Every value of the file's Remap key that the driver does not read (a
// misspelt name, say), as "FILE:LINE: "BTN_Q" is no value of the mapping
// (did you mean BTN_A?)"; false with *error when the file cannot be read.
bool UnknownMappingValues(const std::string& path, std::vector<std::string>* warnings,
                          std::string* error);
