// The marching-cubes walk over one sampled block: its 63^3 cubes, x fastest, then y, then z.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "fractal/block_sampler.h"
#include "io/triangle_record.h"

// Fills `cube` for the cube with lowest lattice corner (i, j, k), 0 <= i, j, k < 63: positions from
// the lattice, values from the sample grid, in the GridCube numbering.
void loadCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
              GridCube* cube);

// Polygonises the cube with lowest lattice corner (i, j, k) and stores its triangles (at most
// five) as records from `records`. Returns how many.
int32_t meshCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
                 double isoLevel, TriangleRecord* records);

// Polygonises every cube of the block whose samples are `samples` (laid out as sampleBlock
// writes them) that has corners on both sides of isoLevel by `classMasks` (no other cube yields a
// triangle), in the walk's order, and stores its triangles as records from position 0 of `records`
// (room for kBlockRecordCapacity). Returns the number stored. Reads only the samples of those
// cubes; allocates nothing. Each crossing point is computed once per direction the cubes take its
// edge in, and the cube index comes from the class masks: the records are polygoniseCell's.
int32_t meshSampledBlock(const Box3d& box, const double* samples, const uint64_t* classMasks,
                         double isoLevel, TriangleRecord* records);
