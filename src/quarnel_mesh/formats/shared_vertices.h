// The formats of shared vertices written in order, PLY and OBJ: a header that counts what follows,
// the vertices, then the faces. From the records, each is a sweep (see sweep_weld.h) after the
// caller's plan: a weld that counts for the header, a weld that writes the vertices as they
// become final, and a weld that writes the faces. Memory is the sweep's window, not the whole
// vertex table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/atomic_output.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/model/mesh_source.h"
#include "quarnel_mesh/util/run_context.h"

// Passes over the records that writeSharedVertices makes, for the progress.
constexpr int64_t kSharedVertexPassCount = 3;

// How one such format writes its three parts.
struct SharedVertexLayout {
    void (*writeHeader)(AtomicOutput& output, int64_t vertexCount, int64_t faceCount);
    void (*writeVertices)(AtomicOutput& output, const WeldedVertex* vertices, size_t count);
    void (*writeFace)(AtomicOutput& output, const uint32_t indices[3]);
};

// Writes `source` in `layout`, each vertex placed by `placement`; `firstRgb` gets the colour of
// the first vertex. Every pass must meet the counts the header gave: a file that changes between
// them is refused. False with run.error set when a pass, a write or a stop fails it.
bool writeSharedVertices(const MeshSource& source, const Placement& placement,
                         const SharedVertexLayout& layout, AtomicOutput& output, RunContext& run,
                         uint8_t firstRgb[3]);
