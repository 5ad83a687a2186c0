// Fewer triangles, same shape.
#pragma once

#include <cstdint>
#include <string>

#include "quarnel_mesh/model/indexed_mesh.h"

// Memory simplifyMesh needs per triangle of a closed mesh on top of the loaded mesh: load and
// simplification peaked at 123 to 126 bytes per triangle (presets 1 and 3, the program's fixed
// 9 MB left out); the sum with kLoadBytesPerTriangle leaves a quarter more.
constexpr uint64_t kSimplifyBytesPerTriangle = 110;

struct SimplifyReport {
    int64_t triangleCountBefore = 0;
    int64_t triangleCountAfter = 0;
    double absoluteError = 0.0;  // largest deviation, in the mesh's units
    double relativeError = 0.0;  // the same over the mesh's extent
};

// Collapses edges (quadric error metric) until `ratio` of the triangles remain or no collapse
// keeps the topology; vertices no triangle uses may remain (see compactVertices). From 500,000
// triangles
// on, in two passes: slabs of about 250,000 in parallel with their borders locked, then the
// whole (so the error reported adds the two passes' largest deviations); the result is the same
// on any number of threads. The mesh's vertices must be finite.
bool simplifyMesh(IndexedMesh& mesh, double ratio, SimplifyReport& report, std::string& error);
