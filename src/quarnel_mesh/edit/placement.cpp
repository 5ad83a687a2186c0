#include "quarnel_mesh/edit/placement.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

void growBox(Vec3f& boxMin, Vec3f& boxMax, const Vec3f& v) {
    boxMin.x = std::fmin(boxMin.x, v.x);
    boxMin.y = std::fmin(boxMin.y, v.y);
    boxMin.z = std::fmin(boxMin.z, v.z);
    boxMax.x = std::fmax(boxMax.x, v.x);
    boxMax.y = std::fmax(boxMax.y, v.y);
    boxMax.z = std::fmax(boxMax.z, v.z);
}

}  // namespace

Vec3f placeVertex(const Vec3f& vertex, const Placement& placement) {
    Vec3d v = toVec3d(vertex);
    if (placement.zUp) {
        v = {v.x, 0.0 - v.z, v.y};  // not -v.z: a vertex on the plane z = 0 must not become -0
    }
    return {static_cast<float>(v.x * placement.scale), static_cast<float>(v.y * placement.scale),
            static_cast<float>(v.z * placement.scale)};
}

bool scaleForSize(const Vec3f& boxMin, const Vec3f& boxMax, double sizeMillimetres,
                  double& scale) {
    const double longest =
        std::fmax(static_cast<double>(boxMax.x) - boxMin.x,
                  std::fmax(static_cast<double>(boxMax.y) - boxMin.y,
                            static_cast<double>(boxMax.z) - boxMin.z));
    if (!(longest > 0.0) || !std::isfinite(longest)) {
        return false;
    }
    scale = sizeMillimetres / longest;
    return std::isfinite(scale) && scale > 0.0;
}

bool usedVertexBox(const IndexedMesh& mesh, Vec3f& boxMin, Vec3f& boxMax,
                   double& smallestMagnitude) {
    bool found = false;
    smallestMagnitude = HUGE_VAL;
    for (const uint32_t index : mesh.indices) {
        const Vec3f& v = mesh.vertices[index].position;
        if (!isFinite(v)) {
            continue;
        }
        if (!found) {
            boxMin = v;
            boxMax = v;
            found = true;
        }
        growBox(boxMin, boxMax, v);
        for (const float c : {v.x, v.y, v.z}) {
            if (c != 0.0f) {
                smallestMagnitude = std::fmin(smallestMagnitude, std::fabs(static_cast<double>(c)));
            }
        }
    }
    return found;
}

std::string placementProblem(const Vec3f& boxMin, const Vec3f& boxMax, double smallestMagnitude,
                             double scale) {
    double largest = 0.0;
    for (const float c : {boxMin.x, boxMin.y, boxMin.z, boxMax.x, boxMax.y, boxMax.z}) {
        largest = std::fmax(largest, std::fabs(static_cast<double>(c)));
    }
    char text[200];
    if (largest * scale > static_cast<double>(std::numeric_limits<float>::max())) {
        std::snprintf(text, sizeof text,
                      "its coordinates would reach %.3g, beyond the largest 32-bit float "
                      "(3.4e+38)", largest * scale);
        return text;
    }
    if (smallestMagnitude != HUGE_VAL &&
        smallestMagnitude * scale < static_cast<double>(std::numeric_limits<float>::min())) {
        std::snprintf(text, sizeof text,
                      "its smallest coordinates would shrink to %.3g, below the smallest normal "
                      "32-bit float (1.2e-38), and distinct vertices would merge",
                      smallestMagnitude * scale);
        return text;
    }
    return "";
}
