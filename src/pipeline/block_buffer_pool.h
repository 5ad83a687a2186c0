// Buffer pool: what the blocks in flight hold, allocated once per run. Each meshing thread samples
// and meshes in a BlockBuffers of its own; a meshed block's records then move to slot n % size of
// the pool (the two record arrays are exchanged, nothing is copied), which is free again once the
// writer is done with block n - size. A block in flight thus holds only its records: an empty
// block's array is never touched, and many blocks can wait behind a slow one at little cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "io/triangle_record.h"
#include "mesh/block_buffers.h"

struct BlockBufferPool {
    std::size_t tokenCount;                                // blocks the meshing loop holds at once
    std::vector<std::unique_ptr<BlockBuffers>> workers;    // one per meshing thread
    std::vector<std::unique_ptr<TriangleRecord[]>> slots;  // kBlockRecordCapacity records each
};

// The pool for `threadCount` meshing threads: sixteen blocks in flight per thread keep every
// thread busy behind a block that costs a hundred times its neighbours (a surface block among
// empty ones); two more per thread wait for the writer while the kernel copies or writes back.
// Throws std::bad_alloc.
BlockBufferPool makeBlockBufferPool(int threadCount);

// Hands the records `worker` holds to the slot of block `index` and gives the worker the slot's
// array in exchange; returns the records now in the slot. The slot must be free (the writer done
// with block index - size).
inline const TriangleRecord* moveRecordsToSlot(BlockBufferPool& pool, int64_t index,
                                               BlockBuffers& worker) {
    std::unique_ptr<TriangleRecord[]>& slot =
        pool.slots[static_cast<std::size_t>(index) % pool.slots.size()];
    TriangleRecord* const meshed = worker.records;
    worker.records = slot.release();
    slot.reset(meshed);
    return meshed;
}
