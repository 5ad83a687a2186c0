// Where the mesh goes on the way out: the turn and scale of every vertex, and the checks that
// its coordinates survive them.
#pragma once

#include <string>

#include "io/triangle_record.h"
#include "quarnel_mesh/model/indexed_mesh.h"

// Turn and scale applied to every vertex on the way out, computed in double and rounded once.
struct Placement {
    bool zUp = false;    // (x, y, z) -> (x, -z, y): a proper rotation, so winding stays outward
    double scale = 1.0;  // applied after the turn
};

inline bool isIdentity(const Placement& placement) {
    return !placement.zUp && placement.scale == 1.0;
}

Vec3f placeVertex(const Vec3f& vertex, const Placement& placement);

// The scale that makes the longest side of the box `sizeMillimetres`; false when the box is
// empty or flat in every direction.
bool scaleForSize(const Vec3f& boxMin, const Vec3f& boxMax, double sizeMillimetres,
                  double& scale);

// The box of the finite vertices the triangles use, and their least non-zero |coordinate|
// (HUGE_VAL when all are 0); false when there is none.
bool usedVertexBox(const IndexedMesh& mesh, Vec3f& boxMin, Vec3f& boxMax,
                   double& smallestMagnitude);

// Empty when every coordinate of the box, scaled by `scale`, is still a normal 32-bit float;
// otherwise why not: beyond float's largest value a reader gets infinities, and below its
// smallest normal value distinct vertices merge. `smallestMagnitude`: the least non-zero
// |coordinate| (0 stays 0).
std::string placementProblem(const Vec3f& boxMin, const Vec3f& boxMax, double smallestMagnitude,
                             double scale);
