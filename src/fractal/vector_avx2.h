// The vector operations the classifier kernel needs, on AVX2. Include only from a translation
// unit compiled with -mavx2.
#pragma once

#include <immintrin.h>

struct Avx2 {
    using V = __m256d;
    using M = __m256d;  // all-ones lanes where true
    static constexpr int kLanes = 4;
    static V set1(double value) { return _mm256_set1_pd(value); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
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
