// Buffer pool: the BlockBuffers of the blocks in flight, allocated once per run. Block n uses
// slot n % size; the slot is free again once the writer is done with block n - size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "mesh/block_buffers.h"

struct BlockBufferPool {
    std::size_t tokenCount;  // blocks the meshing loop holds at once
    std::vector<std::unique_ptr<BlockBuffers>> slots;
};

// The pool for `threadCount` meshing threads: four blocks in flight per thread keep every thread
// busy while blocks of uneven cost finish; two more per thread wait for the writer while the
// kernel copies or writes back, so a slow write seldom holds a worker.
// Throws std::bad_alloc.
BlockBufferPool makeBlockBufferPool(int threadCount);

// The slot of block `index`.
inline BlockBuffers& poolSlot(BlockBufferPool& pool, int64_t index) {
    return *pool.slots[static_cast<std::size_t>(index) % pool.slots.size()];
}
