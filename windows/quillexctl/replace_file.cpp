// quillexctl.exe's side of sim/registry/safe_file.h: the .reg writer replaces
// a file only once the new one is completely written, with Windows' own file
// calls. Paths are in the program's code page, as its arguments come in and
// as the .reg reader opens them.
#include <windows.h>

#include <string>

#include "sim/registry/safe_file.h"
#include "tools/quillexctl/win32_text.h"

namespace sim::registry {
namespace {

std::string Reason(const std::string& what, DWORD error) {
    return what + ": " + Win32Text(error);
}

std::string Folder(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// A file beside 'path' that does not exist yet, created and opened for writing.
HANDLE CreateTemporary(const std::string& path, std::string* temp) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        *temp = path + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt) +
                ".tmp";
        HANDLE h = CreateFileA(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return h;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

} // namespace

bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error) {
    std::string temp;
    HANDLE h = CreateTemporary(path, &temp);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Reason("cannot create a temporary file in " + Folder(path), GetLastError());
        return false;
    }
    const char* step = nullptr;
    for (size_t done = 0; step == nullptr && done < bytes.size();) {
        DWORD chunk =
            static_cast<DWORD>(bytes.size() - done > (1u << 30) ? (1u << 30) : bytes.size() - done);
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            step = "cannot write ";
        }
        done += written;
    }
    if (step == nullptr && !FlushFileBuffers(h)) {
        step = "cannot flush ";
    }
    DWORD stepError = GetLastError();
    if (!CloseHandle(h) && step == nullptr) {
        step = "cannot close ";
        stepError = GetLastError();
    }
    if (step == nullptr && !MoveFileExA(temp.c_str(), path.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        step = "cannot rename over the old file: ";
        stepError = GetLastError();
    }
    if (step != nullptr) {
        DeleteFileA(temp.c_str());
        *error = Reason(path + ": " + step + temp, stepError) + "; the old file is unchanged";
        return false;
    }
    return true;
}

bool CheckReplaceable(const std::string& path, std::string* error) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            *error = path + ": is a folder, not a file";
            return false;
        }
        HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = Reason(path + ": cannot be written", GetLastError());
            return false;
        }
        CloseHandle(h);
    }
    std::string probe;
    HANDLE h = CreateTemporary(path, &probe);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Reason(path + ": cannot create a file in " + Folder(path), GetLastError());
        return false;
    }
    CloseHandle(h);
    DeleteFileA(probe.c_str());
    return true;
}

} // namespace sim::registry
