// Fast classification of field samples: decides, with vector maths, whether fieldValue at a point
// is below 0.5 without computing the value, and says "undecided" wherever the vector maths and the
// platform's libm could disagree. Only the undecided samples and those next to the surface need
// the exact scalar fieldValue.
#pragma once

#include "fractal/field.h"

// What the classifier writes per sample: a stand-in value of the certain class, or NaN. The
// stand-ins lie outside the field's range [0, 1], so they never pass for an exact value.
constexpr double kCertainlyBelow = -1.0;    // fieldValue < 0.5 for certain
constexpr double kCertainlyNotBelow = 2.0;  // fieldValue >= 0.5 for certain

enum class SimdLevel { kNone, kAvx2, kAvx512 };

// The widest vector kernel this CPU runs (kNone off x86-64 or without AVX2).
SimdLevel detectSimdLevel();

// True when the classes the classifier decides are the classes of fieldValue(point, params)
// against isoLevel: the field's threshold modulus must be the bailout radius (8, 16, 0.5).
bool classificationApplies(const FieldParams& params, double isoLevel);

// Per-lane inputs: the starting point and its first-step column terms (from computeColumnTerms,
// i.e. from libm, so the first azimuth is the exact one).
struct ClassifyLanes {
    const double* cx;
    const double* cy;
    const double* cz;
    const double* s;
    const double* sqrtS;
    const double* cosPhi8;
    const double* sinPhi8;
};

// For each lane 0..count-1 writes to out kCertainlyBelow, kCertainlyNotBelow, 0.0 (fieldValue is
// exactly 0: libm's final modulus is certainly 64 or more) or NaN (undecided).
// `count` must be a multiple of 8; `level` must not exceed detectSimdLevel() and not be kNone.
void classifyLanes(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                   double* out);

// The same for regions: lane n stands for every point within radii[n] of its centre (the lane's
// point, with that point's column terms), and its class, or the exact 0, holds for all of them;
// NaN where it cannot be certified for all. Same requirements as classifyLanes.
void certifyRegions(SimdLevel level, const ClassifyLanes& centres, const double* radii, int count,
                    int maxIterations, double* out);

// For each lane 0..count-1, bounds on the final modulus of fieldValue's orbit at the lane's point:
// low[n] <= that modulus <= high[n], both NaN where the classifier's bound does not certify every
// step's comparison with the bailout radius 16. Same requirements as classifyLanes.
void boundFinalModulus(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                       double* low, double* high);

// The name of a level as the tests and benchmarks print it ("none", "AVX2", "AVX-512").
const char* simdLevelName(SimdLevel level);
