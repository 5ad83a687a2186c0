// The classifier on 4 lanes of AVX2, by the algebraic eighth power. Compiled with -mavx2; called
// only after the CPU was found to support it.
#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx2.h"

void classifyLanesAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* out) {
    classify_kernel::classify<Avx2>(lanes, nullptr, count, maxIterations, 1.0, out);
}

void certifyRegionsAvx2(const ClassifyLanes& centres, const double* radii, int count,
                         int maxIterations, double* out) {
    classify_kernel::classify<Avx2>(centres, radii, count, maxIterations, 1.0, out);
}

void boundFinalModulusAvx2(const ClassifyLanes& lanes, int count, int maxIterations, double* low,
                           double* high) {
    classify_kernel::boundFinalModulus<Avx2>(lanes, nullptr, count, maxIterations, 1.0, low,
                                             high);
}
