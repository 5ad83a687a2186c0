#include "fractal/field_classify.h"

#include <cassert>
#include <cstdlib>
#include <initializer_list>

// The kernels, one per instruction set, each in a translation unit compiled for it.
void classifyLanesAvx512(const ClassifyLanes& lanes, int count, int maxIterations, double* out);
void classifyLanesAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* out);
void certifyRegionsAvx512(const ClassifyLanes& centres, const double* radii, int count,
                          int maxIterations, double* out);
void certifyRegionsAvx2(const ClassifyLanes& centres, const double* radii, int count,
                        int maxIterations, double* out);
void certifySmallRegionsAvx2(const ClassifyLanes& centres, const double* radii, int count,
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

int padLaneBatch(LaneBatch& batch) {
    assert(batch.count >= 1);
    const int last = batch.count - 1;
    const int padded = (batch.count + 7) & ~7;
    if (padded == batch.count) {
        return padded;
    }
    for (double* lane : {batch.cx, batch.cy, batch.cz, batch.s, batch.sqrtS, batch.cosPhi8,
                         batch.sinPhi8, batch.radius}) {
        for (int n = batch.count; n < padded; ++n) {
            lane[n] = lane[last];
        }
    }
    return padded;
}

const VectorKernels& vectorKernels(SimdLevel level) {
#if defined(QUARNEL_SIMD_KERNELS)
    static constexpr VectorKernels kAvx512 = {SimdLevel::kAvx512, classifyLanesAvx512,
                                              certifyRegionsAvx512, certifyRegionsAvx512,
                                              boundFinalModulusAvx512};
    static constexpr VectorKernels kAvx2 = {SimdLevel::kAvx2, classifyLanesAvx2, certifyRegionsAvx2,
                                            certifySmallRegionsAvx2, boundFinalModulusAvx2};
    if (level == SimdLevel::kAvx512) {
        return kAvx512;
    }
    assert(level == SimdLevel::kAvx2);
    return kAvx2;
#else
    (void)level;
    assert(false && "no vector kernel on this platform");
    std::abort();
#endif
}

void classifyLanes(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                   double* out) {
    assert(count % 8 == 0);
    vectorKernels(level).classify(lanes, count, maxIterations, out);
}

void certifyRegions(SimdLevel level, const ClassifyLanes& centres, const double* radii, int count,
                    int maxIterations, double* out) {
    assert(count % 8 == 0);
    vectorKernels(level).certify(centres, radii, count, maxIterations, out);
}

void certifySmallRegions(SimdLevel level, const ClassifyLanes& centres, const double* radii,
                         int count, int maxIterations, double* out) {
    assert(count % 8 == 0);
    vectorKernels(level).certifySmall(centres, radii, count, maxIterations, out);
}

void boundFinalModulus(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                       double* low, double* high) {
    assert(count % 8 == 0);
    vectorKernels(level).bound(lanes, count, maxIterations, low, high);
}
