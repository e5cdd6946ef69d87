// Framework file objects: one per successful open of a device that asks for them.
#pragma once

#include "sim/wdf/device.h"

namespace sim::wdf {

class FileObject : public Object {
  public:
    FileObject() : Object(Kind::FileObject) { driverMayDelete = false; }

    PFILE_OBJECT wdm = nullptr;
    Device* device = nullptr;
};

// The framework file object of an open, or null.
FileObject* FindFileObject(Device* device, PFILE_OBJECT file);
// Makes the file object of a new open (when the device's class asks for one).
NTSTATUS CreateFileObject(Device* device, PFILE_OBJECT file, FileObject** created);
// Deletes the file object of an open that failed or was closed.
void DeleteFileObject(FileObject* object);

} // namespace sim::wdf
