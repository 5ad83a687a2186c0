// The classifier on 8 lanes of AVX-512, by the algebraic eighth power. Compiled with -mavx512f;
// called only after the CPU was found to support it.
#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx512.h"

void classifyLanesAvx512(const ClassifyLanes& lanes, int count, int maxIterations, double* out) {
    classify_kernel::classify<Avx512>(lanes, nullptr, count, maxIterations, 1.0, out);
}

void certifyRegionsAvx512(const ClassifyLanes& centres, const double* radii, int count,
                         int maxIterations, double* out) {
    classify_kernel::classify<Avx512>(centres, radii, count, maxIterations, 1.0, out);
}

void boundFinalModulusAvx512(const ClassifyLanes& lanes, int count, int maxIterations, double* low,
                             double* high) {
    classify_kernel::boundFinalModulus<Avx512>(lanes, nullptr, count, maxIterations, 1.0, low,
                                             high);
}
