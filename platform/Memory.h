// Handing memory the program has freed back to the operating system.
#pragma once

#include <cstddef>

namespace vantorix {

// From this size a message's memory counts as large (see ReturnFreedMemory).
inline constexpr std::size_t kLargeMessageBytes = std::size_t{1} << 20;

// How far ahead of what has arrived a receiver may make room for a message whose length the
// peer has announced: growing by doubling would copy a large message through many buffers and
// fault in about twice its size, while room for the whole announced length would let a peer that
// announces much and sends nothing hold that memory for free. So the room follows the bytes that
// came: up to 16 times them plus 1 MiB. Callers take the smaller of this and what is announced.
constexpr std::size_t RoomAheadOf(std::size_t arrived) {
  return 16 * arrived + (std::size_t{1} << 20);
}

// Returns to the system what the allocator keeps of freed memory for reuse. glibc keeps freed
// blocks in per-thread arenas, and after a large block is freed it serves blocks of that size
// from them too, so one large message could leave tens of megabytes resident for good. Costs a
// walk over the allocator's free lists: call after a large message's memory was freed and after
// connections ended, not per message. Any thread; nothing here fails. Does nothing where the
// allocator offers no such call.
void ReturnFreedMemory();

}  // namespace vantorix
