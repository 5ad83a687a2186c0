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

// Iterates v -> v^8 + c (triplex power: radius^8, both angles times 8; y is the polar axis) from
// v = c = point, at most maxIterations steps, and maps the final modulus m to 1 - sqrt(m)/normRadius
// when that is positive, else 0. Pure; requires params.maxIterations >= 1.
double fieldValue(const Vec3d& point, const FieldParams& params);

// The field for a final modulus m: 1 - sqrt(m) / normRadius while sqrt(m) < normRadius, else 0
// (also for NaN). A modulus equal to the bailout radius 16 gives exactly 0.5.
double fieldFromModulus(double modulus, const FieldParams& params);
