// Binary STL: an 80-byte header that does not begin with "solid", the facet count, then 50
// bytes a facet (its normal, three vertices, a zero attribute). No shared vertices, so any
// number of records streams through in constant memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/seam_stitch.h"
#include "quarnel_mesh/util/progress.h"

// The facet count is 32 bits.
constexpr int64_t kMaxStlTriangles = 0xFFFFFFFFll;

// The unit normal of (v1 - v0) x (v2 - v0), computed in double; zero for a degenerate or
// non-finite triangle.
Vec3f facetNormal(const TriangleRecord& record);

// Every record of `reader` from the start, each vertex moved by `stitch` (the plan's, see
// seam_stitch.h) and placed first, so that the seams close as in the welded formats and the
// normals are those of the written triangle. False with `error` set when a read or write fails or
// `stopRequested` (may be null) is raised.
// `progress` counts the records from `doneBefore`.
bool writeStlStream(RecordReader& reader, const StitchMap& stitch, const Placement& placement,
                    AtomicOutput& output, Progress& progress, int64_t doneBefore,
                    const std::atomic<bool>* stopRequested, std::string& error);

// The triangles of `mesh`, as they stand.
bool writeStlMesh(const IndexedMesh& mesh, AtomicOutput& output, std::string& error);
