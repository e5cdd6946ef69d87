// The object namespace of the I/O manager: device names and symbolic links.
#include "sim/io/object_names.h"

#include <map>
#include <mutex>

#include "sim/core/utf.h"

namespace sim::io {
namespace {

struct Entry {
    PDEVICE_OBJECT device = nullptr; // a device name
    std::string target;              // a symbolic link
};

std::mutex g_lock;
std::map<std::string, Entry> g_names; // keyed by the case-folded name

std::string Fold(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && Fold(s.substr(0, prefix.size())) == Fold(prefix);
}

constexpr int kMaxLinkDepth = 8;

} // namespace

NTSTATUS InsertDeviceName(const std::string& name, PDEVICE_OBJECT device) {
    if (name.empty() || name[0] != '\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_names.emplace(Fold(name), Entry{device, {}}).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

void RemoveName(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_names.erase(Fold(name));
}

std::string CanonicalPath(std::string_view path) {
    for (std::string_view alias : {"\\\\?\\", "\\\\.\\", "\\GLOBAL??\\", "\\DosDevices\\"}) {
        if (StartsWith(path, alias)) {
            return "\\??\\" + std::string(path.substr(alias.size()));
        }
    }
    return std::string(path);
}

NTSTATUS CreateLink(const std::string& link, const std::string& target) {
    std::string name = CanonicalPath(link);
    if (name.empty() || name[0] != '\\' || target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_names.emplace(Fold(name), Entry{nullptr, target}).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeleteLink(const std::string& link) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_names.find(Fold(CanonicalPath(link)));
    if (it == g_names.end() || it->second.device != nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    g_names.erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT ResolvePath(std::string_view path, std::string* rest) {
    std::string current = CanonicalPath(path);
    std::lock_guard<std::mutex> guard(g_lock);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        // The longest leading part of the path that is a name of its own.
        std::string folded = Fold(current);
        size_t cut = current.size();
        auto found = g_names.end();
        for (;;) {
            found = g_names.find(folded.substr(0, cut));
            if (found != g_names.end() || cut == 0) {
                break;
            }
            size_t slash = current.rfind('\\', cut - 1);
            if (slash == std::string::npos || slash == 0) {
                break;
            }
            cut = slash;
        }
        if (found == g_names.end()) {
            return nullptr;
        }
        std::string remainder = current.substr(cut);
        if (found->second.device != nullptr) {
            if (rest != nullptr) {
                *rest = remainder;
            }
            return found->second.device;
        }
        current = found->second.target + remainder;
    }
    return nullptr;
}

} // namespace sim::io

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    if (SymbolicLinkName == nullptr || DeviceName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sim::io::CreateLink(sim::Utf16ToUtf8(*SymbolicLinkName), sim::Utf16ToUtf8(*DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sim::io::DeleteLink(sim::Utf16ToUtf8(*SymbolicLinkName));
}

} // extern "C"
