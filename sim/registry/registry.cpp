// The key tree and the test interface to it.
#include <algorithm>

#include "sim/core/utf.h"
#include "sim/registry/tree.h"

namespace sim::registry {
namespace tree {
namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

std::shared_ptr<KeyNode> MakeRoot() {
    auto root = std::make_shared<KeyNode>();
    root->name = "Registry";
    for (const char* hive : {"Machine", "User"}) {
        auto child = std::make_shared<KeyNode>();
        child->name = hive;
        root->subkeys.emplace(child->name, child);
    }
    return root;
}

std::shared_ptr<KeyNode> g_root = MakeRoot();

} // namespace

bool CaseLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Upper(x) < Upper(y); });
}

bool NamesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Upper(x) == Upper(y); });
}

KeyNode* KeyNode::Find(std::string_view child) const {
    auto it = subkeys.find(child);
    return it == subkeys.end() ? nullptr : it->second.get();
}

Value* KeyNode::FindValue(std::string_view valueName) {
    auto it = valueIndex.find(valueName);
    return it == valueIndex.end() ? nullptr : &values[it->second];
}

void KeyNode::Set(std::string_view valueName, ULONG type, std::vector<uint8_t> data) {
    Value* existing = FindValue(valueName);
    if (existing != nullptr) {
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    valueIndex.emplace(std::string(valueName), values.size());
    values.push_back(Value{std::string(valueName), type, std::move(data)});
}

bool KeyNode::Remove(std::string_view valueName) {
    auto it = valueIndex.find(valueName);
    if (it == valueIndex.end()) {
        return false;
    }
    size_t position = it->second;
    valueIndex.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(position));
    for (auto& [name, index] : valueIndex) {
        if (index > position) {
            --index;
        }
    }
    return true;
}

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<KeyNode> Root() {
    return g_root;
}

bool Split(std::string_view path, bool absolute, std::vector<std::string>* names) {
    names->clear();
    if (absolute) {
        if (path.empty() || path[0] != '\\') {
            return false;
        }
        path.remove_prefix(1);
    }
    if (path.empty()) {
        return true;
    }
    for (;;) {
        size_t slash = path.find('\\');
        std::string_view name = path.substr(0, slash);
        // Key names are at most 255 characters; a name of 255 bytes or
        // fewer cannot be more, so only a longer one is counted.
        if (name.empty() || (name.size() > 255 && Utf8ToUtf16(name).size() > 255)) {
            return false;
        }
        names->emplace_back(name);
        if (slash == std::string_view::npos) {
            return true;
        }
        path.remove_prefix(slash + 1);
    }
}

std::shared_ptr<KeyNode> Walk(const std::shared_ptr<KeyNode>& from,
                              const std::vector<std::string>& names, bool create) {
    std::shared_ptr<KeyNode> key = from;
    for (const std::string& name : names) {
        auto it = key->subkeys.find(name);
        if (it == key->subkeys.end()) {
            if (!create) {
                return nullptr;
            }
            auto child = std::make_shared<KeyNode>();
            child->name = name;
            child->isVolatile = key->isVolatile;
            it = key->subkeys.emplace(name, child).first;
        }
        key = it->second;
    }
    return key;
}

std::shared_ptr<KeyNode> FindPath(std::string_view nativePath, bool create) {
    std::vector<std::string> names;
    if (!Split(nativePath, true, &names) || names.empty() || !NamesEqual(names[0], "Registry")) {
        return nullptr;
    }
    names.erase(names.begin());
    // Keys are made below the roots only; \Registry holds the two roots alone.
    if (create && !names.empty() && g_root->Find(names[0]) == nullptr) {
        return nullptr;
    }
    return Walk(g_root, names, create);
}

void MarkDeleted(KeyNode* key) {
    key->deleted = true;
    for (auto& [name, child] : key->subkeys) {
        MarkDeleted(child.get());
    }
}

bool DeletePath(std::string_view nativePath) {
    std::vector<std::string> names;
    if (!Split(nativePath, true, &names) || names.size() < 3) {
        return false;
    }
    std::string leaf = names.back();
    names.pop_back();
    names.erase(names.begin());
    std::shared_ptr<KeyNode> parent = Walk(g_root, names, false);
    if (parent == nullptr) {
        return false;
    }
    auto it = parent->subkeys.find(leaf);
    if (it == parent->subkeys.end()) {
        return false;
    }
    MarkDeleted(it->second.get());
    parent->subkeys.erase(it);
    return true;
}

} // namespace tree

using namespace tree;

void Reset() {
    std::lock_guard<std::mutex> guard(Lock());
    MarkDeleted(g_root.get());
    g_root = MakeRoot();
}

std::optional<std::string> NativePath(std::string_view path) {
    struct Alias {
        const char* name;
        const char* native;
    };
    static const Alias kAliases[] = {
        {"HKEY_LOCAL_MACHINE", "\\Registry\\Machine"},
        {"HKLM", "\\Registry\\Machine"},
        {"HKEY_USERS", "\\Registry\\User"},
        {"HKU", "\\Registry\\User"},
        {"HKEY_CLASSES_ROOT", "\\Registry\\Machine\\Software\\Classes"},
        {"HKCR", "\\Registry\\Machine\\Software\\Classes"},
        {"HKEY_CURRENT_CONFIG", "\\Registry\\Machine\\System\\CurrentControlSet\\Hardware "
                                "Profiles\\Current"},
    };
    if (!path.empty() && path[0] == '\\') {
        size_t end = path.find('\\', 1);
        if (!NamesEqual(path.substr(1, end == std::string_view::npos ? end : end - 1),
                        "Registry")) {
            return std::nullopt;
        }
        return std::string(path);
    }
    size_t slash = path.find('\\');
    std::string_view root = path.substr(0, slash);
    for (const Alias& a : kAliases) {
        if (NamesEqual(root, a.name)) {
            std::string native = a.native;
            if (slash != std::string_view::npos) {
                native.append(path.substr(slash));
            }
            return native;
        }
    }
    return std::nullopt;
}

namespace {

// The key at a path given either way, or null. Call with Lock() held.
std::shared_ptr<KeyNode> Resolve(std::string_view path, bool create) {
    std::optional<std::string> native = NativePath(path);
    return native ? FindPath(*native, create) : nullptr;
}

std::vector<uint8_t> Utf16Data(std::string_view text) {
    std::vector<WCHAR> wide = WideZ(text);
    std::vector<uint8_t> data(wide.size() * 2);
    for (size_t i = 0; i < wide.size(); ++i) {
        data[2 * i] = static_cast<uint8_t>(wide[i] & 0xFF);
        data[2 * i + 1] = static_cast<uint8_t>((wide[i] >> 8) & 0xFF);
    }
    return data;
}

} // namespace

bool CreateKey(std::string_view path) {
    std::lock_guard<std::mutex> guard(Lock());
    return Resolve(path, true) != nullptr;
}

bool KeyExists(std::string_view path) {
    std::lock_guard<std::mutex> guard(Lock());
    return Resolve(path, false) != nullptr;
}

bool DeleteKey(std::string_view path) {
    std::optional<std::string> native = NativePath(path);
    std::lock_guard<std::mutex> guard(Lock());
    return native && DeletePath(*native);
}

std::vector<std::string> SubkeyNames(std::string_view path) {
    std::lock_guard<std::mutex> guard(Lock());
    std::vector<std::string> names;
    if (std::shared_ptr<KeyNode> key = Resolve(path, false)) {
        for (const auto& [name, child] : key->subkeys) {
            names.push_back(child->name);
        }
    }
    return names;
}

bool SetValue(std::string_view keyPath, std::string_view name, ULONG type,
              const std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> guard(Lock());
    std::shared_ptr<KeyNode> key = Resolve(keyPath, true);
    if (key == nullptr) {
        return false;
    }
    key->Set(name, type, data);
    return true;
}

bool SetDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    std::vector<uint8_t> data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                 static_cast<uint8_t>(value >> 16),
                                 static_cast<uint8_t>(value >> 24)};
    return SetValue(keyPath, name, REG_DWORD, data);
}

bool SetString(std::string_view keyPath, std::string_view name, std::string_view text) {
    return SetValue(keyPath, name, REG_SZ, Utf16Data(text));
}

bool DeleteValue(std::string_view keyPath, std::string_view name) {
    std::lock_guard<std::mutex> guard(Lock());
    std::shared_ptr<KeyNode> key = Resolve(keyPath, false);
    return key != nullptr && key->Remove(name);
}

std::optional<Value> GetValue(std::string_view keyPath, std::string_view name) {
    std::lock_guard<std::mutex> guard(Lock());
    std::shared_ptr<KeyNode> key = Resolve(keyPath, false);
    if (key == nullptr) {
        return std::nullopt;
    }
    Value* v = key->FindValue(name);
    return v ? std::optional<Value>(*v) : std::nullopt;
}

std::optional<uint32_t> GetDword(std::string_view keyPath, std::string_view name) {
    std::optional<Value> v = GetValue(keyPath, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(v->data[0]) | static_cast<uint32_t>(v->data[1]) << 8 |
           static_cast<uint32_t>(v->data[2]) << 16 | static_cast<uint32_t>(v->data[3]) << 24;
}

std::vector<Value> Values(std::string_view keyPath) {
    std::lock_guard<std::mutex> guard(Lock());
    std::shared_ptr<KeyNode> key = Resolve(keyPath, false);
    return key ? key->values : std::vector<Value>{};
}

} // namespace sim::registry
