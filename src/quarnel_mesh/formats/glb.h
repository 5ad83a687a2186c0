// glTF 2.0 binary, for the web and Blender: one writer, fed by a mesh in memory or by a sweep over
// the records.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/progress.h"

struct GlbOptions {
    bool smoothNormals = false;  // per-vertex normals, area-weighted
    bool compress = false;       // quantized and meshoptimizer-encoded (for the web)
    std::string sourceName;      // the input's file name, in the asset's extras
};

// Passes over the records that writeGlbFile makes: the weld, and the copy of the binary parts
// into the output.
constexpr int64_t kGlbStreamPassCount = 2;

// Triangles of a compressed file's primitive at most: each is ordered, quantized and encoded on
// its own, once the sweep has made all its vertices final.
constexpr size_t kGlbPrimitiveTriangles = 1 << 20;

// glTF's row of the writer table: the colour as the material's base colour; scene, node, mesh
// and material are named "quarnel", and the asset's extras give the source and the triangle
// count. A file whose .glb would pass 4 GiB is refused before any of the output is written.
// From the records, welded by a sweep and each position placed: plain, the vertices in the order
// the weld numbers them and the triangles in the file's order, positions, normals and indices
// waiting in scratch files beside the output until the JSON before them is known (memory: the
// sweep's window and a normal sum per window vertex, 24 bytes); compressed, the triangles in
// primitives of kGlbPrimitiveTriangles in file order, their vertices local, each encoded into a
// scratch file once all its vertices are final (memory: the window's and the primitives not yet
// complete). A mesh in memory: see writeGlb.
bool writeGlbFile(const MeshSource& source, const Placement& placement, const WriteOptions& options,
                  AtomicOutput& output, RunContext& run);

// A mesh in memory (finite vertices, at least one triangle). Plain: one indexed primitive, its
// vertices reordered for the GPU's vertex cache and fetch, holding the reordered copy.
// Compressed: the primitives a sweep over the same triangles would make, with the same bytes,
// cut from the mesh one at a time (holding the normals and one primitive's copy); the
// extensions it needs are marked required.
bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error);

// ---- internals for the writers and the tests

// writeGlb without the reorder and not compressed: `mesh`'s vertices (every one used by a
// triangle) in its order. Its bytes are writeGlbFile's for the records `mesh` was loaded from.
bool writeGlbInOrder(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
                     std::string& error);

// The BIN chunk of an uncompressed file: float positions (and normals), 32-bit indices.
uint64_t plainGlbBinBytes(uint64_t vertexCount, uint64_t triangleCount, bool normals);
// The whole file, its chunks padded to 4 bytes; above UINT32_MAX its header cannot say it.
uint64_t glbFileBytes(uint64_t jsonBytes, uint64_t binBytes);
// The refusal of a file of `fileBytes` bytes (`exact`), or of more than `fileBytes` - 1.
std::string describeGlbTooLarge(uint64_t fileBytes, bool exact);
