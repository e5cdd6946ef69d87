#include "sim/registry/safe_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/core/fault.h"

namespace sim::registry {
namespace {

// The file a path names, through symbolic links, so the rename replaces the
// file and not the link.
std::string Target(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string Folder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Reason(const std::string& what, int error) {
    return what + ": " + strerror(error);
}

bool WriteAll(int fd, const std::string& bytes) {
    NTSTATUS injected;
    if (sim::fault::ShouldFail("ReplaceFile", &injected)) {
        errno = ENOSPC;
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error) {
    std::string target = Target(path);
    std::string folder = Folder(target);
    std::string temp = target + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = Reason("cannot create a temporary file in " + folder, errno);
        return false;
    }
    // A new file gets the usual permissions, an existing one keeps its own.
    struct stat st;
    mode_t mode;
    if (stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    const char* step = nullptr;
    if (fchmod(fd, mode) != 0) {
        step = "cannot set the permissions of ";
    } else if (!WriteAll(fd, bytes)) {
        step = "cannot write ";
    } else if (fsync(fd) != 0) {
        step = "cannot flush ";
    }
    int stepErrno = errno;
    if (close(fd) != 0 && step == nullptr) {
        step = "cannot close ";
        stepErrno = errno;
    }
    if (step == nullptr && rename(temp.c_str(), target.c_str()) != 0) {
        step = "cannot rename over the old file: ";
        stepErrno = errno;
    }
    if (step != nullptr) {
        unlink(temp.c_str());
        *error = Reason(path + ": " + step + temp, stepErrno) + "; the old file is unchanged";
        return false;
    }
    // The rename itself is on the disk once the folder is.
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

bool CheckReplaceable(const std::string& path, std::string* error) {
    std::string target = Target(path);
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = path + ": is a folder, not a file";
            return false;
        }
        // Opened for appending and closed at once: nothing changes, not even
        // the time it was last written.
        int fd = open(target.c_str(), O_WRONLY | O_APPEND);
        if (fd < 0) {
            *error = Reason(path + ": cannot be written", errno);
            return false;
        }
        close(fd);
    }
    std::string folder = Folder(target);
    std::string probe = target + ".XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) {
        *error = Reason(path + ": cannot create a file in " + folder, errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

} // namespace sim::registry
