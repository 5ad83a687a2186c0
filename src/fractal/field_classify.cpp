#include "fractal/field_classify.h"

#include <cassert>

SimdLevel detectSimdLevel() {
#if defined(QUARNEL_SIMD_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return SimdLevel::kAvx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return SimdLevel::kAvx2;
    }
#endif
    return SimdLevel::kNone;
}

bool classificationApplies(const FieldParams& params, double isoLevel) {
    return params.normRadius == 8.0 && params.bailoutRadius == 16.0 && isoLevel == 0.5 &&
           params.maxIterations >= 1;
}

void classifyLanes(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                   double errorBoundScale, double* out) {
    assert(count % 8 == 0);
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        classifyLanesAvx512(lanes, count, maxIterations, errorBoundScale, out);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        classifyLanesAvx2(lanes, count, maxIterations, errorBoundScale, out);
        return;
    }
#endif
    (void)level;
    (void)lanes;
    (void)count;
    (void)maxIterations;
    (void)errorBoundScale;
    (void)out;
    assert(false && "no vector kernel on this platform");
}
