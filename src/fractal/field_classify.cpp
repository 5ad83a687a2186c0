#include "fractal/field_classify.h"

#include <cassert>

// The kernels, one per instruction set, each in a translation unit compiled for it.
void classifyLanesAvx512(const ClassifyLanes& lanes, int count, int maxIterations, double* out);
void classifyLanesAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* out);
void certifyRegionsAvx512(const ClassifyLanes& centres, const double* radii, int count,
                          int maxIterations, double* out);
void certifyRegionsAvx2(const ClassifyLanes& centres, const double* radii, int count,
                        int maxIterations, double* out);
void boundFinalModulusAvx512(const ClassifyLanes& lanes, int count, int maxIterations, double* low,
                             double* high);
void boundFinalModulusAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* low,
                           double* high);

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

const char* simdLevelName(SimdLevel level) {
    switch (level) {
        case SimdLevel::kAvx512:
            return "AVX-512";
        case SimdLevel::kAvx2:
            return "AVX2";
        case SimdLevel::kNone:
            break;
    }
    return "none";
}

void classifyLanes(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                   double* out) {
    assert(count % 8 == 0);
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        classifyLanesAvx512(lanes, count, maxIterations, out);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        classifyLanesAvx2(lanes, count, maxIterations, out);
        return;
    }
#endif
    (void)level;
    (void)lanes;
    (void)count;
    (void)maxIterations;
    (void)out;
    assert(false && "no vector kernel on this platform");
}

void certifyRegions(SimdLevel level, const ClassifyLanes& centres, const double* radii, int count,
                    int maxIterations, double* out) {
    assert(count % 8 == 0);
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        certifyRegionsAvx512(centres, radii, count, maxIterations, out);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        certifyRegionsAvx2(centres, radii, count, maxIterations, out);
        return;
    }
#endif
    (void)level;
    (void)centres;
    (void)radii;
    (void)count;
    (void)maxIterations;
    (void)out;
    assert(false && "no vector kernel on this platform");
}

void boundFinalModulus(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                       double* low, double* high) {
    assert(count % 8 == 0);
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        boundFinalModulusAvx512(lanes, count, maxIterations, low, high);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        boundFinalModulusAvx2(lanes, count, maxIterations, low, high);
        return;
    }
#endif
    (void)level;
    (void)lanes;
    (void)count;
    (void)maxIterations;
    (void)low;
    (void)high;
    assert(false && "no vector kernel on this platform");
}
