// What a writer writes: the welded mesh as sweeps over the records, or a mesh in memory, both
// handed on in SweepConsumer's order (see sweep_weld.h), so that one writer serves both.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "io/record_reader.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/run_context.h"

// Exactly one of `mesh` and `reader` is set. A mesh in memory is already placed and has only
// finite vertices; the records come with `plan` (planSweep's), with which every sweep welds them
// (rewinding the reader), and whose seam map STL applies to the records it writes as they are,
// or, for a writer that finds the seams in its own pass (MeshWriter::findsSeamsItself), without
// one.
struct MeshSource {
    const IndexedMesh* mesh = nullptr;
    RecordReader* reader = nullptr;
    const SweepPlan* plan = nullptr;
};

// One pass over a source's welded mesh, in SweepConsumer's order; fills result.vertexCount and
// .color. False with `error` set when the pass or the consumer fails or stops.
using SweepPass =
    std::function<bool(const SweepConsumer& consumer, SweepResult& result, std::string& error)>;

// The passes over `source`: over the records each advances run.progress from run.doneUnits by
// the record count (the caller moves run.doneUnits on), and the passes of one SweepPass share
// the weld's window; over a mesh in memory none advances.
SweepPass sweepPassOf(const MeshSource& source, RunContext& run);

// Progress units one pass over `source` advances: its records, or none for a mesh in memory.
int64_t unitsPerPass(const MeshSource& source);
