// Tessellation driver: splits a box into cubic blocks, meshes them on every thread it is given and
// streams their records, in block order, to one file. It prints nothing: it reports progress and
// its result to the caller, which decides what the user sees.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/types.h"
#include "fractal/field.h"

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

// Block number `index` of the file's order (x fastest, then y, then z): 0 <= index < totalBlocks.
Box3d blockBoxAt(const Box3d& box, const BlockGrid& grid, int64_t index);

// The state before a block is meshed (before blocks 0, 4, 8, ...), and once more, with
// `finished` set, after the last block was written and before the file is closed.
struct TessellationProgress {
    int64_t blocksDone;
    int64_t totalBlocks;
    int64_t triangles;  // records written so far
    bool finished;
};

enum class TessellationStatus {
    kDone,            // file complete under its name
    kOpenFailed,      // the output could not be created; nothing was written
    kCannotReplace,   // what has the output name cannot be replaced (see `problem`); nothing done
    kWriteFailed,     // a write, the sync or the close failed; no file under the output name
    kRenameFailed,    // the complete file could not take the output name; nothing under it
    kInterrupted,     // the stop flag was raised; no file under the output name
};

struct TessellationResult {
    TessellationStatus status;
    int errorNumber;        // errno of an open or write failure, else 0
    int64_t triangles;      // records under the output name; 0 unless kDone
    double elapsedSeconds;  // from the start to the rename; 0 unless kDone
    const char* problem = "";  // kCannotReplace: "it is append-only (chattr -a removes that)"...
};

struct TessellationOptions {
    // Checked before every block is meshed and before it is written; when it reads true the run
    // stops and nothing is kept.
    const std::atomic<bool>* stopRequested = nullptr;
    // Threads that mesh blocks; the file and the progress reports are the same for any count.
    int threadCount = 1;
    // Called on one thread at a time, in order (the writer thread, then the caller for the last
    // report); may be empty; must not throw.
    std::function<void(const TessellationProgress&)> onProgress;
};

// Runs one meshing job into `fileName`: blocks meshed on options.threadCount threads, written in
// block order by one more thread, each with one write, to a temporary that is renamed onto
// `fileName` only after the last write and the close succeeded. Where no thread can be started
// (a process limit) it meshes and writes on the calling thread alone, with the same bytes.
// Throws what IntervalTimer throws and std::bad_alloc; any temporary is removed first.
TessellationResult tessellate(const FieldParams& params, int32_t resolution, double isoLevel,
                              const std::string& fileName, const Box3d& box,
                              const TessellationOptions& options = {});
