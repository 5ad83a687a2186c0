// Block-meshing loop: meshes the blocks of a grid in order on a pool of threads and hands each,
// in block order, to the ordered writer. Holds at most the pool's token count of blocks at once,
// each in its own slot of the buffer pool.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/types.h"
#include "fractal/block_sampler.h"
#include "fractal/field.h"
#include "pipeline/block_buffer_pool.h"
#include "pipeline/ordered_block_writer.h"

// What every block of a run is meshed with: blocks 0..totalBlocks-1 of blockAt.
struct BlockMeshingJob {
    BlockSampler sampler;
    FieldParams params;
    double isoLevel;
    Box3d box;
    int32_t blocksX;
    int32_t blocksY;
    double blockEdge;
    int64_t totalBlocks;
    const std::atomic<bool>* stopRequested;  // may be null
};

enum class MeshingEnd {
    kHandedOver,  // every block went to the writer, or the writer halted
    kStopped,     // the stop flag was seen before a block was meshed
    kNoThreads,   // no thread could be started: nothing was handed over
};

// Meshes the job's blocks on `threadCount` threads, with the writer's thread started here, and
// closes the writer before returning. A block's slot is reused only after the writer is done with
// the block that used it before. Throws what meshing throws.
MeshingEnd meshBlocksOnThreads(const BlockMeshingJob& job, int threadCount, BlockBufferPool& pool,
                               OrderedBlockWriter& writer);

// The same on the calling thread alone, each block written as soon as it is meshed (writeBlockNow),
// with the same bytes.
MeshingEnd meshBlocksHere(const BlockMeshingJob& job, BlockBufferPool& pool,
                          OrderedBlockWriter& writer);
