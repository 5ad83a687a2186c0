// Binary STL: an 80-byte header that does not begin with "solid", the facet count, then 50
// bytes a facet (its normal, three vertices, a zero attribute). No shared vertices, so any
// number of records streams through in constant memory.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/seam_stitch.h"
#include "quarnel_mesh/util/progress.h"

// The facet count is 32 bits.
constexpr int64_t kMaxStlTriangles = 0xFFFFFFFFll;

// The unit normal of (v1 - v0) x (v2 - v0), computed in double; zero for a degenerate or
// non-finite triangle.
Vec3f facetNormal(const TriangleRecord& record);

// STL's row of the writer table. The records, each vertex moved by the seam map (see
// seam_stitch.h), so that the seams close as in the welded formats, and placed, so that the
// normals are those of the written triangle; a mesh in memory, its triangles. Two routes for the
// records give the same bytes:
//   - with a plan (an edit came first, or a size is to be given, which needs the box): one pass
//     after the plan's, each position moved by the plan's map;
//   - without one (the plain conversion, --z-up included): pass A writes every facet as the
//     records place it and pairs their sides on another core meanwhile, which gives the map;
//     pass B, only when the map moves some position, reads again the runs of records whose box
//     holds a position it moves, and rewrites in place the facets with such a vertex, in whole
//     pages (writeRawStlAndFindSeams, then rewriteStitchedStlFacets). A closed file is read once;
//     for quarnel's seams, on the planes through the origin, pass B reads a tenth at preset 8.
// Memory: a chunk of records and, with a plan, a chunk of facets; without one, a megabyte of
// facets, the pairing's chunk and the sides waiting for their opposite as the plan holds them,
// and 28 bytes a run of records.
// False with run.error set when a read or write fails or a stop is requested.
bool writeStl(const MeshSource& source, const Placement& placement, const WriteOptions& options,
              AtomicOutput& output, RunContext& run);

// ---- internals for the writer and the tests

// Records a box of pass A covers: the unit of what pass B reads.
constexpr int64_t kStlScanRunRecords = 4096;

// What pass A leaves to pass B: the seams, and the box of each run of kStlScanRunRecords records
// (over their finite records' vertices; `hasNonFinite` when one of them has a non-finite one), so
// that pass B reads only the runs that may hold a position the map moves.
struct StlRecordRun {
    Vec3f low = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f high = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    bool hasNonFinite = false;
};
struct StlSeams {
    StitchMap map;
    std::vector<StlRecordRun> runs;
};

// Pass A of the route without a plan: the header and every record's facet, placed but not
// moved, into `output`, advancing run.progress by one pass; `seams.map` gets the seams to join,
// as planSweep's would (empty when nothing joins).
bool writeRawStlAndFindSeams(RecordReader& reader, const Placement& placement, AtomicOutput& output,
                             RunContext& run, StlSeams& seams);

// Pass B: the facets of the records with a vertex the map moves, written again over what pass A
// wrote, exactly as the route with a plan writes them; `rewrittenFacetCount` says how many, and
// `readRecordCount` how many records it read. The progress moves on from one pass after
// run.doneUnits.
bool rewriteStitchedStlFacets(RecordReader& reader, const StlSeams& seams,
                              const Placement& placement, AtomicOutput& output, RunContext& run,
                              int64_t& rewrittenFacetCount, int64_t& readRecordCount);
