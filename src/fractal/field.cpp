// Escape-time field of the power-8 triplex map (spherical power: radius^8, angles times 8).
#include "fractal/field.h"

#include <cmath>

namespace {

// One step of the map from its spherical parts; the order of every operation fixes the output
// bits (contraction is off in the build). Returns the new iterate's modulus.
inline double stepFromAngles(double r, double theta, double cosPhi8, double sinPhi8, double cx,
                             double cy, double cz, double& x, double& y, double& z) {
    const double rr = r * r;
    const double rrrr = rr * rr;
    const double r8 = rrrr * rrrr;
    const double w = std::sin(theta * 8.0) * r8;
    x = cosPhi8 * w + cx;
    z = sinPhi8 * w + cz;
    y = std::cos(theta * 8.0) * r8 + cy;
    return std::sqrt((x * x + z * z) + y * y);
}

}  // namespace

ColumnTerms computeColumnTerms(double x, double z) {
    ColumnTerms column;
    column.s = x * x + z * z;
    column.sqrtS = std::sqrt(column.s);
    const double phi = std::atan2(z, x);
    column.cosPhi8 = std::cos(phi * 8.0);
    column.sinPhi8 = std::sin(phi * 8.0);
    return column;
}

double fieldValueInColumn(const Vec3d& point, const ColumnTerms& column, const FieldParams& params) {
    const double cx = point.x;
    const double cy = point.y;
    const double cz = point.z;
    double x = cx;
    double y = cy;
    double z = cz;
    // First step: only the polar angle and the radius depend on y.
    const double r0 = std::sqrt(y * y + column.s);
    const double theta0 = std::atan2(column.sqrtS, y);
    double m = stepFromAngles(r0, theta0, column.cosPhi8, column.sinPhi8, cx, cy, cz, x, y, z);
    for (int32_t i = 1; i < params.maxIterations && !(m > params.bailoutRadius); ++i) {
        const double s = x * x + z * z;
        const double r = std::sqrt(y * y + s);
        const double theta = std::atan2(std::sqrt(s), y);
        const double phi = std::atan2(z, x);
        m = stepFromAngles(r, theta, std::cos(phi * 8.0), std::sin(phi * 8.0), cx, cy, cz, x, y, z);
    }
    return fieldFromModulus(m, params);
}

// The straightforward evaluation, kept literal as the reference the faster paths are tested
// against.
double fieldValue(const Vec3d& point, const FieldParams& params) {
    const double cx = point.x;
    const double cy = point.y;
    const double cz = point.z;
    double x = cx;
    double y = cy;
    double z = cz;
    double m = 0.0;
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
