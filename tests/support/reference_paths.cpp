#include "support/reference_paths.h"

#include <cassert>

#include "mesh/cube_walk.h"
#include "mesh/polygonise.h"

void classifyLanesScaledAvx2(const ClassifyLanes& lanes, int count, int maxIterations,
                             double errorBoundScale, double* out);
void classifyLanesScaledAvx512(const ClassifyLanes& lanes, int count, int maxIterations,
                               double errorBoundScale, double* out);

void sampleBlockReference(const FieldParams& params, const Box3d& box, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    double* out = samples;
    for (int k = 0; k < kBlockSamplesPerAxis; ++k) {
        for (int j = 0; j < kBlockSamplesPerAxis; ++j) {
            for (int i = 0; i < kBlockSamplesPerAxis; ++i) {
                *out++ = fieldValue({lattice.xs[i], lattice.ys[j], lattice.zs[k]}, params);
            }
        }
    }
}

int32_t meshEveryCube(const Box3d& box, const double* samples, double isoLevel,
                      TriangleRecord* records) {
    const BlockLattice lattice = computeBlockLattice(box);
    int32_t count = 0;
    for (int k = 0; k < kBlockSamplesPerAxis - 1; ++k) {
        for (int j = 0; j < kBlockSamplesPerAxis - 1; ++j) {
            for (int i = 0; i < kBlockSamplesPerAxis - 1; ++i) {
                count += meshCube(lattice, samples, i, j, k, isoLevel, records + count);
            }
        }
    }
    return count;
}

int32_t meshBlockReference(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                           double isoLevel) {
    sampleBlockReference(params, box, buffers.samples);
    return meshEveryCube(box, buffers.samples, isoLevel, buffers.records);
}

void classifyLanesScaled(SimdLevel level, const ClassifyLanes& lanes, int count,
                         int maxIterations, double errorBoundScale, double* out) {
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        classifyLanesScaledAvx512(lanes, count, maxIterations, errorBoundScale, out);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        classifyLanesScaledAvx2(lanes, count, maxIterations, errorBoundScale, out);
        return;
    }
#endif
    (void)level, (void)lanes, (void)count, (void)maxIterations, (void)errorBoundScale, (void)out;
    assert(false && "no vector kernel on this platform");
}
