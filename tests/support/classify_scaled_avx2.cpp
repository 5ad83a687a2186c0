// The classifier kernel with a scaled bound, compiled with -mavx2 like the production one.
#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx2.h"

void classifyLanesScaledAvx2(const ClassifyLanes& lanes, int count, int maxIterations,
                             double errorBoundScale, double* out) {
    classify_kernel::classify<Avx2>(lanes, nullptr, count, maxIterations, errorBoundScale, out);
}

void boundFinalModulusScaledAvx2(const ClassifyLanes& lanes, const double* radii, int count,
                                 int maxIterations, double errorBoundScale, double* low,
                                 double* high) {
    classify_kernel::boundFinalModulus<Avx2>(lanes, radii, count, maxIterations, errorBoundScale,
                                           low, high);
}

void classifyFloatLanesScaled(const ClassifyLanes& lanes, int count, int maxIterations,
                              double errorBoundScale, double* out) {
    classify_kernel::classify<Avx2Float>(lanes, nullptr, count, maxIterations, errorBoundScale,
                                         out);
}
