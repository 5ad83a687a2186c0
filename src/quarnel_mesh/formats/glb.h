// glTF 2.0 binary, for the web and Blender: one writer, fed by a mesh in memory or by a sweep over
// the records.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/progress.h"

struct GlbOptions {
    bool smoothNormals = false;  // per-vertex normals, area-weighted
    bool compress = false;       // quantized and meshoptimizer-encoded (for the web)
    std::string sourceName;      // the input's file name, in the asset's extras
};

// Passes over the file that writeGlbStream makes after the plan, for its progress: the weld, and
// the copy of the binary parts into the output.
constexpr int64_t kGlbStreamPassCount = 2;

// Triangles of a compressed file's primitive at most: each is ordered, quantized and encoded on
// its own, once the sweep has made all its vertices final.
constexpr size_t kGlbPrimitiveTriangles = 1 << 20;

// Writes `mesh` (finite vertices, at least one triangle), the colour as the material's base
// colour; scene, node, mesh and material are named "quarnel", and the asset's extras give the
// source and the triangle count. Plain: one indexed primitive, its vertices reordered for the
// GPU's vertex cache and fetch, holding the reordered copy. Compressed: the primitives
// writeGlbStream would make of the same triangles, with the same bytes, cut from the mesh one at
// a time (holding the normals and one primitive's copy); the extensions it needs are marked
// required.
bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error);

// The file from the records of `reader`, welded by a sweep with `plan` (planSweep's) and each
// position placed by `placement`. Plain: the vertices in the order the weld numbers them, the
// triangles in the file's order; positions, normals and indices wait in scratch files beside the
// output until the JSON before them is known; a file whose .glb would pass 4 GiB is refused as
// soon as its vertices so far make that certain, before any of the output is written. Memory:
// the sweep's window and a normal sum per window vertex (24 bytes). Compressed: the triangles in
// primitives of kGlbPrimitiveTriangles in file order, their vertices local, each encoded into a
// scratch file once all its vertices are final; memory is the window's and the primitives not
// yet complete (about the window's triangles). `progress` counts kGlbStreamPassCount passes of
// the records from `doneBefore`.
bool writeGlbStream(RecordReader& reader, const SweepPlan& plan, const Placement& placement,
                    const GlbOptions& options, uint64_t weldMemoryLimitBytes, AtomicOutput& output,
                    Progress& progress, int64_t doneBefore, int64_t& nonFiniteDropped,
                    std::string& error);

// ---- internals for the writers and the tests

// writeGlb without the reorder and not compressed: `mesh`'s vertices (every one used by a
// triangle) in its order. Its bytes are writeGlbStream's for the records `mesh` was loaded from.
bool writeGlbInOrder(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
                     std::string& error);

// The BIN chunk of an uncompressed file: float positions (and normals), 32-bit indices.
uint64_t plainGlbBinBytes(uint64_t vertexCount, uint64_t triangleCount, bool normals);
// The whole file, its chunks padded to 4 bytes; above UINT32_MAX its header cannot say it.
uint64_t glbFileBytes(uint64_t jsonBytes, uint64_t binBytes);
// The refusal of a file of `fileBytes` bytes (`exact`), or of more than `fileBytes` - 1.
std::string describeGlbTooLarge(uint64_t fileBytes, bool exact);
