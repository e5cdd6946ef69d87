// Reading and writing Windows Registry Editor 5.00 files.
#include "sim/registry/reg_file.h"

#include <stdio.h>

#include "sim/core/utf.h"
#include "sim/registry/tree.h"

namespace sim::registry {
namespace {

using tree::KeyNode;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

struct Root {
    const char* hive;   // below \Registry
    const char* prefix; // as regedit writes it
};
constexpr Root kRoots[] = {{"Machine", "HKEY_LOCAL_MACHINE"}, {"User", "HKEY_USERS"}};

// One change that a file asks for, applied only once the whole file parsed.
struct Change {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    std::string key; // native path
    Value value;
};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && tree::NamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Parses a number of 1..maxDigits hex digits that makes up all of 's'.
bool ParseHex(std::string_view s, size_t maxDigits, uint32_t* out) {
    if (s.empty() || s.size() > maxDigits) {
        return false;
    }
    uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) {
            return false;
        }
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// Reads a quoted string at the start of 's' ("...", with \\ and \" escapes)
// and moves 's' past it.
bool ParseQuoted(std::string_view* s, std::string* out) {
    if (s->empty() || s->front() != '"') {
        return false;
    }
    out->clear();
    for (size_t i = 1; i < s->size(); ++i) {
        char c = (*s)[i];
        if (c == '\\' && i + 1 < s->size() && ((*s)[i + 1] == '\\' || (*s)[i + 1] == '"')) {
            *out += (*s)[++i];
        } else if (c == '"') {
            s->remove_prefix(i + 1);
            return true;
        } else {
            *out += c;
        }
    }
    return false;
}

bool ParseByteList(std::string_view s, std::vector<uint8_t>* out) {
    out->clear();
    s = Trim(s);
    if (s.empty()) {
        return true;
    }
    for (;;) {
        size_t comma = s.find(',');
        uint32_t b;
        if (!ParseHex(Trim(s.substr(0, comma)), 2, &b)) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(b));
        if (comma == std::string_view::npos) {
            return true;
        }
        s.remove_prefix(comma + 1);
    }
}

std::vector<uint8_t> Utf16LeBytes(std::string_view utf8, bool terminate) {
    std::vector<WCHAR> wide = Utf8ToUtf16(utf8);
    if (terminate) {
        wide.push_back(0);
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(wide.size() * 2);
    for (WCHAR c : wide) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
    return bytes;
}

// The file's bytes as UTF-8 text, whatever encoding it came in.
bool DecodeText(std::string_view bytes, std::string* text, std::string* error) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            *error = "UTF-16 file with an odd number of bytes";
            return false;
        }
        std::vector<WCHAR> wide;
        for (size_t i = 2; i < bytes.size(); i += 2) {
            wide.push_back(static_cast<WCHAR>(static_cast<uint8_t>(bytes[i]) |
                                              static_cast<uint8_t>(bytes[i + 1]) << 8));
        }
        *text = Utf16ToUtf8(wide.data(), wide.size());
        return true;
    }
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
        static_cast<uint8_t>(bytes[1]) == 0xFF) {
        *error = "big-endian UTF-16 is not a .reg encoding; save it as UTF-16LE or UTF-8";
        return false;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    *text = std::string(bytes);
    return true;
}

// A key line's path as a native path below one of the roots.
bool KeyPath(std::string_view written, std::string* native) {
    std::optional<std::string> path = NativePath(written);
    std::vector<std::string> names;
    if (!path || !tree::Split(*path, true, &names) || names.size() < 2) {
        return false;
    }
    for (const Root& root : kRoots) {
        if (tree::NamesEqual(names[1], root.hive)) {
            *native = *path;
            return true;
        }
    }
    return false;
}

bool ParseValueLine(std::string_view line, const std::string& key, Change* change,
                    std::string* why) {
    change->key = key;
    Value& value = change->value;
    if (line.front() == '@') {
        value.name.clear();
        line.remove_prefix(1);
    } else if (!ParseQuoted(&line, &value.name)) {
        *why = "unterminated value name";
        return false;
    }
    line = Trim(line);
    if (line.empty() || line.front() != '=') {
        *why = "expected '=' after the value name";
        return false;
    }
    line = Trim(line.substr(1));
    if (line == "-") {
        change->kind = Change::kDeleteValue;
        return true;
    }
    change->kind = Change::kSetValue;
    if (!line.empty() && line.front() == '"') {
        std::string text;
        if (!ParseQuoted(&line, &text) || !Trim(line).empty()) {
            *why = "malformed string data";
            return false;
        }
        value.type = REG_SZ;
        value.data = Utf16LeBytes(text, true);
        return true;
    }
    if (StartsWithNoCase(line, "dword:")) {
        uint32_t v;
        if (!ParseHex(line.substr(6), 8, &v)) {
            *why = "dword data must be 1 to 8 hex digits";
            return false;
        }
        value.type = REG_DWORD;
        value.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                      static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (StartsWithNoCase(line, "hex")) {
        line.remove_prefix(3);
        uint32_t type = REG_BINARY;
        if (!line.empty() && line.front() == '(') {
            size_t close = line.find(')');
            if (close == std::string_view::npos || !ParseHex(line.substr(1, close - 1), 8, &type)) {
                *why = "malformed hex(type)";
                return false;
            }
            line.remove_prefix(close + 1);
        }
        if (line.empty() || line.front() != ':' || !ParseByteList(line.substr(1), &value.data)) {
            *why = "malformed hex data";
            return false;
        }
        value.type = type;
        return true;
    }
    *why = "unknown data type";
    return false;
}

bool Parse(const std::string& text, std::vector<Change>* changes, std::string* error) {
    std::vector<std::string_view> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        lines.push_back(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }

    bool sawHeader = false;
    std::string key; // the key values go to; empty after a deletion
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t lineNumber = i + 1;
        std::string line(Trim(lines[i]));
        auto fail = [&](const std::string& why) {
            *error = "line " + std::to_string(lineNumber) + ": " + why;
            return false;
        };
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (!sawHeader) {
            if (line != kHeader) {
                return fail("not a Windows Registry Editor Version 5.00 file");
            }
            sawHeader = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail("key line without its closing ']'");
            }
            std::string_view inner = std::string_view(line).substr(1, line.size() - 2);
            bool remove = !inner.empty() && inner.front() == '-';
            std::string native;
            if (!KeyPath(remove ? inner.substr(1) : inner, &native)) {
                return fail("not a key below HKEY_LOCAL_MACHINE or HKEY_USERS");
            }
            if (remove) {
                std::vector<std::string> names;
                tree::Split(native, true, &names);
                if (names.size() < 3) {
                    return fail("a root key cannot be deleted");
                }
            }
            changes->push_back(
                Change{remove ? Change::kDeleteKey : Change::kCreateKey, native, {}});
            key = remove ? std::string() : native;
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            return fail("not a key, a value or a comment");
        }
        if (key.empty()) {
            return fail("value outside a key");
        }
        // Hex data goes on over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
            line.pop_back();
            line += Trim(lines[++i]);
        }
        Change change;
        std::string why;
        if (!ParseValueLine(line, key, &change, &why)) {
            return fail(why);
        }
        changes->push_back(std::move(change));
    }
    if (!sawHeader) {
        *error = "empty file: no Windows Registry Editor Version 5.00 header";
        return false;
    }
    return true;
}

void Apply(const std::vector<Change>& changes) {
    std::lock_guard<std::mutex> guard(tree::Lock());
    for (const Change& c : changes) {
        switch (c.kind) {
        case Change::kCreateKey:
            tree::FindPath(c.key, true);
            break;
        case Change::kDeleteKey:
            tree::DeletePath(c.key); // a key that is not there is no error, as in regedit
            break;
        case Change::kSetValue:
            tree::FindPath(c.key, true)->Set(c.value.name, c.value.type, c.value.data);
            break;
        case Change::kDeleteValue:
            tree::FindPath(c.key, true)->Remove(c.value.name);
            break;
        }
    }
}

// --- writing ---

std::string Escaped(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// REG_SZ data that is one NUL-terminated UTF-16 string is written as text.
bool IsPlainString(const std::vector<uint8_t>& d) {
    if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 1] != 0 || d[d.size() - 2] != 0) {
        return false;
    }
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
        if (d[i] == 0 && d[i + 1] == 0) {
            return false;
        }
    }
    return true;
}

void WriteValue(const Value& v, std::string* out) {
    std::string line = v.name.empty() ? "@=" : "\"" + Escaped(v.name) + "\"=";
    char buf[32];
    if (v.type == REG_SZ && IsPlainString(v.data)) {
        std::vector<WCHAR> wide;
        for (size_t i = 0; i + 2 < v.data.size(); i += 2) {
            wide.push_back(static_cast<WCHAR>(v.data[i] | v.data[i + 1] << 8));
        }
        *out += line + "\"" + Escaped(Utf16ToUtf8(wide.data(), wide.size())) + "\"\r\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                     static_cast<uint32_t>(v.data[2]) << 16 |
                     static_cast<uint32_t>(v.data[3]) << 24;
        snprintf(buf, sizeof(buf), "dword:%08x\r\n", n);
        *out += line + buf;
        return;
    }
    if (v.type == REG_BINARY) {
        line += "hex:";
    } else {
        snprintf(buf, sizeof(buf), "hex(%x):", v.type);
        line += buf;
    }
    // Lines stay within 80 columns: after a byte that takes a line to 77
    // columns or more, it goes on after a backslash, indented by two.
    size_t column = line.size();
    for (size_t i = 0; i < v.data.size(); ++i) {
        snprintf(buf, sizeof(buf), "%02x", v.data[i]);
        line += buf;
        if (i + 1 == v.data.size()) {
            break;
        }
        line += ',';
        column += 3;
        if (column >= 77) {
            line += "\\\r\n  ";
            column = 2;
        }
    }
    *out += line + "\r\n";
}

void WriteKey(const KeyNode& key, const std::string& path, std::string* out) {
    if (key.isVolatile) {
        return;
    }
    *out += "[" + path + "]\r\n";
    for (const Value& v : key.values) {
        WriteValue(v, out);
    }
    *out += "\r\n";
    for (const auto& [name, child] : key.subkeys) {
        WriteKey(*child, path + "\\" + child->name, out);
    }
}

} // namespace

bool ImportRegText(std::string_view bytes, std::string* error) {
    std::string text, ignored;
    std::string* why = error ? error : &ignored;
    std::vector<Change> changes;
    if (!DecodeText(bytes, &text, why) || !Parse(text, &changes, why)) {
        return false;
    }
    Apply(changes);
    return true;
}

bool ImportRegFile(const std::string& path, std::string* error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        if (error) {
            *error = path + ": cannot open";
        }
        return false;
    }
    std::string bytes;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        bytes.append(buf, n);
    }
    bool readError = ferror(f) != 0;
    fclose(f);
    if (readError) {
        if (error) {
            *error = path + ": read error";
        }
        return false;
    }
    std::string why;
    if (!ImportRegText(bytes, &why)) {
        if (error) {
            *error = path + ": " + why;
        }
        return false;
    }
    return true;
}

std::string ExportRegText() {
    std::string out = std::string(kHeader) + "\r\n\r\n";
    std::lock_guard<std::mutex> guard(tree::Lock());
    for (const Root& root : kRoots) {
        KeyNode* hive = tree::Root()->Find(root.hive);
        if (hive == nullptr) {
            continue;
        }
        if (!hive->values.empty()) {
            out += "[" + std::string(root.prefix) + "]\r\n";
            for (const Value& v : hive->values) {
                WriteValue(v, &out);
            }
            out += "\r\n";
        }
        for (const auto& [name, child] : hive->subkeys) {
            WriteKey(*child, std::string(root.prefix) + "\\" + child->name, &out);
        }
    }
    return out;
}

bool ExportRegFile(const std::string& path, std::string* error) {
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    std::vector<uint8_t> text = Utf16LeBytes(ExportRegText(), false);
    bytes.insert(bytes.end(), text.begin(), text.end());
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f != nullptr && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr && fclose(f) != 0) {
        ok = false;
    }
    if (!ok && error) {
        *error = path + ": cannot write";
    }
    return ok;
}

} // namespace sim::registry
