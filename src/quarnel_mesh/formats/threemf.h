// 3D Manufacturing Format, for slicers: one writer, fed by a mesh in memory or by a sweep over the
// records.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/progress.h"

// Passes over the file that writeThreeMfStream makes after the plan, for its progress: the weld
// with the deflate, and the copy of the model into the output.
constexpr int64_t kThreeMfStreamPassCount = 2;

// Writes `mesh` as one object in millimetres, named "quarnel", with the colour as its base
// material, its Title `sourceName` (the input's file name) and its Application this tool;
// triangles with two equal vertices, which 3MF forbids, are left out and counted in
// `degenerateDropped`. Every vertex is written, in the mesh's order; the build item stands the
// object on the plate (its lowest vertex at z = 0, its box's middle at x = y = 100 mm). The model waits, deflated,
// in scratch files beside the output; memory beyond the mesh is zlib's and the buffers' (a few
// MiB). A stop request ends it within a chunk of 64 Ki triangles.
bool writeThreeMf(const IndexedMesh& mesh, const std::string& sourceName, AtomicOutput& output,
                  int64_t& degenerateDropped, std::string& error);

// The same file from the records of `reader`, welded by a sweep with `plan` (planSweep's) and each
// position placed by `placement`: its bytes are writeThreeMf's for the mesh loadIndexedMesh gives
// of these records, placed alike. Memory: the sweep's window, and writeThreeMf's buffers.
// `progress` counts kThreeMfStreamPassCount passes of the records from `doneBefore`.
bool writeThreeMfStream(RecordReader& reader, const SweepPlan& plan, const Placement& placement,
                        const std::string& sourceName, uint64_t weldMemoryLimitBytes,
                        AtomicOutput& output, Progress& progress, int64_t doneBefore,
                        int64_t& nonFiniteDropped, int64_t& degenerateDropped, std::string& error);
