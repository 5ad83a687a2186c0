// Binary STL: an 80-byte header that does not begin with "solid", the facet count, then 50
// bytes a facet (its normal, three vertices, a zero attribute). No shared vertices, so any
// number of records streams through in constant memory.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/util/progress.h"

// The facet count is 32 bits.
constexpr int64_t kMaxStlTriangles = 0xFFFFFFFFll;

// The unit normal of (v1 - v0) x (v2 - v0), computed in double; zero for a degenerate or
// non-finite triangle.
Vec3f facetNormal(const TriangleRecord& record);

// STL's row of the writer table. The records from the start, each vertex moved by the plan's
// seam map (see seam_stitch.h), so that the seams close as in the welded formats, and placed,
// so that the normals are those of the written triangle; a mesh in memory, its triangles. One
// pass over the records after the plan's, false with run.error set when a read or write fails or
// a stop is requested.
bool writeStl(const MeshSource& source, const Placement& placement, const WriteOptions& options,
              AtomicOutput& output, RunContext& run);
