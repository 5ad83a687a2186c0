// The scalar field of the power-8 triplex fractal: how strongly a point belongs to it, in [0, 1].
#pragma once

#include <cstdint>

#include "common/types.h"

struct FieldParams {
    double normRadius;     // 8.0: the field is 1 - sqrt(final modulus) / normRadius
    double bailoutRadius;  // 16.0: the iteration stops once the modulus is strictly above this
    int32_t maxIterations; // 5
};

// The parameters of every run.
constexpr FieldParams kDefaultFieldParams = {8.0, 16.0, 5};

// The first step's terms that depend only on a point's x and z: shared by a whole lattice column.
struct ColumnTerms {
    double s;        // x * x + z * z, squared distance from the polar (y) axis
    double sqrtS;    // sqrt(s)
    double cosPhi8;  // cos(atan2(z, x) * 8)
    double sinPhi8;  // sin(atan2(z, x) * 8)
};

// Iterates v -> v^8 + c (triplex power: radius^8, both angles times 8; y is the polar axis) from
// v = c = point, at most maxIterations steps, and maps the final modulus m to 1 - sqrt(m)/normRadius
// when that is positive, else 0. Pure; requires params.maxIterations >= 1.
double fieldValue(const Vec3d& point, const FieldParams& params);

// The column terms of (x, z), computed exactly as the first step of fieldValue computes them.
ColumnTerms computeColumnTerms(double x, double z);

// fieldValue(point, params), bit for bit, given column = computeColumnTerms(point.x, point.z).
double fieldValueInColumn(const Vec3d& point, const ColumnTerms& column, const FieldParams& params);

// The field for a final modulus m: 1 - sqrt(m) / normRadius while sqrt(m) < normRadius, else 0
// (also for NaN). A modulus equal to the bailout radius 16 gives exactly 0.5.
double fieldFromModulus(double modulus, const FieldParams& params);
