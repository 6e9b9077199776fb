#include "support/AllocationMeter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace tamsenor::testsupport::allocationMeter {

namespace {

std::atomic<std::size_t> heldBytes{0};
std::atomic<std::size_t> peakBytes{0};
// Each block starts with its size, so a delete without one can still be counted.
constexpr std::size_t kHeaderSize = alignof(std::max_align_t);

void* allocate(std::size_t size) noexcept {
  void* block = std::malloc(size + kHeaderSize);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  const std::size_t now = heldBytes.fetch_add(size) + size;
  std::size_t highest = peakBytes.load();
  while (now > highest && !peakBytes.compare_exchange_weak(highest, now)) {
  }
  return static_cast<char*>(block) + kHeaderSize;
}

void release(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeaderSize;
  heldBytes.fetch_sub(*static_cast<std::size_t*>(block));
  std::free(block);
}

}  // namespace

std::size_t held() noexcept { return heldBytes.load(); }
std::size_t peak() noexcept { return peakBytes.load(); }
void resetPeak() noexcept { peakBytes.store(heldBytes.load()); }

}  // namespace tamsenor::testsupport::allocationMeter

namespace meter = tamsenor::testsupport::allocationMeter;

// Every form but the over-aligned ones, which keep their own matching pair.
void* operator new(std::size_t size) {
  if (void* pointer = meter::allocate(size)) return pointer;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* pointer = meter::allocate(size)) return pointer;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return meter::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return meter::allocate(size);
}
void operator delete(void* pointer) noexcept { meter::release(pointer); }
void operator delete[](void* pointer) noexcept { meter::release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { meter::release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { meter::release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { meter::release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { meter::release(pointer); }
