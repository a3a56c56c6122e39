#include "unit/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t allocations = 0;
}  // namespace

std::size_t AllocationCount() {
  return allocations;
}

// Every form is replaced, so that each allocation is counted and each one ends in the free()
// that matches its malloc() (a sanitizer's own nothrow or array new freed here would not).
namespace {
void* CountedAllocation(std::size_t size) noexcept {
  ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* memory = CountedAllocation(size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* memory = CountedAllocation(size)) return memory;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
  return CountedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
  return CountedAllocation(size);
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t /*size*/) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t /*size*/) noexcept {
  std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t& /*unused*/) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t& /*unused*/) noexcept {
  std::free(memory);
}
