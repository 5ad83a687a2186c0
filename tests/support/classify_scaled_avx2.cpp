// The classifier kernels with a scaled bound, compiled with -mavx2 and run two vectors at a time
// like the production ones.
#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx2.h"

void classifyLanesScaledAvx2(const ClassifyLanes& lanes, int count, int maxIterations,
                             double errorBoundScale, double* out) {
    classify_kernel::classifyInPairs<Avx2>(lanes, nullptr, count, maxIterations, errorBoundScale,
                                           out);
}

void boundFinalModulusScaledAvx2(const ClassifyLanes& lanes, const double* radii, int count,
                                 int maxIterations, double errorBoundScale, double* low,
                                 double* high) {
    classify_kernel::boundFinalModulusInPairs<Avx2>(lanes, radii, count, maxIterations,
                                                    errorBoundScale, low, high);
}

void classifyFloatLanesScaled(const ClassifyLanes& lanes, int count, int maxIterations,
                              double errorBoundScale, double* out) {
    classify_kernel::classifyInPairs<Avx2Float>(lanes, nullptr, count, maxIterations,
                                                errorBoundScale, out);
}
