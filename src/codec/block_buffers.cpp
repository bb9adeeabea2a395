// Block buffers from the system through a pool, so that a failed allocation is a null to report,
// not an exception, and a released buffer serves the next block; small inputs are cut from
// shared chunks of one huge page instead.
//
// Without the pool each worker thread's malloc arena kept the buffers its blocks had freed: with
// -p16 on two processors the sixteen workers took turns at decoding and held 32 MiB at their peak,
// against 11.5 MiB for -p2.
#include "codec/block_buffers.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/pages.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define UQ_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UQ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define UQ_POISON(p, n) ((void)(p), (void)(n))
#define UQ_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace uq::codec {

namespace {

std::atomic<AllocationHook> allocation_hook{nullptr};

// Each piece of memory begins with its capacity, in a header that keeps the rest 16-byte aligned.
constexpr std::size_t kHeader = 16;

std::size_t& capacity_of(void* header) { return *static_cast<std::size_t*>(header); }
// The chunk an input piece was cut from, beside the capacity; null for a piece of its own.
void*& chunk_of(void* header) {
  return *reinterpret_cast<void**>(static_cast<std::uint8_t*>(header) + sizeof(std::size_t));
}
static_assert(kHeader >= sizeof(std::size_t) + sizeof(void*) && kHeader % 16 == 0);

// What every piece taken from the system and not yet given back holds, in use or idle; and what
// those above kPooledBufferMax hold.
std::atomic<std::size_t> held{0};
std::atomic<std::size_t> held_large{0};

void count_piece(std::size_t capacity) {
  held += capacity;
  if (capacity > kPooledBufferMax) held_large += capacity;
}

void free_piece(void* piece) {
  held -= capacity_of(piece);
  if (capacity_of(piece) > kPooledBufferMax) held_large -= capacity_of(piece);
  free_block_memory(piece, kHeader + capacity_of(piece));
}

// Idle pieces, whole (header included), with what they hold in all. A use after release is still
// caught under AddressSanitizer: an idle piece is poisoned until it is taken again.
class Pool {
 public:
  // The smallest idle piece that fits `bytes` without wasting more than half of it, or null.
  // On a miss the piece idle the longest is given back to the system first, so that the pieces
  // in use and idle together never outnumber the most that were ever in use at once, and what
  // stays idle is what the recent blocks asked for. Kept to the 64 MiB cap alone, the idle pieces
  // grew with the file, each block a little larger than those before leaving them all unused:
  // -p2 peaked at 17.0 MiB over 1,000 blocks against 14.8 MiB over the first 100.
  void* take(std::size_t bytes) {
    void* oldest = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto best = idle_.end();
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        const std::size_t capacity = capacity_of(*it);
        if (capacity >= bytes && capacity / 2 <= bytes && (best == idle_.end() || capacity < capacity_of(*best))) {
          best = it;
        }
      }
      if (best != idle_.end()) return remove(best);
      if (idle_.empty()) return nullptr;
      oldest = remove(idle_.begin());
    }
    UQ_UNPOISON(static_cast<std::uint8_t*>(oldest) + kHeader, capacity_of(oldest));
    free_piece(oldest);
    return nullptr;
  }

  // Keeps `piece` when there is room; gives false to have it freed instead.
  bool keep(void* piece) {
    const std::size_t capacity = capacity_of(piece);
    if (capacity > kPooledBufferMax && (capacity > kLargeBufferMax || held_large.load() > kLargeHeldMax)) {
      return false;
    }
    std::lock_guard lock(mutex_);
    if (bytes_ + capacity > kPoolBytes) return false;
    try {
      idle_.push_back(piece);
    } catch (...) {
      return false;
    }
    bytes_ += capacity;
    return true;
  }

  std::size_t bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
  }

 private:
  void* remove(std::vector<void*>::iterator it) {
    void* piece = *it;
    idle_.erase(it);
    bytes_ -= capacity_of(piece);
    return piece;
  }

  std::mutex mutex_;
  std::vector<void*> idle_;  // oldest release first; a few dozen at most
  std::size_t bytes_ = 0;
};

// Never destroyed, as workers may release at exit, and made in place: made with new, it failed
// for want of memory as the first block's output buffer was asked for on a worker, and the
// bad_alloc ended the program.
template <typename T>
T& made_in_place() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const made = new (storage) T;
  return *made;
}

Pool& pool() { return made_in_place<Pool>(); }

// Inputs of up to kArenaPieceMax bytes are cut one after another from chunks of one huge page,
// which the system maps as one: a piece of its own took small pages, each a page fault when first
// written. The 16 MiB text file of the bench, in four blocks of 200 to 700 KB coded, restored in
// 0.91 of the time at -p2 (0.92 at -p1) and took 480 page faults fewer.
//
// Blocks are decoded about in the order they are read, so a chunk's pieces come back about in the
// order they were cut. The chunk being cut from starts again at its beginning once every piece of
// it is back, its pages already there; an older chunk, once empty, is kept to be the next one, and
// a second one goes back to the system. So the chunks held are those of the inputs in flight, and
// two more at most.
constexpr std::size_t kChunk = std::size_t{2} << 20;
constexpr std::size_t kArenaPieceMax = kChunk / 2;  // the end of a chunk left unused is less
// The chunk's own header: how many of its pieces are out. Pieces start on a cache line.
constexpr std::size_t kChunkHeader = 64;
constexpr std::size_t kPieceAlign = 64;
// Between two pieces, so that a read past one's padding is caught under AddressSanitizer before it
// reaches the next one's header.
constexpr std::size_t kPieceGap = 64;

class InputArena {
 public:
  // A piece of `bytes` after its header, or null when no chunk can be had.
  void* take(std::size_t bytes) {
    const std::size_t need = (kHeader + bytes + kPieceGap + kPieceAlign - 1) / kPieceAlign * kPieceAlign;
    std::lock_guard lock(mutex_);
    // A chunk empty again starts over, so never has too little room for a piece.
    if (current_ == nullptr || used_ + need > kChunk) {
      void* chunk = spare_ != nullptr ? std::exchange(spare_, nullptr) : new_chunk();
      if (chunk == nullptr) return nullptr;
      out_of(chunk) = 0;
      current_ = chunk;
      used_ = kChunkHeader;
    }
    void* piece = static_cast<std::uint8_t*>(current_) + used_;
    used_ += need;
    ++out_of(current_);
    UQ_UNPOISON(piece, kHeader + bytes);
    capacity_of(piece) = bytes;
    chunk_of(piece) = current_;
    return piece;
  }

  void release(void* piece) {
    void* chunk = chunk_of(piece);
    UQ_POISON(piece, kHeader + capacity_of(piece));
    {
      std::lock_guard lock(mutex_);
      if (--out_of(chunk) > 0) return;
      if (chunk == current_) {
        used_ = kChunkHeader;
        return;
      }
      if (spare_ == nullptr) {
        spare_ = chunk;
        return;
      }
    }
    held -= kChunk;
    free_block_memory(chunk, kChunk);
  }

 private:
  static std::size_t& out_of(void* chunk) { return *static_cast<std::size_t*>(chunk); }

  static void* new_chunk() {
    void* chunk = allocate_block_memory(kChunk);
    if (chunk == nullptr) return nullptr;
    held += kChunk;
    UQ_POISON(static_cast<std::uint8_t*>(chunk) + kChunkHeader, kChunk - kChunkHeader);
    return chunk;
  }

  std::mutex mutex_;
  void* current_ = nullptr;  // the chunk pieces are cut from
  std::size_t used_ = 0;     // how far into it
  void* spare_ = nullptr;    // an empty chunk kept for the next
};

InputArena& arena() { return made_in_place<InputArena>(); }

}  // namespace

void* allocate_block_memory(std::size_t bytes) {
  if (AllocationHook hook = allocation_hook.load(std::memory_order_relaxed); hook != nullptr && hook()) {
    return nullptr;
  }
#if defined(__SANITIZE_ADDRESS__)
  return std::malloc(bytes);  // keeps AddressSanitizer's red zones around every buffer
#else
  return platform::map_pages(bytes);
#endif
}

void free_block_memory(void* memory, std::size_t bytes) {
#if defined(__SANITIZE_ADDRESS__)
  (void)bytes;
  std::free(memory);
#else
  platform::unmap_pages(memory, bytes);
#endif
}

AllocationHook set_allocation_hook(AllocationHook hook) { return allocation_hook.exchange(hook); }

// Pieces come in steps of kPieceStep, so that blocks of nearly the same size share them: a full
// block's output buffer and a stored or barely compressed block's input buffer are one size.
constexpr std::size_t kPieceStep = std::size_t{64} << 10;

void* take_block_memory(std::size_t bytes) {
  if (bytes > kPieceStep) bytes = (bytes + kPieceStep - 1) / kPieceStep * kPieceStep;
  void* piece = pool().take(bytes);
  if (piece != nullptr) {
    UQ_UNPOISON(static_cast<std::uint8_t*>(piece) + kHeader, capacity_of(piece));
  } else {
    piece = allocate_block_memory(kHeader + bytes);
    if (piece == nullptr) return nullptr;
    capacity_of(piece) = bytes;
    chunk_of(piece) = nullptr;
    count_piece(bytes);
  }
  return static_cast<std::uint8_t*>(piece) + kHeader;
}

void release_block_memory(void* memory) {
  if (memory == nullptr) return;
  void* piece = static_cast<std::uint8_t*>(memory) - kHeader;
  if (chunk_of(piece) != nullptr) {
    arena().release(piece);
    return;
  }
  UQ_POISON(memory, capacity_of(piece));
  if (!pool().keep(piece)) {
    UQ_UNPOISON(memory, capacity_of(piece));
    free_piece(piece);
  }
}

std::size_t pooled_bytes() { return pool().bytes(); }

std::size_t held_bytes() { return held.load(); }

std::size_t large_held_bytes() { return held_large.load(); }

std::uint8_t* allocate_input(std::size_t comp_len) {
  const std::size_t bytes = comp_len + kInputPadding;
  std::uint8_t* buffer = nullptr;
  if (bytes <= kArenaPieceMax) {
    if (void* piece = arena().take(bytes); piece != nullptr) buffer = static_cast<std::uint8_t*>(piece) + kHeader;
  } else {
    buffer = static_cast<std::uint8_t*>(take_block_memory(bytes));
  }
  if (buffer != nullptr) std::memset(buffer + comp_len, 0, kInputPadding);
  return buffer;
}

std::uint8_t* allocate_output(std::size_t out_len) {
  return static_cast<std::uint8_t*>(take_block_memory(out_len + kOutputSlack));
}

void release_buffer(std::uint8_t* buffer) { release_block_memory(buffer); }

}  // namespace uq::codec
