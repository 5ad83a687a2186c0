#include "pipeline/tessellate.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "io/atomic_output.h"
#include "pipeline/block_buffer_pool.h"
#include "pipeline/block_meshing_loop.h"
#include "pipeline/interval_timer.h"
#include "pipeline/ordered_block_writer.h"

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

Box3d blockBoxAt(const Box3d& box, const BlockGrid& grid, int64_t index) {
    return blockBox(box, grid.blockEdge, static_cast<int32_t>(index % grid.blocksX),
                    static_cast<int32_t>(index / grid.blocksX % grid.blocksY),
                    static_cast<int32_t>(index / grid.blocksX / grid.blocksY));
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
    BlockBufferPool pool = makeBlockBufferPool(threadCount);
    const BlockGrid grid = decomposeBox(box, resolution);
    const BlockMeshingJob job = {chooseBlockSampler(params, isoLevel),
                                 params,
                                 isoLevel,
                                 box,
                                 grid.blocksX,
                                 grid.blocksY,
                                 grid.blockEdge,
                                 grid.totalBlocks,
                                 options.stopRequested};
    OrderedBlockWriter writer;
    writer.output = &output;
    writer.stopRequested = options.stopRequested;
    writer.beforeBlock = [&](int64_t blocksDone, int64_t triangles) {
        report(options, blocksDone, grid.totalBlocks, triangles, false);
    };

    MeshingEnd end = MeshingEnd::kHandedOver;
    if (grid.totalBlocks > 0) {
        end = meshBlocksOnThreads(job, threadCount, pool, writer);
        // Where no thread can be started (a process limit), the blocks are meshed and written on
        // this thread alone, with the same bytes; nothing has been written when that is found out.
        if (end == MeshingEnd::kNoThreads) {
            if (writer.blocksDone != 0 || writer.triangles != 0) {
                throw std::runtime_error("the worker threads stopped part way");
            }
            end = meshBlocksHere(job, pool, writer);
        }
    }
    const bool interrupted = end == MeshingEnd::kStopped || writer.stopped.load();
    const auto failed = [&output](TessellationStatus status) {
        if (output.failure == OutputFailure::kInterrupted) {
            return TessellationResult{TessellationStatus::kInterrupted, 0, 0, 0.0};
        }
        return TessellationResult{status, output.errorNumber, 0, 0.0};
    };
    if (writer.writeFailed.load()) {
        return failed(TessellationStatus::kWriteFailed);
    }
    if (interrupted) {
        return {TessellationStatus::kInterrupted, 0, 0, 0.0};
    }
    report(options, writer.blocksDone, grid.totalBlocks, writer.triangles, true);
    if (!commitAtomicOutput(output)) {
        return failed(output.failure == OutputFailure::kRename ? TessellationStatus::kRenameFailed
                                                               : TessellationStatus::kWriteFailed);
    }
    return {TessellationStatus::kDone, 0, writer.triangles, timer.elapsedSeconds()};
}
