#include "libinstall/dictionarypool.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "Alloc.h"
#include "common/slim_sync.h"

namespace {

constexpr size_t kPooledMinimum = size_t(1) << 20;

struct Block {
  void* address = nullptr;
  size_t capacity = 0;
};

// Fixed tables: the decoder is C code, so nothing here may throw. A block
// that finds no free slot is simply not kept.
constexpr size_t kSlots = 64;
struct Pool {
  SlimMutex lock;
  std::array<Block, kSlots> inUse;
  std::array<Block, kSlots> kept;
  size_t largest = 0;  // the size of a new dictionary, see SetPooledDictionarySize
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

bool Insert(std::array<Block, kSlots>& table, Block block) {
  for (Block& slot : table) {
    if (slot.address == nullptr) {
      slot = block;
      return true;
    }
  }
  return false;
}

void FreeKept() {
  Pool& pool = ThePool();
  std::array<void*, kSlots> released = {};
  {
    std::lock_guard<SlimMutex> guard(pool.lock);
    for (size_t i = 0; i < kSlots; ++i) {
      released[i] = pool.kept[i].address;
      pool.kept[i] = Block();
    }
  }
  for (void* address : released) z7_AlignedFree(address);
}

// The smallest kept block that holds `size`. Failing that, the kept blocks
// are freed first, so that the pool adds nothing to the peak, and the new
// block is made large enough for the following blocks too (the blocks of
// one archive have dictionaries of several sizes, up to the one it was
// packed with).
void* Allocate(ISzAllocPtr, size_t size) {
  if (size < kPooledMinimum) return z7_AlignedAlloc(size);
  Pool& pool = ThePool();
  size_t capacity = size;
  {
    std::lock_guard<SlimMutex> guard(pool.lock);
    pool.largest = std::max(pool.largest, size);
    capacity = pool.largest;
    Block* best = nullptr;
    for (Block& slot : pool.kept)
      if (slot.address && slot.capacity >= size && (!best || slot.capacity < best->capacity)) best = &slot;
    if (best && Insert(pool.inUse, *best)) {
      void* address = best->address;
      *best = Block();
      return address;
    }
  }
  FreeKept();
  void* address = z7_AlignedAlloc(capacity);
  if (!address && capacity > size) {
    capacity = size;
    address = z7_AlignedAlloc(size);
  }
  if (address) {
    std::lock_guard<SlimMutex> guard(pool.lock);
    Insert(pool.inUse, Block{address, capacity});
  }
  return address;
}

void Free(ISzAllocPtr, void* address) {
  if (!address) return;
  Pool& pool = ThePool();
  {
    std::lock_guard<SlimMutex> guard(pool.lock);
    for (Block& slot : pool.inUse) {
      if (slot.address == address) {
        const Block block = slot;
        slot = Block();
        if (Insert(pool.kept, block)) return;
        break;
      }
    }
  }
  z7_AlignedFree(address);
}

}  // namespace

extern "C" const ISzAlloc g_DictionaryPoolAlloc = {Allocate, Free};

void SetPooledDictionarySize(size_t bytes) {
  Pool& pool = ThePool();
  std::lock_guard<SlimMutex> guard(pool.lock);
  pool.largest = bytes;
}

void ReleasePooledDictionaries() {
  FreeKept();
  Pool& pool = ThePool();
  std::lock_guard<SlimMutex> guard(pool.lock);
  pool.largest = 0;
}

size_t PooledDictionaryBytes() {
  Pool& pool = ThePool();
  std::lock_guard<SlimMutex> guard(pool.lock);
  size_t bytes = 0;
  for (const Block& slot : pool.kept) bytes += slot.capacity;
  return bytes;
}
