// Block mesher: one block of the box, sampled and walked, as TriangleRecords.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "fractal/block_sampler.h"
#include "fractal/field.h"
#include "mesh/block_buffers.h"

// Samples `box` with `sampler` into buffers.samples and stores the block's triangles at positions
// 0.. of buffers.records; returns how many. Allocates nothing.
int32_t meshBlock(const BlockSampler& sampler, const FieldParams& params, const Box3d& box,
                  BlockBuffers& buffers, double isoLevel);
