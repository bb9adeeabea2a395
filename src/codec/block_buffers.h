// The buffers around one block and the slack the block decoder's margins rely on, kept in a pool
// that the threads share: a block's buffers, once released, serve the next block, whichever
// worker decodes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uq::codec {

// Zeroed bytes after the compressed bytes of every block: the process-wide input slack (4096)
// and a constant tail (1025). Every input byte at or after comp_len reads as 0.
inline constexpr std::size_t kInputSlack = 4096;
inline constexpr std::size_t kInputTail = 1025;
inline constexpr std::size_t kInputPadding = kInputSlack + kInputTail;

// Room after a block's out_len bytes that a decoder may write into.
inline constexpr std::size_t kOutputSlack = 4096;

// comp_len + kInputPadding bytes, the padding zeroed; null when memory can't be had.
std::uint8_t* allocate_input(std::size_t comp_len);

// out_len + kOutputSlack bytes; null when memory can't be had.
std::uint8_t* allocate_output(std::size_t out_len);

// Releases a buffer of either kind; null is ignored.
void release_buffer(std::uint8_t* buffer);

// Memory for a block buffer or a model: `bytes` from the pool, or null when memory can't be had.
// Given back with release_block_memory.
void* take_block_memory(std::size_t bytes);
void release_block_memory(void* memory);

// What the pool holds idle, at most: buffers of up to kPooledBufferMax bytes, kPoolBytes in
// all.
inline constexpr std::size_t kPooledBufferMax = std::size_t{16} << 20;
inline constexpr std::size_t kPoolBytes = std::size_t{64} << 20;
// A larger buffer, up to kLargeBufferMax, is kept as well while the larger pieces the pool has
// taken from the system, in use and idle, come to at most kLargeHeldMax. Pages mapped afresh are
// zeroed by the kernel as they are first touched: that took 11% of -p1's time on the Linux
// tarball in 16 MiB blocks, whose output buffers (16 MiB and the slack) were never kept. One
// worker and the writer hold two of them, and two workers that put their own blocks hold two as
// well: they are reused, however many inputs wait in the queue (at -p16 on two processors,
// sixteen). Three or more are mostly fresh: a reused buffer is resident whole while it fills, a
// fresh one only as far as it is filled, and kept at any count, with the writer holding a third,
// -p2 peaked at 67 MiB on the corpus against 51.
inline constexpr std::size_t kLargeBufferMax = std::size_t{32} << 20;
inline constexpr std::size_t kLargeHeldMax = std::size_t{48} << 20;
// What the pool holds idle; what its pieces come to, in use and idle; what those above
// kPooledBufferMax come to.
std::size_t pooled_bytes();
std::size_t held_bytes();
std::size_t large_held_bytes();

// Every block of memory the pool takes from the system comes from here, and goes back through
// free_block_memory with the same size. Pieces are mapped pages of their own, so that a piece the
// pool gives back returns its pages at once: freed into the malloc arenas of eighteen threads,
// pieces left -p16 holding 40 MiB for 24 MiB in use. Under AddressSanitizer they come from
// malloc, which puts its red zones around them. Null when memory can't be had.
void* allocate_block_memory(std::size_t bytes);
void free_block_memory(void* memory, std::size_t bytes);

// Consulted before every allocate_block_memory; true makes that allocation fail. Tests only (the
// fault injection that fails each allocation of a run in turn); the program never sets it. Gives
// the previous hook.
using AllocationHook = bool (*)();
AllocationHook set_allocation_hook(AllocationHook hook);

}  // namespace uq::codec
