// Cube polygoniser of marching cubes (Lorensen and Cline, 1987).
#include "mesh/polygonise.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "mesh/tables.h"

int32_t polygoniseCell(const GridCube& cube, double isoLevel, Triangle3d* triangles) {
    int cubeIndex = 0;
    for (int i = 0; i < 8; ++i) {
        cubeIndex |= static_cast<int>(cube.corners[i].value < isoLevel) << i;
    }
    const int32_t mask = kEdgeTable[cubeIndex];
    // Most cubes lie wholly on one side: leave before touching anything else.
    if (mask == 0) {
        return 0;
    }
    // Only crossed edges are computed; the triangle table never names any other.
    Vec3d crossings[12];
    for (uint32_t edges = static_cast<uint32_t>(mask); edges != 0; edges &= edges - 1) {
        const int e = __builtin_ctz(edges);
        crossings[e] = interpolateEdgeVertex(isoLevel, cube.corners[kEdgeCorners[e][0]],
                                             cube.corners[kEdgeCorners[e][1]]);
    }
    const Vec3d* const edgePoints[12] = {
        crossings + 0, crossings + 1, crossings + 2, crossings + 3, crossings + 4,  crossings + 5,
        crossings + 6, crossings + 7, crossings + 8, crossings + 9, crossings + 10, crossings + 11};
    return assembleTriangles(cubeIndex, edgePoints, 0, triangles);
}
