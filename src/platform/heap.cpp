#include "platform/heap.h"

#include <atomic>
#include <cstdlib>

namespace platform {
namespace {

// Allocations still to pass before the injected fault; negative when no fault is armed.
// Written by tests through FailAllocationAfter, read and counted down by every allocator.
std::atomic<int> gAllocationsBeforeFault{-1};

}  // namespace

void* HeapAllocate(std::size_t bytes) {
  if (AllocationFaultDue()) {
    return nullptr;
  }
  return std::malloc(bytes);
}

void FailAllocationAfter(int after) {
  gAllocationsBeforeFault.store(after < 0 ? -1 : after);
}

bool AllocationFaultDue() {
  int remaining = gAllocationsBeforeFault.load();
  // One compare-exchange per step, so that two threads never both take the same fault.
  while (remaining >= 0) {
    const int next = remaining == 0 ? -1 : remaining - 1;
    if (gAllocationsBeforeFault.compare_exchange_weak(remaining, next)) {
      return remaining == 0;
    }
  }
  return false;
}

void FreeDeleter::operator()(void* bytes) const {
  std::free(bytes);
}

}  // namespace platform
