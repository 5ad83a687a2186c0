// Smooth vertex normals: each vertex's normal is the sum of the face normals around it, each as
// long as twice its face's area, so that large faces weigh more. The sums are kept for a window
// of vertices, as a sweep hands them on: a vertex's sum is complete once it is final, since by
// then the sweep has shown every triangle that uses it. A mesh in memory is one window.
#pragma once

#include <cstdint>
#include <vector>

#include "common/types.h"
#include "io/triangle_record.h"

struct NormalSums {
    std::vector<Vec3d> sums;  // of the vertices from firstIndex on
    int64_t firstIndex = 0;
};

// Makes room for the sums of every vertex below `verticesSeen`.
void makeRoomForNormals(NormalSums& normals, int64_t verticesSeen);

// Adds the normal (v1 - v0) x (v2 - v0) of the face with corners `corners` (global indices, none
// below firstIndex, room made) at positions v0, v1, v2 to its corners' sums, in double.
void addFaceNormal(NormalSums& normals, const uint32_t corners[3], const Vec3d& v0,
                   const Vec3d& v1, const Vec3d& v2);

// The unit normal of vertex `index` (not yet forgotten); +z for one whose sum vanishes.
Vec3f finalNormal(const NormalSums& normals, int64_t index);

// After the vertices before `finalEnd` became final: forgets their sums once they are half the
// table, which moves each one only a bounded number of times.
void forgetFinalSums(NormalSums& normals, int64_t finalEnd);

// A unit normal from a sum of face normals; +z, rather than an invalid zero normal, when the sum
// vanishes.
Vec3f normalFromSum(const Vec3d& sum);
