// Framework memory objects.
#pragma once

#include "sim/wdf/object.h"

namespace sim::wdf {

class Memory : public Object {
  public:
    Memory() : Object(Kind::Memory) {}
    ~Memory() override;

    void* buffer = nullptr;
    size_t size = 0;
    POOL_TYPE poolType = NonPagedPool;
    ULONG poolTag = 0;
    bool ownsBuffer = true;
};

// The pool type and tag a memory object was created with, for tests.
struct MemoryInfo {
    POOL_TYPE poolType;
    ULONG poolTag;
    size_t size;
};
MemoryInfo DescribeMemory(WDFMEMORY memory);

} // namespace sim::wdf
