// 3D Manufacturing Format, for slicers: one writer, fed by a mesh in memory or by a sweep over the
// records.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/mesh_writer.h"

// Passes over the records that writeThreeMfFile makes: the weld with the deflate, and the copy of
// the model into the output.
constexpr int64_t kThreeMfStreamPassCount = 2;

// The size of a 3MF when no --size is given: a print, not the fractal's 2.4 units.
constexpr double kDefaultThreeMfSizeMillimetres = 100.0;

// 3MF's row of the writer table: one object in millimetres, named "quarnel", with the colour as
// its base material, its Title options.sourceName and its Application this tool; triangles with
// two equal vertices, which 3MF forbids, are left out and counted in run.degenerateDropped.
// Every vertex is written, in the source's order, each placed by `placement`; the build item
// stands the object on the plate (its lowest vertex at z = 0, its box's middle at x = y =
// 100 mm). Refused before any work when a coordinate would pass what readers take. The model
// waits, deflated, in scratch files beside the output; memory beyond the sweep's window is
// zlib's and the buffers' (a few MiB). A stop request ends it within a chunk of 64 Ki triangles.
// The bytes of a sweep over the records are those of the mesh loadIndexedMesh gives of them,
// placed alike.
bool writeThreeMfFile(const MeshSource& source, const Placement& placement,
                      const WriteOptions& options, AtomicOutput& output, RunContext& run);
