// The classifier on 8 lanes of AVX-512, by the algebraic eighth power. Compiled with -mavx512f;
// called only after the CPU was found to support it.
#include "fractal/field_classify_kernel.h"
#include "fractal/vector_avx512.h"

void classifyLanesAvx512(const ClassifyLanes& lanes, int count, int maxIterations, double* out) {
    classify_kernel::classify<Avx512>(lanes, count, maxIterations, 1.0, out);
}
