#include "mesh/block_mesher.h"

#include "mesh/crossing_pins.h"
#include "mesh/cube_walk.h"

int32_t meshBlock(const BlockSampler& sampler, const FieldParams& params, const Box3d& box,
                  BlockBuffers& buffers, double isoLevel) {
    const int32_t bounded = sampleBlock(sampler, params, box, isoLevel, buffers.samples,
                                        buffers.highs, buffers.classMasks);
    if (bounded > 0) {
        pinCrossings(params, box, isoLevel, buffers.samples, buffers.highs, buffers.classMasks);
    }
    return meshSampledBlock(box, buffers.samples, buffers.classMasks, isoLevel, buffers.records);
}
