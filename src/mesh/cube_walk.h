// The marching-cubes walk over one sampled block: its 63^3 cubes, x fastest, then y, then z.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "fractal/block_sampler.h"
#include "io/triangle_record.h"

// Polygonises every cube of the block whose samples are `samples` (laid out as sampleBlock
// writes them) that has corners on both sides of isoLevel by `classMasks` (no other cube yields a
// triangle), in the walk's order, and stores its triangles as records from position 0 of `records`
// (room for kBlockRecordCapacity). Returns the number stored. Reads only the samples at the ends of
// crossed edges; allocates nothing. Each crossing point is computed once per direction the cubes
// take its edge in, and the cube index comes from the class masks: the records are
// polygoniseCell's.
int32_t meshSampledBlock(const Box3d& box, const double* samples, const uint64_t* classMasks,
                         double isoLevel, TriangleRecord* records);
