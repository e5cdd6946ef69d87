// .reg files in the Windows Registry Editor 5.00 format, so a registry made in
// the simulator can be read by a person and imported on Windows, and one
// exported by regedit can be loaded here.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

// Applies a .reg file's contents to the registry: keys are created with the
// keys above them, values set, and "[-key]" and "name"=- lines delete. The
// text is UTF-16LE (with its byte order mark as regedit writes it, or
// without) or UTF-8, with or without a mark; the header is version 5.00's or
// REGEDIT4's. Keys of hives the machine does not have (HKEY_CURRENT_USER ...)
// are read past. A malformed file changes nothing: the result is false and
// *error says what is wrong and on which line.
bool ImportRegText(std::string_view bytes, std::string* error);
bool ImportRegFile(const std::string& path, std::string* error);

// The registry as regedit exports it: every key below the two roots, each
// followed by its values in their order, with CRLF line ends. Volatile keys
// are left out, as they do not outlive a restart. The text is returned as
// UTF-8; the file is written UTF-16LE with a byte order mark, replacing the
// old one only once it is completely written (see safe_file.h).
std::string ExportRegText();
bool ExportRegFile(const std::string& path, std::string* error);

namespace syntax {
struct Document;
}

// A person's .reg file that holds the machine's registry over a run: loaded
// before it, written back after it only if the run changed the registry, with
// the lines the run did not change kept as they were (comments, order,
// spelling, keys of other hives) and in the encoding the file had.
class RegFile {
  public:
    explicit RegFile(std::string path);
    ~RegFile();
    RegFile(const RegFile&) = delete;
    RegFile& operator=(const RegFile&) = delete;

    // Whether the file could be replaced after the run; if not, *error gives
    // the system's reason.
    bool CheckWritable(std::string* error) const;
    // Reads the file into the registry; a missing file is no error (it is
    // created by Save). False, with the line and the reason, for a file that
    // cannot be read or parsed; the registry is then unchanged.
    bool Load(std::string* error);
    // Whether the registry differs from what Load or the last Save left
    // (always, for a file that did not exist before the first Save).
    bool Changed() const;
    // Writes the file if Changed(); *written says whether it did. On failure
    // the file is as it was, byte for byte. May be called as often as the
    // registry changes: each write holds the whole registry, merged into the
    // file as it was loaded.
    bool Save(bool* written, std::string* error);

  private:
    std::string path_;
    bool existed_ = false;
    bool saved_ = false; // the file holds loaded_ (it existed, or a Save wrote it)
    std::unique_ptr<syntax::Document> document_;
    std::string loaded_; // the registry as exported right after Load
};

} // namespace sim::registry
