#include "output/tessellate.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "mesh/block_mesher.h"
#include "output/temp_output.h"

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

void printProgress(double percent, int64_t triangles) {
    std::printf("\rTessellating: %.2f%%, %.2fM triangles, %.2f MB", percent,
                static_cast<double>(triangles) / 1000000.0,
                48.0 * static_cast<double>(triangles) * 0x1p-20);
    // A terminal is line-buffered here; the line has no newline, so push it out now.
    std::fflush(stdout);
}

// The output under construction: a temporary beside the final name, written through a stdio
// stream that owns its descriptor once opened.
struct PendingFile {
    TempOutput file;
    FILE* stream = nullptr;

    ~PendingFile() {
        if (stream != nullptr) {
            std::fclose(stream);
        }
    }
};

bool openPending(const std::string& fileName, PendingFile& pending) {
    if (!openTempOutput(fileName, pending.file)) {
        return false;
    }
    pending.stream = fdopen(pending.file.fd, "wb");
    if (pending.stream == nullptr) {
        return false;
    }
    pending.file.fd = -1;
    return true;
}

TessellationResult reportWriteFailure(int reason, bool progressLineOpen) {
    std::printf("%sError: could not write file! %s\n", progressLineOpen ? "\n" : "",
                std::strerror(reason));
    return {TessellationStatus::kWriteFailed, 0};
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
    IntervalTimer timer(*options.clock);

    PendingFile pending;
    if (!openPending(fileName, pending)) {
        std::printf("Error: could not open file!\n");
        return {TessellationStatus::kOpenFailed, 0};
    }

    bool progressLineOpen = false;
    try {
        const int threadCount = options.threadCount > 0 ? options.threadCount : 1;
        // Four blocks in flight per thread keep every thread busy while the writer catches up
        // and blocks of uneven cost finish; each owns its BlockBuffers, allocated once here.
        const size_t tokenCount = 4 * static_cast<size_t>(threadCount);
        std::vector<std::unique_ptr<BlockBuffers>> pool;
        for (size_t t = 0; t < tokenCount; ++t) {
            pool.push_back(std::make_unique<BlockBuffers>());
        }

        const BlockGrid grid = decomposeBox(box, resolution);
        int64_t blocksDone = 0;
        int64_t triangles = 0;
        int64_t nextBlock = 0;
        bool interrupted = false;
        std::atomic<bool> writeFailed{false};
        int writeErrno = 0;

        struct BlockJob {
            Box3d box;
            BlockBuffers* buffers;
            int32_t produced;
        };
        auto source = [&](tbb::flow_control& control) -> BlockJob {
            if (nextBlock >= grid.totalBlocks || writeFailed.load()) {
                control.stop();
                return {};
            }
            if (options.stopRequested != nullptr && options.stopRequested->load()) {
                interrupted = true;
                control.stop();
                return {};
            }
            const int64_t index = nextBlock++;
            const int32_t i = static_cast<int32_t>(index % grid.blocksX);
            const int32_t j = static_cast<int32_t>(index / grid.blocksX % grid.blocksY);
            const int32_t k = static_cast<int32_t>(index / grid.blocksX / grid.blocksY);
            // At most tokenCount blocks are alive and they finish in order, so block index -
            // tokenCount, the last user of this slot, has already been written.
            return {blockBox(box, grid.blockEdge, i, j, k), pool[index % tokenCount].get(), 0};
        };
        auto mesh = [&](BlockJob job) -> BlockJob {
            job.produced = meshBlockUsing(options.sampling, params, job.box, *job.buffers, isoLevel);
            return job;
        };
        auto write = [&](BlockJob job) {
            if (writeFailed.load()) {
                return;
            }
            if (blocksDone % 4 == 0) {
                printProgress(static_cast<double>(blocksDone) * 100.0 /
                                  static_cast<double>(grid.totalBlocks),
                              triangles);
                progressLineOpen = true;
            }
            errno = 0;
            if (std::fwrite(job.buffers->records, sizeof(TriangleRecord),
                            static_cast<size_t>(job.produced),
                            pending.stream) != static_cast<size_t>(job.produced)) {
                writeErrno = errno;
                writeFailed.store(true);
                return;
            }
            triangles += job.produced;
            ++blocksDone;
        };
        if (grid.totalBlocks > 0) {
            tbb::task_arena arena(threadCount);
            arena.execute([&] {
                tbb::parallel_pipeline(
                    tokenCount,
                    tbb::make_filter<void, BlockJob>(tbb::filter_mode::serial_in_order, source) &
                        tbb::make_filter<BlockJob, BlockJob>(tbb::filter_mode::parallel, mesh) &
                        tbb::make_filter<BlockJob, void>(tbb::filter_mode::serial_in_order, write));
            });
        }
        if (writeFailed.load()) {
            return reportWriteFailure(writeErrno, progressLineOpen);
        }
        if (interrupted) {
            std::printf("\nInterrupted.\n");
            return {TessellationStatus::kInterrupted, 0};
        }
        printProgress(100.0, triangles);
        progressLineOpen = true;

        errno = 0;
        FILE* stream = pending.stream;
        pending.stream = nullptr;
        const bool flushed = std::fflush(stream) == 0;
        if (std::fclose(stream) != 0 || !flushed) {
            return reportWriteFailure(errno, progressLineOpen);
        }
        if (!renameTempOutput(pending.file)) {
            return reportWriteFailure(errno, progressLineOpen);
        }

        const double seconds = timer.elapsedSeconds();
        std::printf("\nDone: %lld triangles, %.0f seconds\n", static_cast<long long>(triangles),
                    seconds);
        return {TessellationStatus::kDone, triangles};
    } catch (...) {
        // The caller reports the failure; it should start on a line of its own.
        if (progressLineOpen) {
            std::printf("\n");
        }
        throw;
    }
}
