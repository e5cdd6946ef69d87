// --print-mapping: the mapping as stored in the registry and what the driver
// makes of it.
#pragma once

#include <string>

#include "platform/device_context.h"

// One line per stored value in record order, "  BTN_A  = 0x03  Y  (REG_DWORD
// 0x00000003)", with a warning under each value the driver reads otherwise
// than its writer may expect (wrong type, too long, out of range) and a line
// for values in the key the driver never reads; then each curve's control
// points explained. 'loaded' is the record the driver loaded from the key,
// 'settings' the arcade settings beside it, listed after the record's values.
std::string DescribeStoredMapping(const std::string& keyPath, const REMAP_RECORD& loaded,
                                  const ARCADE_STATE& settings);
