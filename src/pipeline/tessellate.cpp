#include "pipeline/tessellate.h"

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "io/atomic_output.h"
#include "mesh/block_mesher.h"
#include "pipeline/interval_timer.h"

namespace {

int32_t blockCount(double extent, double blockEdge) {
    const double count = std::ceil(extent / blockEdge);
    // Outside the int32 range (or NaN for an empty box) the truncating conversion would be
    // undefined; such a box has no usable blocks, or more than could ever be meshed.
    if (!(count > 0.0)) {
        return 0;
    }
    if (count >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(count);
}

void report(const TessellationOptions& options, int64_t blocksDone, int64_t totalBlocks,
            int64_t triangles, bool finished) {
    if (options.onProgress) {
        options.onProgress({blocksDone, totalBlocks, triangles, finished});
    }
}

}  // namespace

BlockGrid decomposeBox(const Box3d& box, int32_t resolution) {
    const double ex = box.max.x - box.min.x;
    const double ey = box.max.y - box.min.y;
    const double ez = box.max.z - box.min.z;
    double longest = ex;
    if (ey > longest) {
        longest = ey;
    }
    if (ez > longest) {
        longest = ez;
    }
    const int32_t blocksAlongLongest = resolution / 64;
    BlockGrid grid;
    grid.blockEdge = longest / static_cast<double>(blocksAlongLongest);
    grid.blocksX = blockCount(ex, grid.blockEdge);
    grid.blocksY = blockCount(ey, grid.blockEdge);
    grid.blocksZ = blockCount(ez, grid.blockEdge);
    grid.totalBlocks = static_cast<int64_t>(grid.blocksX) * grid.blocksY * grid.blocksZ;
    return grid;
}

Box3d blockBox(const Box3d& box, double blockEdge, int32_t i, int32_t j, int32_t k) {
    // Each block's minimum comes from its own index, never from the previous block's maximum.
    Box3d block;
    block.min = {box.min.x + static_cast<double>(i) * blockEdge,
                 box.min.y + static_cast<double>(j) * blockEdge,
                 box.min.z + static_cast<double>(k) * blockEdge};
    block.max = {block.min.x + blockEdge, block.min.y + blockEdge, block.min.z + blockEdge};
    return block;
}

TessellationResult tessellate(const FieldParams& params, int32_t resolution, double isoLevel,
                              const std::string& fileName, const Box3d& box,
                              const TessellationOptions& options) {
    IntervalTimer timer;

    AtomicOutput output;
    if (!openAtomicOutput(fileName, output)) {
        if (output.failure == OutputFailure::kReplace) {
            return {TessellationStatus::kCannotReplace, 0, 0, 0.0, output.replaceProblem};
        }
        return {TessellationStatus::kOpenFailed, output.errorNumber, 0, 0.0};
    }

    const int threadCount = options.threadCount > 0 ? options.threadCount : 1;
    // Four blocks in flight per thread keep every thread busy while the writer catches up and
    // blocks of uneven cost finish; each owns its BlockBuffers, allocated once here.
    const size_t tokenCount = 4 * static_cast<size_t>(threadCount);
    std::vector<std::unique_ptr<BlockBuffers>> pool;
    for (size_t t = 0; t < tokenCount; ++t) {
        pool.push_back(std::make_unique<BlockBuffers>());
    }

    const BlockSampler sampler = chooseBlockSampler(params, isoLevel);
    const BlockGrid grid = decomposeBox(box, resolution);
    int64_t blocksDone = 0;
    int64_t triangles = 0;
    int64_t nextBlock = 0;
    bool interrupted = false;
    std::atomic<bool> writeFailed{false};

    struct BlockJob {
        Box3d box;
        BlockBuffers* buffers;
        int32_t produced;
    };
    // The next block to mesh, or false once there is none or the run must stop.
    const auto nextJob = [&](BlockJob& job) {
        if (nextBlock >= grid.totalBlocks || writeFailed.load()) {
            return false;
        }
        if (options.stopRequested != nullptr && options.stopRequested->load()) {
            interrupted = true;
            return false;
        }
        const int64_t index = nextBlock++;
        const int32_t i = static_cast<int32_t>(index % grid.blocksX);
        const int32_t j = static_cast<int32_t>(index / grid.blocksX % grid.blocksY);
        const int32_t k = static_cast<int32_t>(index / grid.blocksX / grid.blocksY);
        // At most tokenCount blocks are alive and they finish in order, so block index -
        // tokenCount, the last user of this slot, has already been written.
        job = {blockBox(box, grid.blockEdge, i, j, k), pool[index % tokenCount].get(), 0};
        return true;
    };
    auto source = [&](tbb::flow_control& control) -> BlockJob {
        BlockJob job{};
        if (!nextJob(job)) {
            control.stop();
        }
        return job;
    };
    auto mesh = [&](BlockJob job) -> BlockJob {
        job.produced = meshBlock(sampler, params, job.box, *job.buffers, isoLevel);
        return job;
    };
    auto write = [&](BlockJob job) {
        if (writeFailed.load()) {
            return;
        }
        if (blocksDone % 4 == 0) {
            report(options, blocksDone, grid.totalBlocks, triangles, false);
        }
        writeAtomicOutput(output, job.buffers->records,
                          static_cast<size_t>(job.produced) * sizeof(TriangleRecord));
        if (output.failure != OutputFailure::kNone) {
            writeFailed.store(true);
            return;
        }
        triangles += job.produced;
        ++blocksDone;
    };
    bool threadsStarted = true;
    if (grid.totalBlocks > 0 && threadCount > 1) {
        try {
            tbb::task_arena arena(threadCount);
            arena.execute([&] {
                tbb::parallel_pipeline(
                    tokenCount,
                    tbb::make_filter<void, BlockJob>(tbb::filter_mode::serial_in_order, source) &
                        tbb::make_filter<BlockJob, BlockJob>(tbb::filter_mode::parallel, mesh) &
                        tbb::make_filter<BlockJob, void>(tbb::filter_mode::serial_in_order,
                                                         write));
            });
        } catch (const std::runtime_error&) {
            // The thread library could not start its workers; nothing has been written then.
            threadsStarted = false;
            if (blocksDone != 0 || nextBlock > static_cast<int64_t>(tokenCount)) {
                throw;
            }
            nextBlock = 0;
        }
    }
    if (grid.totalBlocks > 0 && (threadCount == 1 || !threadsStarted)) {
        // The same three stages, one block at a time on this thread.
        for (BlockJob job{}; nextJob(job);) {
            write(mesh(job));
        }
    }
    const auto failed = [&output](TessellationStatus status) {
        if (output.failure == OutputFailure::kInterrupted) {
            return TessellationResult{TessellationStatus::kInterrupted, 0, 0, 0.0};
        }
        return TessellationResult{status, output.errorNumber, 0, 0.0};
    };
    if (writeFailed.load()) {
        return failed(TessellationStatus::kWriteFailed);
    }
    if (interrupted) {
        return {TessellationStatus::kInterrupted, 0, 0, 0.0};
    }
    report(options, blocksDone, grid.totalBlocks, triangles, true);
    if (!commitAtomicOutput(output)) {
        return failed(output.failure == OutputFailure::kRename ? TessellationStatus::kRenameFailed
                                                               : TessellationStatus::kWriteFailed);
    }
    return {TessellationStatus::kDone, 0, triangles, timer.elapsedSeconds()};
}
