#include "support/AllocationMeter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> heldBytes{0};
std::atomic<std::size_t> peakBytes{0};
// Each block starts with its size, so a delete without one can still be counted.
constexpr std::size_t kHeaderSize = alignof(std::max_align_t);

void* allocate(std::size_t size) noexcept {
  auto* block = static_cast<std::size_t*>(std::malloc(size + kHeaderSize));
  if (block == nullptr) return nullptr;
  *block = size;
  const std::size_t now = heldBytes += size;
  std::size_t highest = peakBytes;
  while (now > highest && !peakBytes.compare_exchange_weak(highest, now)) {
  }
  return reinterpret_cast<char*>(block) + kHeaderSize;
}

void release(void* pointer) noexcept {
  if (pointer == nullptr) return;
  auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(pointer) - kHeaderSize);
  heldBytes -= *block;
  std::free(block);
}

void* allocateOrThrow(std::size_t size) {
  if (void* pointer = allocate(size)) return pointer;
  throw std::bad_alloc();
}

}  // namespace

namespace tamsenor::testsupport::allocationMeter {
std::size_t held() noexcept { return heldBytes.load(); }
std::size_t peak() noexcept { return peakBytes.load(); }
void resetPeak() noexcept { peakBytes.store(heldBytes.load()); }
}  // namespace tamsenor::testsupport::allocationMeter

// Every form but the over-aligned ones, which keep their own matching pair.
void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* pointer) noexcept { release(pointer); }
void operator delete[](void* pointer) noexcept { release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { release(pointer); }
