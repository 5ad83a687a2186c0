// PLY and OBJ straight from the records, in passes over the file that are each a sweep (see
// sweep_weld.h) after the caller's plan: a weld that counts the vertices for the header, a weld
// that writes the vertices as they become final, and a weld that writes the faces. Memory is the
// sweep's window, not the whole vertex table.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/format.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/progress.h"

// Passes over the file that writeSharedStream makes after the plan, for its progress.
constexpr int64_t kSharedStreamPassCount = 3;

// Writes `reader` as `format` (kPly or kObj), welded by sweeps with `plan` (planSweep's) and each
// vertex placed by `placement`, leaving out (and counting in `nonFiniteDropped`) the triangles
// with a non-finite vertex, which PLY and OBJ readers refuse; `firstRgb` gets the colour of the
// first vertex. The window's tables stop at `weldMemoryLimitBytes` (0: three quarters of the
// RAM). `progress` counts kSharedStreamPassCount passes from `doneBefore`. The bytes are those of
// writePlyMesh and writeObjMesh on loadIndexedMesh's mesh, placed.
bool writeSharedStream(RecordReader& reader, const SweepPlan& plan, const Placement& placement,
                       MeshFormat format, uint64_t weldMemoryLimitBytes, AtomicOutput& output,
                       Progress& progress, int64_t doneBefore, int64_t& nonFiniteDropped,
                       uint8_t firstRgb[3], std::string& error);
