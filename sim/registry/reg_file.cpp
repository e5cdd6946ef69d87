// Reading and writing Windows Registry Editor files (version 5.00, and the
// older REGEDIT4).
#include "sim/registry/reg_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <utility>

#include "sim/core/utf.h"
#include "sim/registry/reg_syntax.h"
#include "sim/registry/safe_file.h"

namespace sim::registry {
namespace syntax {
namespace {

using tree::KeyNode;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";

// Hives of a Windows machine that the simulated one does not have: their keys
// are kept as the file has them and written back unchanged.
constexpr const char* kForeignRoots[] = {"HKEY_CURRENT_USER", "HKCU",
                                         "HKEY_CURRENT_USER_LOCAL_SETTINGS",
                                         "HKEY_PERFORMANCE_DATA", "HKEY_DYN_DATA"};

struct Root {
    const char* hive;   // below \Registry
    const char* prefix; // as regedit writes it
};
constexpr Root kRoots[] = {{"Machine", "HKEY_LOCAL_MACHINE"}, {"User", "HKEY_USERS"}};

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

bool ParseValueLine(std::string_view line, Line* parsed, std::string* why) {
    Value& value = parsed->value;
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
        parsed->kind = Line::kDeleteValue;
        return true;
    }
    parsed->kind = Line::kValue;
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

bool IsForeignRoot(std::string_view written) {
    std::string_view root = written.substr(0, written.find('\\'));
    for (const char* foreign : kForeignRoots) {
        if (tree::NamesEqual(root, foreign)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool Decode(std::string_view bytes, std::string* text, Encoding* encoding, std::string* error) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    bool withBom = bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE;
    // Without a mark, UTF-16LE shows itself by the zero high byte of the
    // header's first character.
    bool bare16 = !withBom && bytes.size() >= 2 && byte(0) != 0 && byte(1) == 0;
    if (withBom || bare16) {
        size_t start = withBom ? 2 : 0;
        if ((bytes.size() - start) % 2 != 0) {
            *error = "UTF-16 file with an odd number of bytes";
            return false;
        }
        std::vector<WCHAR> wide;
        wide.reserve((bytes.size() - start) / 2);
        for (size_t i = start; i < bytes.size(); i += 2) {
            wide.push_back(static_cast<WCHAR>(byte(i) | byte(i + 1) << 8));
        }
        *text = Utf16ToUtf8(wide.data(), wide.size());
        *encoding = withBom ? Encoding::kUtf16WithBom : Encoding::kUtf16;
        return true;
    }
    if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        *error = "big-endian UTF-16 is not a .reg encoding; save it as UTF-16LE or UTF-8";
        return false;
    }
    *encoding = Encoding::kUtf8;
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
        *encoding = Encoding::kUtf8WithBom;
    }
    *text = std::string(bytes);
    return true;
}

std::string Encode(const std::string& text, Encoding encoding) {
    switch (encoding) {
    case Encoding::kUtf8:
        return text;
    case Encoding::kUtf8WithBom:
        return "\xEF\xBB\xBF" + text;
    default: {
        std::vector<uint8_t> wide = Utf16LeBytes(text, false);
        std::string out = encoding == Encoding::kUtf16WithBom ? "\xFF\xFE" : "";
        out.append(wide.begin(), wide.end());
        return out;
    }
    }
}

bool Parse(const std::string& text, Document* document, std::string* error) {
    // Physical lines, each with its line end.
    std::vector<std::string_view> physical;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        size_t length = nl == std::string_view::npos ? rest.size() : nl + 1;
        physical.push_back(rest.substr(0, length));
        rest.remove_prefix(length);
    }
    if (!physical.empty() && physical[0].size() >= 2 &&
        physical[0].substr(physical[0].size() - 2) != "\r\n" && physical[0].back() == '\n') {
        document->newline = "\n";
    }

    bool sawHeader = false;
    bool foreign = false; // in a section of a hive the machine does not have
    std::string key;      // the key values go to; empty after a deletion
    for (size_t i = 0; i < physical.size(); ++i) {
        size_t lineNumber = i + 1;
        Line parsed;
        parsed.raw = std::string(physical[i]);
        std::string line(Trim(physical[i].substr(0, physical[i].find('\n'))));
        auto fail = [&](const std::string& why) {
            *error = "line " + std::to_string(lineNumber) + ": " + why;
            return false;
        };
        if (line.empty() || line[0] == ';') {
            document->lines.push_back(std::move(parsed));
            continue;
        }
        if (!sawHeader) {
            if (line != kHeader && line != kOldHeader) {
                return fail("not a Windows Registry Editor Version 5.00 (or REGEDIT4) file");
            }
            sawHeader = true;
            document->lines.push_back(std::move(parsed));
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail("key line without its closing ']'");
            }
            std::string_view inner = std::string_view(line).substr(1, line.size() - 2);
            bool remove = !inner.empty() && inner.front() == '-';
            std::string_view written = remove ? inner.substr(1) : inner;
            foreign = IsForeignRoot(written);
            if (foreign) {
                parsed.kind = Line::kForeign;
                key = std::string(written);
                document->lines.push_back(std::move(parsed));
                continue;
            }
            std::string native;
            if (!KeyPath(written, &native)) {
                return fail("not a key below HKEY_LOCAL_MACHINE, HKEY_USERS or another "
                            "registry root");
            }
            if (remove) {
                std::vector<std::string> names;
                tree::Split(native, true, &names);
                if (names.size() < 3) {
                    return fail("a root key cannot be deleted");
                }
            }
            parsed.kind = remove ? Line::kDeleteKey : Line::kKey;
            parsed.key = native;
            key = remove ? std::string() : native;
            document->lines.push_back(std::move(parsed));
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            return fail("not a key, a value or a comment");
        }
        if (key.empty()) {
            return fail("value outside a key");
        }
        // Hex data goes on over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && i + 1 < physical.size()) {
            line.pop_back();
            ++i;
            parsed.raw += physical[i];
            line += Trim(physical[i].substr(0, physical[i].find('\n')));
        }
        std::string why;
        if (!ParseValueLine(line, &parsed, &why)) {
            return fail(why);
        }
        if (foreign) {
            parsed.kind = Line::kForeign;
        } else {
            parsed.key = key;
        }
        document->lines.push_back(std::move(parsed));
    }
    if (!sawHeader) {
        *error = "empty file: no Windows Registry Editor Version 5.00 header";
        return false;
    }
    return true;
}

namespace {

void Apply(const Document& document) {
    std::lock_guard<std::mutex> guard(tree::Lock());
    // Values of one key come together: find the key once for them all.
    std::string lastPath;
    std::shared_ptr<KeyNode> last;
    auto find = [&](const std::string& path) {
        if (last == nullptr || last->deleted || path != lastPath) {
            last = tree::FindPath(path, true);
            lastPath = path;
        }
        return last;
    };
    for (const Line& line : document.lines) {
        switch (line.kind) {
        case Line::kKey:
            find(line.key);
            break;
        case Line::kDeleteKey:
            tree::DeletePath(line.key); // a key that is not there is no error, as in regedit
            last = nullptr;
            break;
        case Line::kValue:
            find(line.key)->Set(line.value.name, line.value.type, line.value.data);
            break;
        case Line::kDeleteValue:
            find(line.key)->Remove(line.value.name);
            break;
        default:
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

// REG_SZ data that is one NUL-terminated UTF-16 string is written as text,
// unless it holds a line break, which would end the quoted text's line.
bool IsPlainString(const std::vector<uint8_t>& d) {
    if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 1] != 0 || d[d.size() - 2] != 0) {
        return false;
    }
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
        if (d[i + 1] == 0 && (d[i] == 0 || d[i] == '\r' || d[i] == '\n')) {
            return false;
        }
    }
    return true;
}

void VisitKey(const KeyNode& key, const std::string& path,
              const std::function<void(const std::string&, const KeyNode&)>& visit) {
    if (key.isVolatile) {
        return;
    }
    visit(path, key);
    for (const auto& [name, child] : key.subkeys) {
        VisitKey(*child, path + "\\" + child->name, visit);
    }
}

} // namespace

void FormatValue(const Value& v, std::string* out) {
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

void ForEachExportedKey(
    const std::function<void(const std::string& written, const KeyNode& key)>& visit) {
    for (const Root& root : kRoots) {
        KeyNode* hive = tree::Root()->Find(root.hive);
        if (hive == nullptr) {
            continue;
        }
        // A root is written only for values of its own.
        if (!hive->values.empty()) {
            visit(root.prefix, *hive);
        }
        for (const auto& [name, child] : hive->subkeys) {
            VisitKey(*child, std::string(root.prefix) + "\\" + child->name, visit);
        }
    }
}

} // namespace syntax

using syntax::Document;
using syntax::Encoding;

namespace {

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = path + ": cannot open: " + strerror(errno);
        return false;
    }
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        bytes->append(buf, n);
    }
    bool readError = ferror(f) != 0;
    int readErrno = errno;
    fclose(f);
    if (readError) {
        *error = path + ": read error: " + strerror(readErrno);
        return false;
    }
    return true;
}

bool LoadDocument(std::string_view bytes, Document* document, std::string* error) {
    std::string text;
    return syntax::Decode(bytes, &text, &document->encoding, error) &&
           syntax::Parse(text, document, error);
}

} // namespace

bool ImportRegText(std::string_view bytes, std::string* error) {
    std::string ignored;
    std::string* why = error ? error : &ignored;
    Document document;
    if (!LoadDocument(bytes, &document, why)) {
        return false;
    }
    syntax::Apply(document);
    return true;
}

bool ImportRegFile(const std::string& path, std::string* error) {
    std::string ignored;
    std::string* why = error ? error : &ignored;
    std::string bytes;
    if (!ReadWholeFile(path, &bytes, why)) {
        return false;
    }
    if (!ImportRegText(bytes, why)) {
        *why = path + ": " + *why;
        return false;
    }
    return true;
}

std::string ExportRegText() {
    std::string out = std::string(syntax::kHeader) + "\r\n\r\n";
    std::lock_guard<std::mutex> guard(tree::Lock());
    syntax::ForEachExportedKey([&](const std::string& written, const tree::KeyNode& key) {
        out += "[" + written + "]\r\n";
        for (const Value& v : key.values) {
            syntax::FormatValue(v, &out);
        }
        out += "\r\n";
    });
    return out;
}

bool ExportRegFile(const std::string& path, std::string* error) {
    std::string ignored;
    return ReplaceFile(path, syntax::Encode(ExportRegText(), Encoding::kUtf16WithBom),
                       error ? error : &ignored);
}

RegFile::RegFile(std::string path) : path_(std::move(path)) {}
RegFile::~RegFile() = default;

bool RegFile::CheckWritable(std::string* error) const {
    return CheckReplaceable(path_, error);
}

bool RegFile::Load(std::string* error) {
    document_ = std::make_unique<Document>();
    struct stat st;
    existed_ = stat(path_.c_str(), &st) == 0;
    if (existed_) {
        std::string bytes;
        if (!ReadWholeFile(path_, &bytes, error)) {
            return false;
        }
        if (!LoadDocument(bytes, document_.get(), error)) {
            *error = path_ + ": " + *error;
            return false;
        }
        syntax::Apply(*document_);
    }
    loaded_ = ExportRegText();
    saved_ = existed_;
    return true;
}

bool RegFile::Changed() const {
    return !saved_ || ExportRegText() != loaded_;
}

bool RegFile::Save(bool* written, std::string* error) {
    *written = false;
    // Taken before the file's text: a change made while it is written is
    // then seen by the next save.
    std::string now = ExportRegText();
    if (saved_ && now == loaded_) {
        return true;
    }
    std::string bytes;
    if (existed_ && document_ != nullptr) {
        std::string text;
        {
            std::lock_guard<std::mutex> guard(tree::Lock());
            text = syntax::MergeIntoDocument(*document_);
        }
        bytes = syntax::Encode(text, document_->encoding);
    } else {
        bytes = syntax::Encode(now, Encoding::kUtf16WithBom);
    }
    if (!ReplaceFile(path_, bytes, error)) {
        return false;
    }
    // The file now holds this registry: the next save writes only a change.
    loaded_ = std::move(now);
    saved_ = true;
    *written = true;
    return true;
}

} // namespace sim::registry
