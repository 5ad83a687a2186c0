// The vector operations the classifier kernel needs, on AVX-512. Include only from a translation
// unit compiled with -mavx512f.
#pragma once

// GCC 12's _mm512_sqrt_pd starts from an undefined vector and warns about it; the lanes it
// leaves undefined are never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

struct Avx512 {
    using V = __m512d;
    using M = __mmask8;
    static constexpr int kLanes = 8;
    // The kernels' error counts (field_classify_kernel.h): the relative error of one rounding,
    // the smallest normal number, and the local error of a step, libm's 512 units and the
    // algebraic step's 128.
    static constexpr double kUnit = 0x1p-53;
    static constexpr double kMinNormal = 0x1p-1022;
    static constexpr double kLocalErrorUlps = 640.0;
    static V set1(double value) { return _mm512_set1_pd(value); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static V loadRadius(const double* p) { return load(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V sqrt(V a) { return _mm512_sqrt_pd(a); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static M greater(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M less(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M maskAnd(M a, M b) { return static_cast<M>(a & b); }
    static M maskOr(M a, M b) { return static_cast<M>(a | b); }
    static V max(V a, V b) { return _mm512_max_pd(a, b); }
    static V min(V a, V b) { return _mm512_min_pd(a, b); }
    static M maskAndNot(M a, M b) { return static_cast<M>(~a & b); }  // b and not a
    static M allLanes() { return static_cast<M>(0xFF); }
    static M noLanes() { return static_cast<M>(0); }
    static bool none(M m) { return m == 0; }
    static V select(M m, V ifSet, V otherwise) { return _mm512_mask_blend_pd(m, otherwise, ifSet); }
};
