// The vertex weld as a sweep over the file, for the commands that need shared vertices but not
// the whole mesh at once. Two passes:
//   1. plan: the lowest z of each chunk's welded vertices, and from it the lowest z still to come
//      after each chunk;
//   2. weld: the records chunk by chunk through a window of vertices; after each chunk, the
//      vertices below the lowest z still to come are final (no later vertex can equal them) and
//      are handed on in index order, and the window forgets them.
// The indices, the weld rule (sameVertex, on positions moved by the plan's stitch, see
// seam_stitch.h) and the non-finite triangles left out are exactly loadIndexedMesh's, for a file
// in any order.
//
// Memory: the window holds the vertices from the lowest one not yet final to the newest. A
// quarnel file comes in z slabs of blocks, a vertex is shared only by triangles of neighbouring
// slabs, so the window holds about two slabs of vertices (the slab being read and the one below
// it; at most twice that between compactions), 16 bytes each plus the table. A file in another
// order may keep every vertex in the window: then the weld's memory limit and messages are
// loadIndexedMesh's.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/record_reader.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/seam_stitch.h"
#include "quarnel_mesh/model/summary.h"
#include "quarnel_mesh/model/vertex_welder.h"
#include "quarnel_mesh/util/progress.h"

// z values in order-preserving bins, whatever the file's units: a float's sign, exponent and top
// 7 mantissa bits, so a bin spans 1/128 of its power of two (0.0078 for z in [1, 2)).
constexpr uint32_t kZBinCount = 65536;
uint32_t zBinOf(float z);

struct SweepPlan {
    std::vector<float> lowestZAfterChunk;  // per chunk of the reader; +inf after the last
    int64_t windowRecordCount = 0;  // records a window spans at most, from the chunks' z ranges
    // Over the triangles the weld keeps (finite vertices), so over every vertex it hands on: the
    // box is usedVertexBox's of the welded mesh; meaningless when finiteTriangleCount is 0.
    int64_t finiteTriangleCount = 0;
    Vec3f boxMin = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f boxMax = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    double smallestMagnitude = HUGE_VAL;  // least non-zero |coordinate|
    // Triangles the weld keeps, counted by the bin of their first corner's z; kZBinCount bins.
    std::vector<int64_t> firstCornerZBinCounts;
    // The seams to join, found from the open edges of the whole file; every weld applies it. The
    // box and z values above are the records' own, before joining.
    StitchMap stitch;
};

// One chunk's welded triangles, three indices each in file order (non-finite ones left out).
// Every index is in the window: window[index - windowFirstIndex]. `records` are the chunk's
// records they came from, the non-finite ones among them.
struct SweepTriangles {
    const uint32_t* indices;
    int64_t triangleCount;
    const WeldedVertex* window;
    int64_t windowFirstIndex;
    const TriangleRecord* records;
    int64_t recordCount;
};

// What a sweep hands on after each chunk: first its triangles, then the vertices that became
// final (`count` of them from index `firstIndex`, in index order; every vertex comes exactly once,
// the last at the end). Either may be empty; one that returns false (with `error` set) stops the
// sweep.
struct SweepConsumer {
    std::function<bool(const SweepTriangles& triangles, std::string& error)> onTriangles;
    std::function<bool(const WeldedVertex* vertices, int64_t count, int64_t firstIndex,
                       std::string& error)> onVertices;
};

struct SweepResult {
    int64_t vertexCount = 0;
    int64_t nonFiniteTriangles = 0;
    Vec3f color = kTriangleColor;  // colour of the first record
    int64_t peakWindowVertices = 0;
};

// Pass 1 over every record of an open file from the start, advancing `progress` from
// `doneBefore`; it pairs the faces' sides as well and joins the seams it finds, and fills
// `summary` (may be null) as summariseMesh would, saving a command that wants both a pass. False
// with `error` set when a read fails or a stop was requested.
bool planSweep(RecordReader& reader, SweepPlan& plan, Progress& progress, int64_t doneBefore,
               std::string& error, MeshSummary* summary = nullptr);

// Pass 2: welds every record from the start, handing the results to `consumer`. The window's
// tables stop at defaultWeldMemoryLimit with describeWeldFailure's
// line; false as well when a read fails, a stop was requested or the consumer stopped.
bool sweepWeld(RecordReader& reader, const SweepPlan& plan, const SweepConsumer& consumer,
               SweepResult& result, Progress& progress, int64_t doneBefore, std::string& error);

// The same in `window`, which the caller keeps from one sweep to the next: a sweep empties it
// first and keeps its storage, so that the later sweeps of a file allocate nothing.
bool sweepWeld(RecordReader& reader, const SweepPlan& plan, VertexWelder& window,
               const SweepConsumer& consumer, SweepResult& result, Progress& progress,
               int64_t doneBefore, std::string& error);

// A mesh in memory handed to `consumer` as a sweep would hand it: every triangle as one chunk,
// then every vertex as final, so that one writer serves the sweep and the loaded mesh alike.
bool sweepMeshInMemory(const IndexedMesh& mesh, const SweepConsumer& consumer,
                       SweepResult& result, std::string& error);
