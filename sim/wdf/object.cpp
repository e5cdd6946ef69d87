#include "sim/wdf/object.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <unordered_set>

#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/core/winfmt.h"
#include "sim/kernel/irql_check.h"
#include "sim/kernel/pool.h"

namespace sim::wdf {
namespace {

std::recursive_mutex g_tree;
std::unordered_set<Object*> g_live;
Object* g_driverRoot = nullptr;

constexpr ULONG kContextPoolTag = 'txCF';

// Children first, newest sibling first: the order cleanup runs in.
void CollectPostOrder(Object* object, std::vector<Object*>* out,
                      const std::vector<Object*>& (*children)(Object*)) {
    const std::vector<Object*>& kids = children(object);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        CollectPostOrder(*it, out, children);
    }
    out->push_back(object);
}

} // namespace

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Generic:
        return "WDFOBJECT";
    case Kind::Driver:
        return "WDFDRIVER";
    case Kind::Device:
        return "WDFDEVICE";
    case Kind::Queue:
        return "WDFQUEUE";
    case Kind::Request:
        return "WDFREQUEST";
    case Kind::IoTarget:
        return "WDFIOTARGET";
    case Kind::Memory:
        return "WDFMEMORY";
    case Kind::FileObject:
        return "WDFFILEOBJECT";
    case Kind::WorkItem:
        return "WDFWORKITEM";
    case Kind::SpinLock:
        return "WDFSPINLOCK";
    case Kind::WaitLock:
        return "WDFWAITLOCK";
    case Kind::Collection:
        return "WDFCOLLECTION";
    case Kind::String:
        return "WDFSTRING";
    case Kind::Key:
        return "WDFKEY";
    case Kind::CmResList:
        return "WDFCMRESLIST";
    }
    return "WDFOBJECT";
}

Object::Object(Kind kind) : kind_(kind) {}

Object::~Object() {
    for (Context& c : contexts_) {
        sim::pool::FreeForSystem(c.data, kContextPoolTag);
    }
}

NTSTATUS AddContext(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, void** context) {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes->ContextTypeInfo;
    if (type == nullptr) {
        return STATUS_SUCCESS;
    }
    if (type->UniqueType != nullptr) {
        type = type->UniqueType;
    }
    if (FindContext(object, type) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t size = attributes->ContextSizeOverride > type->ContextSize
                      ? attributes->ContextSizeOverride
                      : type->ContextSize;
    // In pool, as the framework keeps contexts: a context used after its
    // object is gone is freed pool to the verifier.
    void* data = sim::pool::AllocateForSystem(size == 0 ? 1 : size, kContextPoolTag);
    memset(data, 0, size == 0 ? 1 : size);
    {
        std::lock_guard<std::recursive_mutex> guard(g_tree);
        object->contexts_.push_back(Object::Context{type, data});
    }
    if (context != nullptr) {
        *context = data;
    }
    return STATUS_SUCCESS;
}

void* FindContext(Object* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo) {
    if (typeInfo == nullptr) {
        return nullptr;
    }
    if (typeInfo->UniqueType != nullptr) {
        typeInfo = typeInfo->UniqueType;
    }
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    for (Object::Context& c : object->contexts_) {
        if (c.type == typeInfo) {
            return c.data;
        }
    }
    return nullptr;
}

NTSTATUS Attach(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent,
                const char* api) {
    Object* parent = defaultParent;
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            VerifierStop(rule::kBadAttributes, api,
                         "WDF_OBJECT_ATTRIBUTES.Size is %u, expected %zu (use "
                         "WDF_OBJECT_ATTRIBUTES_INIT)",
                         attributes->Size, sizeof(WDF_OBJECT_ATTRIBUTES));
        }
        if (attributes->ParentObject != nullptr) {
            parent = Lookup(attributes->ParentObject, Kind::Generic, api);
        }
        object->cleanup_ = attributes->EvtCleanupCallback;
        object->destroy_ = attributes->EvtDestroyCallback;
        NTSTATUS status = AddContext(object, attributes, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    if (parent != nullptr) {
        if (parent->disposed_) {
            VerifierStop(rule::kInvalidHandle, api, "parent %s %p is being deleted",
                         KindName(parent->kind_), static_cast<void*>(parent));
        }
        object->parent_ = parent;
        parent->children_.push_back(object);
    }
    g_live.insert(object);
    return STATUS_SUCCESS;
}

Object* LookupOptional(WDFOBJECT handle, Kind kind, const char* api) {
    if (handle == nullptr) {
        return nullptr;
    }
    return Lookup(handle, kind, api);
}

Object* Lookup(WDFOBJECT handle, Kind kind, const char* api) {
    auto* object = reinterpret_cast<Object*>(handle);
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    // A deleted object stays usable until it is destroyed: its cleanup callback
    // and holders of a reference still reach it.
    if (handle == nullptr || g_live.count(object) == 0) {
        VerifierStop(rule::kInvalidHandle, api, "handle %p is %s", static_cast<void*>(handle),
                     handle == nullptr ? "null" : "not a live framework object");
    }
    if (kind != Kind::Generic && object->GetKind() != kind) {
        VerifierStop(rule::kWrongHandleType, api, "handle %p is a %s, expected a %s",
                     static_cast<void*>(handle), KindName(object->GetKind()), KindName(kind));
    }
    return object;
}

void Destroy(Object* object) {
    // The destroy callback may still read the object's context.
    if (object->destroy_ != nullptr) {
        object->destroy_(object->Handle());
    }
    {
        std::lock_guard<std::recursive_mutex> guard(g_tree);
        g_live.erase(object);
        if (g_driverRoot == object) {
            g_driverRoot = nullptr;
        }
    }
    delete object;
}

void Reference(Object* object) {
    object->refs_.fetch_add(1);
}

void Dereference(Object* object) {
    if (object->refs_.fetch_sub(1) == 1) {
        Destroy(object);
    }
}

void Delete(Object* object, const char* api) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, api);
    std::vector<Object*> subtree;
    {
        std::lock_guard<std::recursive_mutex> guard(g_tree);
        if (object->disposed_) {
            VerifierStop(rule::kInvalidHandle, api, "%s %p deleted twice", KindName(object->kind_),
                         static_cast<void*>(object));
        }
        CollectPostOrder(object, &subtree,
                         [](Object* o) -> const std::vector<Object*>& { return o->children_; });
        for (Object* o : subtree) {
            o->disposed_ = true;
        }
    }
    // Cleanup callbacks run without the tree lock: they may delete or create objects.
    for (Object* o : subtree) {
        if (o->cleanup_ != nullptr) {
            o->cleanup_(o->Handle());
        }
        o->OnCleanup();
    }
    bool checkLeftovers = object->parent_ == nullptr || object->kind_ == Kind::Device;
    {
        std::lock_guard<std::recursive_mutex> guard(g_tree);
        if (object->parent_ != nullptr) {
            auto& siblings = object->parent_->children_;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
            object->parent_ = nullptr;
        }
        for (Object* o : subtree) {
            o->children_.clear();
            o->parent_ = nullptr;
        }
    }
    // Drop each object's own reference, children first.
    for (Object* o : subtree) {
        Dereference(o);
    }
    if (checkLeftovers) {
        std::string left;
        {
            std::lock_guard<std::recursive_mutex> guard(g_tree);
            for (Object* o : subtree) {
                if (g_live.count(o) != 0) {
                    left += Format(" %s %p (%ld references)", KindName(o->kind_),
                                   static_cast<void*>(o), o->refs_.load());
                }
            }
        }
        if (!left.empty()) {
            VerifierStop(rule::kObjectsLeftOver, api,
                         "objects still alive after their owner was deleted:%s", left.c_str());
        }
    }
}

Object* DriverRoot() {
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    return g_driverRoot;
}

void SetDriverRoot(Object* driver) {
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    g_driverRoot = driver;
}

size_t LiveObjectCount() {
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    return g_live.size();
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    // One hold of the tree for both steps (they take it again recursively,
    // which costs nothing more): drivers call this on every request.
    std::lock_guard<std::recursive_mutex> guard(g_tree);
    return FindContext(Lookup(Handle, Kind::Generic, "WdfObjectGetTypedContextWorker"), TypeInfo);
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context) {
    Object* object = Lookup(Handle, Kind::Generic, "WdfObjectAllocateContext");
    if (ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return AddContext(object, ContextAttributes, Context);
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfObjectCreate");
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfObjectCreate", &status)) {
        return status;
    }
    auto* object = new sim::wdf::Object(Kind::Generic);
    status = Attach(object, Attributes, DriverRoot(), "WdfObjectCreate");
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    *Object = object->Handle();
    return STATUS_SUCCESS;
}

VOID WdfObjectDelete(WDFOBJECT Handle) {
    sim::wdf::Object* object = Lookup(Handle, Kind::Generic, "WdfObjectDelete");
    if (!object->driverMayDelete) {
        sim::VerifierStop(sim::rule::kIllegalDelete, "WdfObjectDelete",
                          "%s %p belongs to the framework", KindName(object->GetKind()),
                          static_cast<void*>(Handle));
    }
    Delete(object, "WdfObjectDelete");
}

VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File) {
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(File);
    Reference(Lookup(Handle, Kind::Generic, "WdfObjectReference"));
}

VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File) {
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(File);
    Dereference(Lookup(Handle, Kind::Generic, "WdfObjectDereference"));
}

} // extern "C"
