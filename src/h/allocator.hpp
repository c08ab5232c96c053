// Process-wide settings of the memory allocator.
#pragma once

// Keeps freed memory in the heap: packing allocates and frees rectangle-sized buffers for every
// rectangle, and handing them back to the system each time means faulting them in again.
void keep_freed_memory();
