// The general heap that byte buffers handed across interfaces come from (released with free),
// with a fault injector so that tests can reach every out-of-memory path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// malloc, unless an injected fault is due. Release with std::free.
void* HeapAllocate(std::size_t bytes);

// Tests: the allocation that comes `after` allocations from now (0 = the next one) fails, both
// heap buffers and counted strings; a negative value switches the injector off. Process-wide.
void FailAllocationAfter(int after);
// True when the injector says this allocation must fail; used by the allocators themselves.
bool AllocationFaultDue();

struct FreeDeleter {
  void operator()(void* bytes) const;
};
// Owns one heap byte buffer inside an implementation.
using UniqueBytes = std::unique_ptr<uint8_t[], FreeDeleter>;

}  // namespace platform
