#include "pipeline/tessellate.h"

#include <cmath>
#include <functional>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
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

struct BlockJob {
    Box3d box;
    BlockBuffers* buffers;
    int32_t produced;
};

// Blocks meshed and waiting for the writer thread, in block order: block n sits at n % size of a
// ring as large as the buffer pool, so handing one over never waits and never allocates.
struct WriterQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BlockJob> ring;
    int64_t queued = 0;    // blocks handed over
    int64_t consumed = 0;  // blocks the writer is done with: their buffers may be reused
    bool closed = false;   // no more blocks will come
};

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
    // Four blocks in flight per thread keep every thread busy while blocks of uneven cost finish;
    // two more per thread wait for the writer thread while the kernel copies or writes back, so
    // a slow write seldom holds a worker. Each block owns its BlockBuffers, allocated once here.
    const size_t tokenCount = 4 * static_cast<size_t>(threadCount);
    const size_t poolSize = tokenCount + 2 * static_cast<size_t>(threadCount);
    std::vector<std::unique_ptr<BlockBuffers>> pool;
    for (size_t t = 0; t < poolSize; ++t) {
        pool.push_back(std::make_unique<BlockBuffers>());
    }

    const BlockSampler sampler = chooseBlockSampler(params, isoLevel);
    const BlockGrid grid = decomposeBox(box, resolution);
    int64_t nextBlock = 0;
    bool interrupted = false;
    std::atomic<bool> writeFailed{false};
    std::atomic<bool> writerStopped{false};
    int64_t blocksDone = 0;  // the writer thread's until it is joined
    int64_t triangles = 0;

    WriterQueue queue;
    queue.ring.resize(poolSize);
    auto stopRaised = [&] {
        return options.stopRequested != nullptr && options.stopRequested->load();
    };
    // Writes one block in order and reports progress before every fourth; a raised stop flag
    // drops the rest at once: the file will not be kept.
    auto writeBlock = [&](const BlockJob& job) {
        if (writeFailed.load() || writerStopped.load()) {
            return;
        }
        if (stopRaised()) {
            writerStopped.store(true);
            return;
        }
        if (blocksDone % 4 == 0) {
            report(options, blocksDone, grid.totalBlocks, triangles, false);
        }
        writeAtomicOutput(output, job.buffers->records,
                          static_cast<size_t>(job.produced) * sizeof(TriangleRecord));
        if (output.failure != OutputFailure::kNone) {
            writeFailed.store(true);
        } else {
            triangles += job.produced;
            ++blocksDone;
        }
    };
    // One thread writes every block in order and reports progress, so the reports come from one
    // thread, in order, and no pipeline worker waits for the kernel.
    auto writeBlocks = [&] {
        for (;;) {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.changed.wait(lock, [&] { return queue.queued > queue.consumed || queue.closed; });
            if (queue.queued == queue.consumed) {
                return;
            }
            const BlockJob job = queue.ring[static_cast<size_t>(queue.consumed) % poolSize];
            lock.unlock();
            writeBlock(job);
            lock.lock();
            ++queue.consumed;
            queue.changed.notify_all();
        }
    };
    auto closeQueue = [&] {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.closed = true;
        queue.changed.notify_all();
    };
    // Closes the queue and waits for the writer on every way out, an exception's too.
    struct WriterThread {
        std::thread thread;
        std::function<void()> close;
        ~WriterThread() {
            if (thread.joinable()) {
                close();
                thread.join();
            }
        }
    } writer{std::thread(), closeQueue};

    auto jobOf = [&](int64_t index) -> BlockJob {
        return {blockBoxAt(box, grid, index), pool[index % poolSize].get(), 0};
    };
    auto source = [&](tbb::flow_control& control) -> BlockJob {
        if (nextBlock >= grid.totalBlocks || writeFailed.load() || writerStopped.load()) {
            control.stop();
            return {};
        }
        if (stopRaised()) {
            interrupted = true;
            control.stop();
            return {};
        }
        const int64_t index = nextBlock++;
        // The pipeline hands blocks over in order and holds fewer than tokenCount, so block
        // index - poolSize, the last user of this slot, has been handed over: the writer
        // finishes it without the pipeline's help, and this wait cannot deadlock.
        if (index >= static_cast<int64_t>(poolSize)) {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.changed.wait(lock, [&] {
                return queue.consumed > index - static_cast<int64_t>(poolSize);
            });
        }
        return jobOf(index);
    };
    auto mesh = [&](BlockJob job) -> BlockJob {
        job.produced = meshBlock(sampler, params, job.box, *job.buffers, isoLevel);
        return job;
    };
    auto handOver = [&](BlockJob job) {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.ring[static_cast<size_t>(queue.queued) % poolSize] = job;
        ++queue.queued;
        queue.changed.notify_all();
    };
    // Where no thread can be started (a process limit), the blocks are meshed and written on
    // this thread alone, with the same bytes; nothing has been written when that is found out.
    bool threadsStarted = grid.totalBlocks > 0;
    if (threadsStarted) {
        try {
            writer.thread = std::thread(writeBlocks);
            tbb::task_arena arena(threadCount);
            arena.execute([&] {
                tbb::parallel_pipeline(
                    tokenCount,
                    tbb::make_filter<void, BlockJob>(tbb::filter_mode::serial_in_order, source) &
                        tbb::make_filter<BlockJob, BlockJob>(tbb::filter_mode::parallel, mesh) &
                        tbb::make_filter<BlockJob, void>(tbb::filter_mode::serial_in_order,
                                                         handOver));
            });
        } catch (const std::system_error&) {
            threadsStarted = false;
        } catch (const std::runtime_error&) {
            threadsStarted = false;
        }
        closeQueue();
        if (writer.thread.joinable()) {
            writer.thread.join();
        }
        if (!threadsStarted && (blocksDone != 0 || triangles != 0)) {
            throw std::runtime_error("the worker threads stopped part way");
        }
    }
    if (grid.totalBlocks > 0 && !threadsStarted) {
        interrupted = false;
        for (int64_t index = 0; index < grid.totalBlocks && !writeFailed.load() &&
                                !writerStopped.load();
             ++index) {
            if (stopRaised()) {
                interrupted = true;
                break;
            }
            writeBlock(mesh(jobOf(index)));
        }
    }
    interrupted = interrupted || writerStopped.load();
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
