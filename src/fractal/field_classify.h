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

// Up to kLaneBatchCapacity points (or region centres) as the kernels take them: the lanes of one
// batch, filled by addLane (the sampler copies a 2^3 box's pair of lanes at a time) and padded by
// padLaneBatch. The sampler's certifier, classifier and bounds all gather their lanes here.
constexpr int kLaneBatchCapacity = 64;
struct LaneBatch {
    double cx[kLaneBatchCapacity];
    double cy[kLaneBatchCapacity];
    double cz[kLaneBatchCapacity];
    double s[kLaneBatchCapacity];
    double sqrtS[kLaneBatchCapacity];
    double cosPhi8[kLaneBatchCapacity];
    double sinPhi8[kLaneBatchCapacity];
    double radius[kLaneBatchCapacity];  // the region's radius; 0 for a point
    int count = 0;
};

// Appends the lane (x, y, z) with its column terms and region radius; requires count below the
// capacity.
inline void addLane(LaneBatch& batch, double x, double y, double z, const ColumnTerms& terms,
                    double radius = 0.0) {
    const int n = batch.count++;
    batch.cx[n] = x;
    batch.cy[n] = y;
    batch.cz[n] = z;
    batch.s[n] = terms.s;
    batch.sqrtS[n] = terms.sqrtS;
    batch.cosPhi8[n] = terms.cosPhi8;
    batch.sinPhi8[n] = terms.sinPhi8;
    batch.radius[n] = radius;
}

// The one padding rule: the kernels take lanes by eight, so lanes count..(count rounded up to
// eight) become copies of the last lane, whose results nobody reads. Returns the padded count;
// requires count >= 1.
int padLaneBatch(LaneBatch& batch);

// The batch's arrays as the kernels read them.
inline ClassifyLanes lanesOf(const LaneBatch& batch) {
    return {batch.cx, batch.cy, batch.cz, batch.s, batch.sqrtS, batch.cosPhi8, batch.sinPhi8};
}

// The kernels of one vector level, chosen once per run (vectorKernels). Each takes `count` lanes,
// a multiple of 8:
// - classify writes kCertainlyBelow, kCertainlyNotBelow, 0.0 (fieldValue is exactly 0: libm's
//   final modulus is certainly 64 or more) or NaN (undecided) per lane (on AVX2, float lanes
//   first and double lanes for those float leaves; which certain lanes get the exact 0 may differ
//   between levels);
// - certify does the same for regions: lane n stands for every point within radii[n] of its centre
//   (the lane's point, with that point's column terms), and its class, or the exact 0, holds for
//   all of them; NaN where it cannot be certified for all;
// - certifySmall does what certify does, for regions a few samples across (the sampler's boxes of
//   2^3 samples): on AVX2 in float lanes, whose rounding is far below such a radius, on AVX-512
//   certify itself;
// - bound writes bounds on the final modulus of fieldValue's orbit at the lane's point:
//   low[n] <= that modulus <= high[n], both NaN where the classifier's bound does not certify
//   every step's comparison with the bailout radius 16.
struct VectorKernels {
    SimdLevel level;
    void (*classify)(const ClassifyLanes& lanes, int count, int maxIterations, double* out);
    void (*certify)(const ClassifyLanes& centres, const double* radii, int count,
                    int maxIterations, double* out);
    void (*certifySmall)(const ClassifyLanes& centres, const double* radii, int count,
                         int maxIterations, double* out);
    void (*bound)(const ClassifyLanes& lanes, int count, int maxIterations, double* low,
                  double* high);
};

// The kernel table of `level`, which must not exceed detectSimdLevel() and not be kNone.
const VectorKernels& vectorKernels(SimdLevel level);

// The kernels of vectorKernels(level), for callers that hold a level.
void classifyLanes(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                   double* out);
void certifyRegions(SimdLevel level, const ClassifyLanes& centres, const double* radii, int count,
                    int maxIterations, double* out);
void certifySmallRegions(SimdLevel level, const ClassifyLanes& centres, const double* radii,
                         int count, int maxIterations, double* out);
void boundFinalModulus(SimdLevel level, const ClassifyLanes& lanes, int count, int maxIterations,
                       double* low, double* high);

// The name of a level as the tests and benchmarks print it ("none", "AVX2", "AVX-512").
const char* simdLevelName(SimdLevel level);
