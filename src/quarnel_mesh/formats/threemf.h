// 3D Manufacturing Format, for slicers.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "quarnel_mesh/model/indexed_mesh.h"

// Memory writeThreeMf needs per triangle of a closed mesh beyond loadIndexedMesh's: lib3mf's model
// and the package it builds in memory. Measured peaks grow by 63 bytes a triangle from preset 3
// to 5, load included; the sum with kLoadBytesPerTriangle leaves a quarter more.
constexpr uint64_t kThreeMfBytesPerTriangle = 32;

// Writes `mesh` as one object in millimetres with the colour as its base material, its Title
// `sourceName` (the input's file name) and its Application this tool; triangles with two equal
// vertices, which 3MF forbids, are left out and counted in `degenerateDropped`.
bool writeThreeMf(const IndexedMesh& mesh, const std::string& sourceName, AtomicOutput& output,
                  int64_t& degenerateDropped, std::string& error);
