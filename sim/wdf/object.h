// The framework object model: handles, typed contexts, parent-child
// ownership, cleanup before destruction, reference counts.
//
// Every framework object is a sim::wdf::Object (or a subclass that carries the
// kind's own state); its handle is its address. Deleting an object deletes its
// children first: every cleanup callback in the subtree runs, children before
// parents, then each object is destroyed once its last reference is gone.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <wdf.h>

namespace sim::wdf {

enum class Kind {
    Generic,
    Driver,
    Device,
    Queue,
    Request,
    IoTarget,
    Memory,
    FileObject,
    WorkItem,
    SpinLock,
    WaitLock,
    Collection,
    String,
    Key,
    CmResList,
};

const char* KindName(Kind kind);

class Object {
  public:
    explicit Object(Kind kind);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Kind GetKind() const { return kind_; }
    WDFOBJECT Handle() { return reinterpret_cast<WDFOBJECT>(this); }
    template <class H> H HandleAs() { return reinterpret_cast<H>(this); }
    Object* Parent() const { return parent_; }
    bool Disposed() const { return disposed_; }

    // Set by subclasses for objects the driver must not pass to WdfObjectDelete
    // (a device the framework owns, a request the framework presented).
    bool driverMayDelete = true;

  protected:
    // Runs after the driver's cleanup callback, children already cleaned up.
    // Kind-specific teardown (cancel, close, release) goes here.
    virtual void OnCleanup() {}

  private:
    friend NTSTATUS Attach(Object*, PWDF_OBJECT_ATTRIBUTES, Object*, const char*);
    friend void Delete(Object*, const char*);
    friend void Dereference(Object*);
    friend void Reference(Object*);
    friend void* FindContext(Object*, PCWDF_OBJECT_CONTEXT_TYPE_INFO);
    friend NTSTATUS AddContext(Object*, PWDF_OBJECT_ATTRIBUTES, void**);
    friend void Destroy(Object*);

    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
        void* data;
    };

    Kind kind_;
    Object* parent_ = nullptr;
    std::vector<Object*> children_;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup_ = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy_ = nullptr;
    std::vector<Context> contexts_;
    std::atomic<long> refs_{1};
    bool disposed_ = false;
};

// Links a newly built object into the tree: validates the attributes,
// allocates its context, takes the parent from the attributes or else
// 'defaultParent' (which may be null for a root). 'api' names the caller for
// verifier messages. On failure the object is not linked and the caller
// deletes it with plain 'delete'.
NTSTATUS Attach(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent,
                const char* api);

// The object behind a handle; stops the program for a null, unknown or
// deleted handle, or one of another kind (unless 'kind' is Generic).
Object* Lookup(WDFOBJECT handle, Kind kind, const char* api);
template <class T> T* LookupAs(void* handle, Kind kind, const char* api) {
    return static_cast<T*>(Lookup(static_cast<WDFOBJECT>(handle), kind, api));
}
// Like Lookup, but returns null for a null handle instead of stopping.
Object* LookupOptional(WDFOBJECT handle, Kind kind, const char* api);

// Deletes the object and its subtree as WdfObjectDelete does, without the
// driver-may-delete check. For the framework's own use (device removal).
void Delete(Object* object, const char* api);
void Reference(Object* object);
void Dereference(Object* object);

void* FindContext(Object* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo);
NTSTATUS AddContext(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, void** context);

// The framework driver object, which parents objects created without an
// explicit parent; null while no driver exists.
Object* DriverRoot();
void SetDriverRoot(Object* driver);

// Objects alive (created and not yet destroyed), for tests and the verifier.
size_t LiveObjectCount();

} // namespace sim::wdf
