#pragma once
// Giving memory back to the system after a burst.
//
// glibc's allocator keeps freed small blocks in its arenas; only free space at the top of a heap
// goes back on its own. After a burst of many small buffers (messages waiting for a peer that did
// not read) the freed blocks lie between live ones and would stay resident for the life of the
// process. Callers release them once a burst is over, never on a timer.

namespace platform {

/// Returns the allocator's free pages to the system (malloc_trim under glibc; nothing elsewhere).
/// Costs a walk over the free blocks: call it at the end of a burst, not per message.
void ReleaseFreedMemory();

} // namespace platform
