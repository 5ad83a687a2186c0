// The classifier kernel with a scaled bound, compiled with -mavx512f like the production one.
#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx512.h"

void classifyLanesScaledAvx512(const ClassifyLanes& lanes, int count, int maxIterations,
                               double errorBoundScale, double* out) {
    classify_kernel::classify<Avx512>(lanes, nullptr, count, maxIterations, errorBoundScale, out);
}

void boundFinalModulusScaledAvx512(const ClassifyLanes& lanes, const double* radii, int count,
                                   int maxIterations, double errorBoundScale, double* low,
                                   double* high) {
    classify_kernel::boundFinalModulus<Avx512>(lanes, radii, count, maxIterations, errorBoundScale,
                                           low, high);
}
