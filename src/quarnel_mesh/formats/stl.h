// Binary STL: an 80-byte header that does not begin with "solid", the facet count, then 50
// bytes a facet (its normal, three vertices, a zero attribute). No shared vertices, so any
// number of records streams through in constant memory.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/util/progress.h"

// The facet count is 32 bits.
constexpr int64_t kMaxStlTriangles = 0xFFFFFFFFll;

// The unit normal of (v1 - v0) x (v2 - v0), computed in double; zero for a degenerate or
// non-finite triangle.
Vec3f facetNormal(const TriangleRecord& record);

// Every record of `reader` from the start, each vertex placed first, so that the normals are
// those of the written triangle. False with `error` set when a read or write fails or
// a stop is requested (stopWasRequested).
// `progress` counts the records from `doneBefore`.
bool writeStlStream(RecordReader& reader, const Placement& placement, AtomicOutput& output,
                    Progress& progress, int64_t doneBefore, std::string& error);

// The triangles of `mesh`, as they stand.
bool writeStlMesh(const IndexedMesh& mesh, AtomicOutput& output, std::string& error);
