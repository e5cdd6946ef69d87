// Framework file objects: made at open, dropped when the open fails or the
// file is closed.
#include "sim/wdf/file_object.h"

namespace sim::wdf {

FileObject* FindFileObject(Device* device, PFILE_OBJECT file) {
    std::lock_guard<std::mutex> guard(device->lock);
    auto it = device->files.find(file);
    return it == device->files.end() ? nullptr : it->second;
}

NTSTATUS CreateFileObject(Device* device, PFILE_OBJECT file, FileObject** created) {
    *created = nullptr;
    auto* object = new FileObject();
    object->wdm = file;
    object->device = device;
    NTSTATUS status = Attach(object, device->hasFileAttributes ? &device->fileAttributes : nullptr,
                             device, "file create");
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->files[file] = object;
    }
    *created = object;
    return STATUS_SUCCESS;
}

void DeleteFileObject(FileObject* object) {
    Device* device = object->device;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->files.erase(object->wdm);
    }
    Delete(object, "file close");
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject) {
    return LookupAs<sim::wdf::FileObject>(FileObject, Kind::FileObject,
                                          "WdfFileObjectWdmGetFileObject")
        ->wdm;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    return LookupAs<sim::wdf::FileObject>(FileObject, Kind::FileObject, "WdfFileObjectGetDevice")
        ->device->HandleAs<WDFDEVICE>();
}

} // extern "C"
