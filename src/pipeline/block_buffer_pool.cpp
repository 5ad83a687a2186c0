// Buffer pool: one BlockBuffers per block in flight.
#include "pipeline/block_buffer_pool.h"

BlockBufferPool makeBlockBufferPool(int threadCount) {
    const std::size_t threads = threadCount > 0 ? static_cast<std::size_t>(threadCount) : 1;
    BlockBufferPool pool;
    pool.tokenCount = 4 * threads;
    const std::size_t size = pool.tokenCount + 2 * threads;
    for (std::size_t slot = 0; slot < size; ++slot) {
        pool.slots.push_back(std::make_unique<BlockBuffers>());
    }
    return pool;
}
