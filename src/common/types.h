// Shared geometry types: plain data passed between the field, the mesher and the companion. All
// geometry is double precision until a TriangleRecord narrows it.
#pragma once

#include <cmath>

struct Vec3d {
    double x;
    double y;
    double z;
};

// An axis-aligned box: six doubles in the order min.x, min.y, min.z, max.x, max.y, max.z.
struct Box3d {
    Vec3d min;
    Vec3d max;
};

// One cube corner: its position and the field value sampled there, four doubles side by side.
struct GridCorner {
    Vec3d position;
    double value;
};

// Corners 0-3 form the face at the lower y in cyclic order, 4-7 the upper face in the same sense;
// corner i + 4 lies directly above corner i.
struct GridCube {
    GridCorner corners[8];
};

// Three vertices; their order is the winding.
struct Triangle3d {
    Vec3d vertices[3];
};

static_assert(sizeof(GridCorner) == 32 && sizeof(Box3d) == 48, "plain packed doubles");

inline Vec3d subtract(const Vec3d& a, const Vec3d& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

inline double dot(const Vec3d& a, const Vec3d& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

inline Vec3d cross(const Vec3d& a, const Vec3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline bool isFinite(const Vec3d& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}
