// Inside the simulated registry: the key tree shared by the Zw services, the
// test interface and the .reg reader and writer.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/registry/registry.h"

namespace sim::registry::tree {

struct CaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
bool NamesEqual(std::string_view a, std::string_view b);

struct KeyNode {
    std::string name;
    bool isVolatile = false;
    bool deleted = false; // set when the key is deleted while a handle may still hold it
    std::map<std::string, std::shared_ptr<KeyNode>, CaseLess> subkeys;
    // In the order they were first set, as Windows enumerates them. Change
    // them through Set and Remove only, which keep the index in step.
    std::vector<Value> values;
    // Value name to its place in 'values', so a key with many values is
    // loaded in n log n rather than n squared.
    std::map<std::string, size_t, CaseLess> valueIndex;

    KeyNode* Find(std::string_view child) const;
    Value* FindValue(std::string_view valueName);
    // Replaces the data of an existing value (keeping its name's case and its
    // place in the order) or appends a new one.
    void Set(std::string_view valueName, ULONG type, std::vector<uint8_t> data);
    bool Remove(std::string_view valueName);
};

// Guards the whole tree; held for the length of every operation on it.
std::mutex& Lock();
// \Registry: its children are the roots Machine and User.
std::shared_ptr<KeyNode> Root();

// Splits a native path ("\Registry\..." when absolute, without the leading
// backslash when relative) into its key names. False for empty names, which
// a doubled or trailing backslash makes, and names over 255 characters.
bool Split(std::string_view path, bool absolute, std::vector<std::string>* names);

// Walks 'names' below 'from'; with 'create', missing keys are made on the
// way. Null when a key is missing. Call with Lock() held.
std::shared_ptr<KeyNode> Walk(const std::shared_ptr<KeyNode>& from,
                              const std::vector<std::string>& names, bool create);
// The key at a native absolute path, or null. Call with Lock() held.
std::shared_ptr<KeyNode> FindPath(std::string_view nativePath, bool create);
// Marks the key and its whole subtree deleted. Call with Lock() held.
void MarkDeleted(KeyNode* key);
// Deletes the key at a native absolute path with its subtree; false when it
// does not exist or is \Registry or a root. Call with Lock() held.
bool DeletePath(std::string_view nativePath);

} // namespace sim::registry::tree
