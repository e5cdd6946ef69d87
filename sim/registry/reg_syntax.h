// Inside the .reg reader and writer: a file as the lines it was read from, so
// it can be written back with its comments, order and encoding kept.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/registry/tree.h"

namespace sim::registry::syntax {

enum class Encoding { kUtf16WithBom, kUtf16, kUtf8WithBom, kUtf8 };

// One logical line: a value continued over backslash-ended lines is one.
struct Line {
    enum Kind {
        kText,        // the header, a comment, a blank line
        kKey,         // [key]
        kDeleteKey,   // [-key]
        kValue,       // "name"=data
        kDeleteValue, // "name"=-
        kForeign,     // a key of a hive the machine does not simulate, or a line in one
    } kind = kText;
    std::string raw; // exactly as read, with its line ends
    std::string key; // native path: the key line's, or the key a value line is in
    Value value;     // kValue: the parsed value; kDeleteValue: its name
};

struct Document {
    Encoding encoding = Encoding::kUtf16WithBom;
    std::string newline = "\r\n";
    std::vector<Line> lines;
};

// The file's bytes as UTF-8 text, and the encoding they came in.
bool Decode(std::string_view bytes, std::string* text, Encoding* encoding, std::string* error);
std::string Encode(const std::string& text, Encoding encoding);

// Parses the text into lines; false with "line N: why" in *error.
bool Parse(const std::string& text, Document* document, std::string* error);

// A value as regedit writes it, with CRLF line ends.
void FormatValue(const Value& value, std::string* out);

// Calls 'visit' for every key an export writes, in its order: the path as
// regedit writes it and the node. Call with tree::Lock() held.
void ForEachExportedKey(
    const std::function<void(const std::string& written, const tree::KeyNode& key)>& visit);

// The registry written over the document: lines of keys and values the run
// did not change stay as they were (comments, order, spelling), changed
// values are rewritten in place, deleted ones dropped, new values go at the
// end of their key's first section and new keys at the end of the file.
std::string MergeIntoDocument(const Document& document);

} // namespace sim::registry::syntax
