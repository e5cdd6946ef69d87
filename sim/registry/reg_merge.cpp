// Writing the registry back over the .reg file it was loaded from.
#include <set>

#include "sim/registry/reg_syntax.h"

namespace sim::registry::syntax {
namespace {

using tree::KeyNode;

bool IsKeyLine(const std::string& raw) {
    size_t first = raw.find_first_not_of(" \t");
    return first != std::string::npos && raw[first] == '[';
}

std::string ValueId(const std::string& key, const std::string& name) {
    return key + '\n' + name;
}

class Merger {
  public:
    explicit Merger(const Document& document) : document_(document) {
        for (const Line& line : document.lines) {
            if (line.kind == Line::kKey) {
                fileKeys_.insert(line.key);
                // Keys above it are made by importing it: no section of their own.
                for (size_t slash = line.key.rfind('\\'); slash != 0 && slash != std::string::npos;
                     slash = line.key.rfind('\\', slash - 1)) {
                    impliedKeys_.insert(line.key.substr(0, slash));
                }
            } else if (line.kind == Line::kValue || line.kind == Line::kDeleteValue) {
                fileValues_.insert(ValueId(line.key, line.value.name));
            }
        }
    }

    std::string Run() {
        for (const Line& line : document_.lines) {
            switch (line.kind) {
            case Line::kKey:
                CloseSection();
                OpenSection(line);
                break;
            case Line::kDeleteKey:
            case Line::kForeign:
                if (line.kind == Line::kDeleteKey || IsKeyLine(line.raw)) {
                    CloseSection();
                    state_ = kVerbatim;
                }
                Emit(line.raw);
                break;
            case Line::kValue:
            case Line::kDeleteValue:
                ValueLine(line);
                break;
            case Line::kText:
                if (state_ == kPrelude || state_ == kVerbatim) {
                    Emit(line.raw);
                } else if (state_ == kLive) {
                    trailing_ += line.raw; // blank lines end a section: new values go before
                }
                break;
            }
        }
        CloseSection();
        AppendNewKeys();
        return out_;
    }

  private:
    void Emit(const std::string& text) {
        out_ += trailing_;
        trailing_.clear();
        out_ += text;
    }

    // Text in regedit's CRLF form, in the file's line ends.
    std::string InFileNewlines(const std::string& text) const {
        if (document_.newline == "\r\n") {
            return text;
        }
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                continue;
            }
            out += text[i];
        }
        return out;
    }

    void OpenSection(const Line& line) {
        keyPath_ = line.key;
        key_ = tree::FindPath(line.key, false);
        if (key_ != nullptr && key_->isVolatile) {
            key_ = nullptr;
        }
        state_ = key_ != nullptr ? kLive : kDead;
        if (state_ == kLive) {
            Emit(line.raw);
        }
    }

    // A key the run deleted loses its whole section, comments with it.
    void ValueLine(const Line& line) {
        if (state_ != kLive) {
            if (state_ == kVerbatim) {
                Emit(line.raw);
            }
            return;
        }
        std::string id = ValueId(keyPath_, line.value.name);
        if (!emitted_.insert(id).second) {
            return; // a later line for a value already written: the first one has its data
        }
        const Value* now = key_->FindValue(line.value.name);
        if (now == nullptr) {
            if (line.kind == Line::kDeleteValue) {
                Emit(line.raw);
            }
            return;
        }
        if (line.kind == Line::kValue && now->type == line.value.type &&
            now->data == line.value.data) {
            Emit(line.raw);
            return;
        }
        std::string text;
        FormatValue(*now, &text);
        Emit(InFileNewlines(text));
    }

    // The first section of a key gets the values the file did not have.
    void CloseSection() {
        if (state_ == kLive && sectionsClosed_.insert(keyPath_).second) {
            std::string text;
            for (const Value& v : key_->values) {
                if (fileValues_.count(ValueId(keyPath_, v.name)) == 0) {
                    FormatValue(v, &text);
                }
            }
            if (!text.empty()) {
                out_ += InFileNewlines(text);
            }
        }
        out_ += trailing_;
        trailing_.clear();
        key_ = nullptr;
        state_ = kDead;
    }

    void AppendNewKeys() {
        std::string text;
        ForEachExportedKey([&](const std::string& written, const KeyNode& key) {
            std::optional<std::string> native = NativePath(written);
            bool implied = native && key.values.empty() && impliedKeys_.count(*native) != 0;
            if (native && fileKeys_.count(*native) == 0 && !implied) {
                text += "[" + written + "]\r\n";
                for (const Value& v : key.values) {
                    FormatValue(v, &text);
                }
                text += "\r\n";
            }
        });
        if (text.empty()) {
            return;
        }
        const std::string& nl = document_.newline;
        if (!out_.empty() && out_.back() != '\n') {
            out_ += nl;
        }
        // A new key starts after a blank line, as regedit separates them.
        std::string blank = nl + nl;
        if (out_.size() < blank.size() ||
            out_.compare(out_.size() - blank.size(), blank.size(), blank) != 0) {
            out_ += nl;
        }
        out_ += InFileNewlines(text);
    }

    const Document& document_;
    std::set<std::string, tree::CaseLess> fileKeys_;
    std::set<std::string, tree::CaseLess> impliedKeys_;
    std::set<std::string, tree::CaseLess> fileValues_;
    std::set<std::string, tree::CaseLess> emitted_;
    std::set<std::string, tree::CaseLess> sectionsClosed_;
    std::string out_;
    std::string trailing_; // comments and blank lines not yet written
    std::string keyPath_;
    std::shared_ptr<KeyNode> key_; // the live section's key
    enum State {
        kPrelude,  // before the first key: the header and comments
        kLive,     // in a section of a key the registry has
        kDead,     // in a section of a key the run deleted: dropped
        kVerbatim, // in a deletion or another hive's section: kept as it is
    } state_ = kPrelude;
};

} // namespace

std::string MergeIntoDocument(const Document& document) {
    return Merger(document).Run();
}

} // namespace sim::registry::syntax
