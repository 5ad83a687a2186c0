// The classifier on AVX2, by the algebraic eighth power: 8 float lanes first, then 4 double
// lanes for the lanes float leaves undecided. Compiled with -mavx2; called only after the CPU was
// found to support it.
#include <algorithm>

#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx2.h"

void classifyLanesAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* out) {
    classify_kernel::classifyInPairs<Avx2Float>(lanes, nullptr, count, maxIterations, 1.0, out);
    // Float's bound is about 2^29 times double's: the lanes it leaves (a few percent, those near
    // the surface) are gathered, by batches of kLaneBatchCapacity, and classified again in double.
    for (int first = 0; first < count; first += kLaneBatchCapacity) {
        const int last = std::min(count, first + kLaneBatchCapacity);
        LaneBatch batch;
        int source[kLaneBatchCapacity];
        for (int group = first; group < last; group += 4) {
            const __m256d classes = _mm256_loadu_pd(out + group);
            for (int bits = _mm256_movemask_pd(_mm256_cmp_pd(classes, classes, _CMP_UNORD_Q));
                 bits != 0; bits &= bits - 1) {
                const int n = group + __builtin_ctz(bits);
                source[batch.count] = n;
                addLane(batch, lanes.cx[n], lanes.cy[n], lanes.cz[n],
                        {lanes.s[n], lanes.sqrtS[n], lanes.cosPhi8[n], lanes.sinPhi8[n]});
            }
        }
        if (batch.count == 0) {
            continue;
        }
        const int undecided = batch.count;
        double classes[kLaneBatchCapacity];
        classify_kernel::classifyInPairs<Avx2>(lanesOf(batch), nullptr, padLaneBatch(batch),
                                               maxIterations, 1.0, classes);
        for (int n = 0; n < undecided; ++n) {
            out[source[n]] = classes[n];
        }
    }
}

void certifyRegionsAvx2(const ClassifyLanes& centres, const double* radii, int count,
                        int maxIterations, double* out) {
    classify_kernel::classifyInPairs<Avx2>(centres, radii, count, maxIterations, 1.0, out);
}

void certifySmallRegionsAvx2(const ClassifyLanes& centres, const double* radii, int count,
                             int maxIterations, double* out) {
    classify_kernel::classifyInPairs<Avx2Float>(centres, radii, count, maxIterations, 1.0, out);
}

void boundFinalModulusAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* low,
                           double* high) {
    classify_kernel::boundFinalModulusInPairs<Avx2>(lanes, nullptr, count, maxIterations, 1.0, low,
                                                    high);
}
