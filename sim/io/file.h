// Opening devices by name, as the I/O manager does for CreateFile and for
// kernel components: a FILE_OBJECT, IRP_MJ_CREATE down the stack, and the
// cleanup and close IRPs when the handle goes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ntddk.h"

namespace sim::io {

// Opens the device 'path' names (after symbolic links) with the access asked
// for, sharing it as 'shareAccess' says (FILE_SHARE_*) and with the create
// options given; RequestorMode is 'mode'. The file object records the access
// and sharing, and IRP_MJ_CREATE carries them down the stack, where the
// device checks them. Returns the status the device stack gave.
NTSTATUS OpenFile(std::string_view path, ACCESS_MASK access, KPROCESSOR_MODE mode,
                  PFILE_OBJECT* file, ULONG shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE,
                  ULONG createOptions = FILE_NON_DIRECTORY_FILE);
// Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE and frees the file object.
void CloseFile(PFILE_OBJECT file);

// A handle to an opened device, as an application holds one: requests from
// user mode, buffers as the I/O manager lays them out.
class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    NTSTATUS Open(std::string_view path, ACCESS_MASK access,
                  ULONG shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    PFILE_OBJECT FileObject() const { return file_; }

    // Refused with STATUS_ACCESS_DENIED before any IRP is built when the
    // code's required access was not granted at open.
    NTSTATUS DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                             ULONG outputLength, ULONG_PTR* returned);
    NTSTATUS Read(void* buffer, ULONG length, ULONG_PTR* returned);
    NTSTATUS Write(const void* buffer, ULONG length, ULONG_PTR* returned);

  private:
    PFILE_OBJECT file_ = nullptr;
};

} // namespace sim::io
