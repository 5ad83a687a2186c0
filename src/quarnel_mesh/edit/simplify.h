// Fewer triangles, same shape.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "io/record_reader.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/util/run_context.h"

// Memory simplifyMesh needs per triangle of a closed mesh on top of the loaded mesh: load and
// simplification peaked at 123 to 126 bytes per triangle (presets 1 and 3, the program's fixed
// 9 MB left out); the sum with kLoadBytesPerTriangle leaves a quarter more.
constexpr uint64_t kSimplifyBytesPerTriangle = 110;

struct SimplifyReport {
    int64_t triangleCountBefore = 0;
    int64_t triangleCountAfter = 0;
    double absoluteError = 0.0;  // largest deviation, in the mesh's units
    double relativeError = 0.0;  // the same over the mesh's extent
    bool handedOn = false;       // the result went to a SimplifiedRecordSink, not into memory
};

// The whole mesh is simplified in one pass only up to this many triangles: its tables take about
// 80 bytes a triangle.
constexpr size_t kWholePassMaxTriangles = 6000000;

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

// Takes `count` records of a simplified result, in order; false with `error` set stops the
// simplifier.
using SimplifiedRecordSink =
    std::function<bool(const TriangleRecord* records, size_t count, std::string& error)>;

// Memory simplifyRecords needs per triangle of a result it holds, the sweep's window and the
// slabs in work included: preset 11 to 0.1 peaked at 45 bytes for each of its 35 M triangles, the
// 3MF writer after it included; this leaves a third more.
constexpr uint64_t kSimplifyResultBytesPerTriangle = 60;

// simplifyMesh without loading the file, in three passes over a sweep (see sweep_weld.h) that
// welds the records and leaves out those with a non-finite vertex:
//   1. chunks of about kStreamChunkTriangles of the sweep, a worker per core, each to
//      chunkRatio(`ratio`) with its borders locked;
//   2. their results regrouped into slabs along z of about kSweepSlabTriangles, each simplified
//      to `ratio` of the triangles it came from, its borders locked, once the sweep is past it;
//   3. the joined slabs, once at most kWholePassMaxTriangles, as a whole (simplifyJoined).
// A file too small for two slabs joins the chunks' results and simplifies them as simplifyMesh
// does. `mesh` gets a compact result, its vertices in the file's first-seen order, the same on
// any number of threads. A result of several slabs that would pass kWholePassMaxTriangles, or
// defaultWeldMemoryLimit at kSimplifyResultBytesPerTriangle, goes to `sink` instead where one
// is given (report.handedOn): each slab's, in slab order, as it is done, every record coloured
// as its first corner; `mesh` then gets no triangles. Memory: the sweep's window, the chunks and
// slabs in work (a few a worker), the slabs not yet closed (the sweep's reach below the newest
// triangle) and a result held. The window's tables stop at defaultWeldMemoryLimit. run.progress
// counts kSimplifyRecordsPassCount passes from 0; failures and stops set run.error to one line.
bool simplifyRecords(RecordReader& reader, double ratio, IndexedMesh& mesh, SimplifyReport& report,
                     const SimplifiedRecordSink* sink, RunContext& run);

// Memory simplifyRecords needs at most for `triangleCount` records and `ratio`, given a sink:
// the result held, and the chunks' results of a file of one slab, simplified in memory as
// simplifyMesh does.
uint64_t simplifyRecordsMemoryBytes(int64_t triangleCount, double ratio);

// --- internals shared by the in-memory and the streamed simplifier

// Relative to the mesh's extent: 1 lets the triangle target alone decide where to stop.
constexpr float kSimplifyNoErrorLimit = 1.0f;

// Triangles of a chunk of the sweep.
constexpr size_t kStreamChunkTriangles = 250000;

// The chunks' results a slab of the second pass gathers.
constexpr size_t kSweepSlabTriangles = 500000;

// The share of its triangles a chunk of the sweep keeps when the whole is to keep `ratio`: twice
// that (at most halfway to 1), so that the pass over the joined chunks has their borders to do.
double chunkRatio(double ratio);

// The passes over a mesh in memory: slabs (if `slabsFirst`), then the whole, to
// `targetTriangles`, the deviations added to `earlierError`; sets report's error and count after
// (not the count before).
bool simplifyJoined(IndexedMesh& mesh, size_t targetTriangles, double earlierError,
                    bool slabsFirst, SimplifyReport& report, std::string& error);
