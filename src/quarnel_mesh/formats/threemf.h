// 3D Manufacturing Format, for slicers.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "quarnel_mesh/model/indexed_mesh.h"

// Memory writeThreeMf needs per triangle of a closed mesh beyond the mesh itself: lib3mf's model
// and the package it builds in memory (measured at presets 5 to 7, with a quarter more).
constexpr uint64_t kThreeMfBytesPerTriangle = 100;

// Writes `mesh` as one object in millimetres with the colour as its base material, its Title
// `sourceName` (the input's file name) and its Application this tool; triangles with two equal
// vertices, which 3MF forbids, are left out and counted in `degenerateDropped`.
bool writeThreeMf(const IndexedMesh& mesh, const std::string& sourceName, AtomicOutput& output,
                  int64_t& degenerateDropped, std::string& error);
