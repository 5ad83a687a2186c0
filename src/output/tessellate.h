// Tessellation driver: splits a box into cubic blocks, meshes each and streams the records to a
// file, with a progress line on standard output.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/types.h"
#include "fractal/field.h"
#include "mesh/block_mesher.h"
#include "output/interval_timer.h"

// How the box is cut: blocks of edge `blockEdge` (the longest extent over resolution / 64), and
// ceil(extent / blockEdge) of them along each axis. A count that is not positive meshes nothing.
struct BlockGrid {
    double blockEdge;
    int32_t blocksX;
    int32_t blocksY;
    int32_t blocksZ;
    int64_t totalBlocks;
};

// The decomposition of `box` for `resolution` (64 times the blocks along its longest side; a
// resolution that is not a multiple of 64 is rounded towards zero).
BlockGrid decomposeBox(const Box3d& box, int32_t resolution);

// Block (i, j, k): min = box.min + index * blockEdge per axis, max = min + blockEdge.
Box3d blockBox(const Box3d& box, double blockEdge, int32_t i, int32_t j, int32_t k);

enum class TessellationStatus {
    kDone,         // file complete under its name, summary printed
    kOpenFailed,   // the output could not be created; nothing was written
    kWriteFailed,  // a write, the close or the rename failed; no file under the output name
    kInterrupted,  // the stop flag was raised; no file under the output name
};

struct TessellationResult {
    TessellationStatus status;
    int64_t triangles;  // records that reached the file; 0 unless kDone
};

struct TessellationOptions {
    const TickClock* clock = &systemTickClock();
    // Checked before every block; when it reads true the run stops and nothing is kept.
    const std::atomic<bool>* stopRequested = nullptr;
    // Threads that mesh blocks; the file and the printed text are the same for any count.
    int threadCount = 1;
    // The benchmarks compare paths; every path writes the same bytes.
    SamplingPath sampling = kDefaultSamplingPath;
};

// Runs one meshing job into `fileName`. Blocks are meshed on `options.threadCount` threads and
// written in block order by one writer, each block with one write. The records go to a temporary file beside it, renamed
// onto `fileName` only after the last write and the close succeeded, so a failed or interrupted
// run leaves any earlier file of that name untouched. Prints the progress lines and summary, or
// one error line. Throws what the timer throws and std::bad_alloc, after removing the temporary.
TessellationResult tessellate(const FieldParams& params, int32_t resolution, double isoLevel,
                              const std::string& fileName, const Box3d& box,
                              const TessellationOptions& options = {});
