// Fewer triangles, same shape.
#pragma once

#include <cstdint>
#include <string>

#include <atomic>

#include "io/record_reader.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/util/progress.h"

// Memory simplifyMesh needs per triangle of a closed mesh on top of the loaded mesh: load and
// simplification peaked at 123 to 126 bytes per triangle (presets 1 and 3, the program's fixed
// 9 MB left out); the sum with kLoadBytesPerTriangle leaves a quarter more.
constexpr uint64_t kSimplifyBytesPerTriangle = 110;

struct SimplifyReport {
    int64_t triangleCountBefore = 0;
    int64_t triangleCountAfter = 0;
    double absoluteError = 0.0;  // largest deviation, in the mesh's units
    double relativeError = 0.0;  // the same over the mesh's extent
};

// Collapses edges (quadric error metric) until `ratio` of the triangles remain or no collapse
// keeps the topology; vertices no triangle uses may remain (see compactVertices). From 500,000
// triangles on, in two passes: slabs of about 250,000 in parallel with their borders locked, then
// the whole once it has at most 6,000,000 triangles (the error reported adds the passes' largest
// deviations); the result is the same on any number of threads. The mesh's vertices must be
// finite.
bool simplifyMesh(IndexedMesh& mesh, double ratio, SimplifyReport& report, std::string& error);

// Steps of simplifyRecords for its progress, a file's worth each: the plan, the sweep, the joined
// result in memory.
constexpr int64_t kSimplifyRecordsPassCount = 3;

// simplifyMesh without loading the file: a sweep over an open file (see sweep_weld.h) welds the
// records, leaving out those with a non-finite vertex, and hands chunks of about
// kStreamChunkTriangles to a worker per core, each simplified to chunkRatio(`ratio`) with its
// borders locked; their results are joined and simplified again as simplifyMesh does, to `ratio`
// of the input.
// `mesh` gets a compact result, its vertices in the file's first-seen order, the same on any
// number of threads. Memory: the sweep's window, two chunks a worker and one more, and the
// joined result (chunkRatio of the input, a little more for the locked borders). The
// window's tables stop at `weldMemoryLimitBytes` (0: three quarters of the RAM); failures and
// stops set `error` to one line.
bool simplifyRecords(RecordReader& reader, double ratio, uint64_t weldMemoryLimitBytes,
                     IndexedMesh& mesh, SimplifyReport& report, Progress& progress,
                     const std::atomic<bool>* stopRequested, std::string& error);

// --- internals shared by the in-memory and the streamed simplifier

// Relative to the mesh's extent: 1 lets the triangle target alone decide where to stop.
constexpr float kSimplifyNoErrorLimit = 1.0f;

// Triangles of a chunk of the sweep.
constexpr size_t kStreamChunkTriangles = 250000;

// The share of its triangles a chunk of the sweep keeps when the whole is to keep `ratio`: twice
// that (at most halfway to 1), so that the pass over the joined chunks has their borders to do.
double chunkRatio(double ratio);

// The passes over a mesh in memory: slabs, then the whole, to `targetTriangles`, the deviations
// added to `earlierError`; sets report's error and count after (not the count before).
bool simplifyJoined(IndexedMesh& mesh, size_t targetTriangles, double earlierError,
                    SimplifyReport& report, std::string& error);
