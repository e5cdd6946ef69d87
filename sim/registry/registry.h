// The simulated registry: an in-memory tree of keys and values behind the Zw
// registry services, loadable from and savable to .reg files (see reg_file.h).
//
// Key paths are either native ("\Registry\Machine\System\...") or written as
// regedit writes them ("HKEY_LOCAL_MACHINE\System\..."). Key and value names
// compare without regard to ASCII case and keep the case they were created
// with. The tree starts with the two roots \Registry\Machine and
// \Registry\User and nothing below them.
#pragma once

#include <optional>
#include <stdint.h>
#include <string>
#include <string_view>
#include <vector>

#include "ntddk.h"

namespace sim::registry {

struct Value {
    std::string name; // UTF-8; empty for the key's default value
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Back to the two empty roots. Handles still open refer to deleted keys.
void Reset();

// Resets on construction and destruction, so each test starts with an empty
// registry.
class Scope {
  public:
    Scope() { Reset(); }
    ~Scope() { Reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

// The native form of a path given either way; nullopt when it is not a
// registry path.
std::optional<std::string> NativePath(std::string_view path);

// Creates the key and every missing key above it. False for a malformed path.
bool CreateKey(std::string_view path);
bool KeyExists(std::string_view path);
// Deletes the key with everything below it; false when it does not exist or
// is one of the roots.
bool DeleteKey(std::string_view path);
std::vector<std::string> SubkeyNames(std::string_view path);

// Sets a value, creating the key (and the keys above it) if needed.
bool SetValue(std::string_view keyPath, std::string_view name, ULONG type,
              const std::vector<uint8_t>& data);
bool SetDword(std::string_view keyPath, std::string_view name, uint32_t value);
// REG_SZ: the text as UTF-16LE with its terminating NUL.
bool SetString(std::string_view keyPath, std::string_view name, std::string_view text);
bool DeleteValue(std::string_view keyPath, std::string_view name);

std::optional<Value> GetValue(std::string_view keyPath, std::string_view name);
// The value's data as a 32-bit number when it is a 4-byte REG_DWORD.
std::optional<uint32_t> GetDword(std::string_view keyPath, std::string_view name);
// Values in the order they were first set, as Windows enumerates them.
std::vector<Value> Values(std::string_view keyPath);

} // namespace sim::registry
