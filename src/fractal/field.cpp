// Escape-time field of the power-8 triplex map ("Mandelbulb"-style spherical power).
#include "fractal/field.h"

#include <cmath>

double fieldValue(const Vec3d& point, const FieldParams& params) {
    const double cx = point.x;
    const double cy = point.y;
    const double cz = point.z;
    double x = cx;
    double y = cy;
    double z = cz;
    double m = 0.0;
    // The order of every operation below fixes the output bits; contraction is off in the build.
    for (int32_t i = 0; i < params.maxIterations; ++i) {
        const double s = x * x + z * z;
        const double r = std::sqrt(y * y + s);
        const double theta = std::atan2(std::sqrt(s), y);
        const double phi = std::atan2(z, x);
        const double rr = r * r;
        const double rrrr = rr * rr;
        const double r8 = rrrr * rrrr;
        const double w = std::sin(theta * 8.0) * r8;
        const double nx = std::cos(phi * 8.0) * w + cx;
        const double nz = std::sin(phi * 8.0) * w + cz;
        const double ny = std::cos(theta * 8.0) * r8 + cy;
        m = std::sqrt((nx * nx + nz * nz) + ny * ny);
        x = nx;
        y = ny;
        z = nz;
        if (m > params.bailoutRadius) {
            break;
        }
    }
    return fieldFromModulus(m, params);
}

double fieldFromModulus(double modulus, const FieldParams& params) {
    // The square root of the modulus itself, not of its square.
    const double q = std::sqrt(modulus);
    if (q < params.normRadius) {
        return 1.0 - q / params.normRadius;
    }
    return 0.0;
}
