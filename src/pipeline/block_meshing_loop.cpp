// Block-meshing loop: an ordered pipeline of three stages (take the next block, mesh it, hand it
// over), the middle one parallel.
#include "pipeline/block_meshing_loop.h"

#include <cassert>
#include <stdexcept>
#include <system_error>

#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "mesh/block_mesher.h"
#include "pipeline/tessellate.h"

namespace {

struct BlockInFlight {
    int64_t index;
    const TriangleRecord* records;  // in the block's slot once meshed
    int32_t produced;
};

bool stopRaised(const BlockMeshingJob& job) {
    return job.stopRequested != nullptr && job.stopRequested->load();
}

int32_t meshBlockAt(const BlockMeshingJob& job, int64_t index, BlockBuffers& buffers) {
    const Box3d block = blockBox(job.box, job.blockEdge, static_cast<int32_t>(index % job.blocksX),
                                 static_cast<int32_t>(index / job.blocksX % job.blocksY),
                                 static_cast<int32_t>(index / job.blocksX / job.blocksY));
    return meshBlock(job.sampler, job.params, block, buffers, job.isoLevel);
}

}  // namespace

MeshingEnd meshBlocksOnThreads(const BlockMeshingJob& job, int threadCount, BlockBufferPool& pool,
                               OrderedBlockWriter& writer) {
    const int64_t poolSize = static_cast<int64_t>(pool.slots.size());
    int64_t nextBlock = 0;
    bool stopped = false;
    auto source = [&](tbb::flow_control& control) -> BlockInFlight {
        if (nextBlock >= job.totalBlocks || writerHalted(writer)) {
            control.stop();
            return {};
        }
        if (stopRaised(job)) {
            stopped = true;
            control.stop();
            return {};
        }
        const int64_t index = nextBlock++;
        // The pipeline hands blocks over in order and holds fewer than the pool's size, so block
        // index - poolSize, the last user of this slot, has been handed over: the writer finishes
        // it without the pipeline's help, and this wait cannot deadlock.
        if (index >= poolSize) {
            waitUntilWritten(writer, index - poolSize);
        }
        return {index, nullptr, 0};
    };
    auto mesh = [&](BlockInFlight block) -> BlockInFlight {
        // The arena's slots are numbered 0..threadCount-1: one working set each.
        const int thread = tbb::this_task_arena::current_thread_index();
        assert(thread >= 0 && static_cast<std::size_t>(thread) < pool.workers.size());
        BlockBuffers& worker = *pool.workers[static_cast<std::size_t>(thread)];
        block.produced = meshBlockAt(job, block.index, worker);
        block.records = moveRecordsToSlot(pool, block.index, worker);
        return block;
    };
    auto handOver = [&](BlockInFlight block) {
        handOverBlock(writer, {block.records, block.produced});
    };
    writer.ringSize = pool.slots.size();
    try {
        startBlockWriter(writer);
        tbb::task_arena arena(threadCount > 0 ? threadCount : 1);
        arena.execute([&] {
            tbb::parallel_pipeline(
                pool.tokenCount,
                tbb::make_filter<void, BlockInFlight>(tbb::filter_mode::serial_in_order, source) &
                    tbb::make_filter<BlockInFlight, BlockInFlight>(tbb::filter_mode::parallel,
                                                                   mesh) &
                    tbb::make_filter<BlockInFlight, void>(tbb::filter_mode::serial_in_order,
                                                          handOver));
        });
    } catch (const std::system_error&) {
        closeBlockWriter(writer);
        return MeshingEnd::kNoThreads;
    } catch (const std::runtime_error&) {
        closeBlockWriter(writer);
        return MeshingEnd::kNoThreads;
    }
    closeBlockWriter(writer);
    return stopped ? MeshingEnd::kStopped : MeshingEnd::kHandedOver;
}

MeshingEnd meshBlocksHere(const BlockMeshingJob& job, BlockBufferPool& pool,
                          OrderedBlockWriter& writer) {
    for (int64_t index = 0; index < job.totalBlocks && !writerHalted(writer); ++index) {
        if (stopRaised(job)) {
            return MeshingEnd::kStopped;
        }
        BlockBuffers& worker = *pool.workers.front();
        writeBlockNow(writer, {worker.records, meshBlockAt(job, index, worker)});
    }
    return MeshingEnd::kHandedOver;
}
