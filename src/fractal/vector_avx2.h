// The vector operations the classifier kernel needs, on AVX2. Include only from a translation
// unit compiled with -mavx2.
#pragma once

#include <immintrin.h>

struct Avx2 {
    using V = __m256d;
    using M = __m256d;  // all-ones lanes where true
    static constexpr int kLanes = 4;
    // The kernels' error counts (field_classify_kernel.h): the relative error of one rounding,
    // the smallest normal number, and the local error of a step, libm's 512 units and the
    // algebraic step's 128.
    static constexpr double kUnit = 0x1p-53;
    static constexpr double kMinNormal = 0x1p-1022;
    static constexpr double kLocalErrorUlps = 640.0;
    static V set1(double value) { return _mm256_set1_pd(value); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static V loadRadius(const double* p) { return load(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static M greater(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M less(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M maskAnd(M a, M b) { return _mm256_and_pd(a, b); }
    static M maskOr(M a, M b) { return _mm256_or_pd(a, b); }
    static V max(V a, V b) { return _mm256_max_pd(a, b); }
    static V min(V a, V b) { return _mm256_min_pd(a, b); }
    static M maskAndNot(M a, M b) { return _mm256_andnot_pd(a, b); }  // b and not a
    static M allLanes() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    static M noLanes() { return _mm256_setzero_pd(); }
    static bool none(M m) { return _mm256_movemask_pd(m) == 0; }
    static V select(M m, V ifSet, V otherwise) { return _mm256_blendv_pd(otherwise, ifSet, m); }
};

// The same operations on 8 float lanes: the first pass of the AVX2 classifier. Lanes load from
// and store to doubles, rounded to the nearest float and back exactly; constants round to float
// (every constant the kernels use is a float exactly).
struct Avx2Float {
    using V = __m256;
    using M = __m256;  // all-ones lanes where true
    static constexpr int kLanes = 8;
    // libm's local error is 2^-20 float units: the algebraic step's 128 units cover it.
    static constexpr double kUnit = 0x1p-24;
    static constexpr double kMinNormal = 0x1p-126;
    static constexpr double kLocalErrorUlps = 128.0;
    // Starting points nearer the origin than this are left undecided: below it the roundings of
    // their coordinates to float could underflow, outside every relative count of the kernel.
    static constexpr double kSmallestStart = 0x1p-60;
    static V set1(double value) { return _mm256_set1_ps(static_cast<float>(value)); }
    static V load(const double* p) {
        return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(p + 4)),
                               _mm256_cvtpd_ps(_mm256_loadu_pd(p)));
    }
    // A region's radius rounded up, never down: h (1 + 2^-23), rounded to double and then to the
    // nearest float, stays above h (the two roundings lose under 2^-24 + 2^-53 of it).
    static V loadRadius(const double* p) {
        const __m256d grow = _mm256_set1_pd(1.0 + 0x1p-23);
        return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_mul_pd(_mm256_loadu_pd(p + 4), grow)),
                               _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_loadu_pd(p), grow)));
    }
    static void store(double* p, V v) {
        _mm256_storeu_pd(p, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
        _mm256_storeu_pd(p + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
    }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static M greater(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static M less(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static M maskAnd(M a, M b) { return _mm256_and_ps(a, b); }
    static M maskOr(M a, M b) { return _mm256_or_ps(a, b); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
    static M maskAndNot(M a, M b) { return _mm256_andnot_ps(a, b); }  // b and not a
    static M allLanes() { return _mm256_castsi256_ps(_mm256_set1_epi32(-1)); }
    static M noLanes() { return _mm256_setzero_ps(); }
    static bool none(M m) { return _mm256_movemask_ps(m) == 0; }
    static V select(M m, V ifSet, V otherwise) { return _mm256_blendv_ps(otherwise, ifSet, m); }
};
