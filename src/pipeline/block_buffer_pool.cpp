// Buffer pool: a working set per meshing thread, and the records of the blocks in flight.
#include "pipeline/block_buffer_pool.h"

BlockBufferPool makeBlockBufferPool(int threadCount) {
    const std::size_t threads = threadCount > 0 ? static_cast<std::size_t>(threadCount) : 1;
    BlockBufferPool pool;
    pool.tokenCount = 16 * threads;
    for (std::size_t worker = 0; worker < threads; ++worker) {
        pool.workers.push_back(std::make_unique<BlockBuffers>());
    }
    const std::size_t size = pool.tokenCount + 2 * threads;
    for (std::size_t slot = 0; slot < size; ++slot) {
        // Default-initialised: pages no block reaches are never made resident.
        pool.slots.emplace_back(new TriangleRecord[kBlockRecordCapacity]);
    }
    return pool;
}
