#include "mesh/block_mesher.h"

#include "mesh/crossing_pins.h"
#include "mesh/cube_walk.h"

int32_t meshBlock(const BlockSampler& sampler, const FieldParams& params, const Box3d& box,
                  BlockBuffers& buffers, double isoLevel) {
    sampleBlock(sampler, params, box, isoLevel, buffers.samples, buffers.highs,
                buffers.classMasks);
    if (sampler.method == SamplingMethod::kVector) {
        pinCrossings(params, box, isoLevel, buffers.samples, buffers.highs, buffers.classMasks);
    }
    return meshSampledBlock(box, buffers.samples, buffers.classMasks, isoLevel, buffers.records);
}
