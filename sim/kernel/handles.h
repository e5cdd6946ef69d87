// The kernel handle table: the handles that kernel services give a driver for
// objects that are not framework objects (registry keys, system threads).
//
// A handle refers to a HandleObject by shared ownership, so a service that has
// looked a handle up keeps its object alive even when another thread closes
// the handle meanwhile, as an object reference does on Windows.
#pragma once

#include <memory>

#include "ntddk.h"

namespace sim::kernel {

class HandleObject {
  public:
    virtual ~HandleObject() = default;
    // The object type's name as Windows gives it ("Key", "Thread").
    virtual const char* TypeName() const = 0;
};

// Enters the object into the table. Kernel handles (OBJ_KERNEL_HANDLE) carry
// the top bit, as on x64 Windows; the others stand for handles in the calling
// process's table. Handle values are never reused, so a second close of the
// same value is always caught.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object, ACCESS_MASK grantedAccess,
                    bool kernelHandle);

// The object behind an open handle of the given type, or null for a handle
// that is unknown, closed or of another type.
std::shared_ptr<HandleObject> ReferenceHandle(HANDLE handle, const char* typeName);
template <class T> std::shared_ptr<T> ReferenceHandleAs(HANDLE handle, const char* typeName) {
    return std::static_pointer_cast<T>(ReferenceHandle(handle, typeName));
}

// The access the handle was opened with; 0 for an unknown handle.
ACCESS_MASK GrantedAccess(HANDLE handle);
bool IsKernelHandle(HANDLE handle);

// Removes the handle; false when it is not open.
bool RemoveHandle(HANDLE handle);

// Handles open now, of one type or (null) of every type.
size_t OpenHandleCount(const char* typeName = nullptr);

} // namespace sim::kernel
