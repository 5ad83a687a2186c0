// The welded mesh in memory: shared vertices in first-seen order and three indices a triangle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/record_reader.h"
#include "quarnel_mesh/model/vertex_welder.h"
#include "quarnel_mesh/util/progress.h"

// Triangles as indices into the welded vertices, three per triangle in the file's winding. Every
// vertex is used by some triangle unless an edit removed its triangles (see compactVertices).
struct IndexedMesh {
    std::vector<WeldedVertex> vertices;
    std::vector<uint32_t> indices;
    Vec3f color = kTriangleColor;  // colour of the first record
    int64_t nonFiniteTriangles = 0;  // records left out: a vertex is NaN or infinite
};

// Memory loadIndexedMesh needs per triangle of a closed mesh (about half a vertex per triangle),
// growth of the tables included.
constexpr uint64_t kLoadBytesPerTriangle = 48;

// The limit of the vertex tables: three quarters of the RAM, or of what a limit on the process
// leaves it now (see processMemoryHeadroomBytes), whichever is less.
uint64_t defaultWeldMemoryLimit();

// The one line for a weldVertex failure (kWeldOutOfMemory, kWeldTooManyVertices) on `inputPath`.
std::string describeWeldFailure(int64_t result, const std::string& inputPath,
                                size_t vertexCount);

// Welds every record of an open file from the start into `mesh`, with its seams joined (two
// passes: planSweep's finds them), leaving out (and counting) those with a non-finite vertex,
// which no indexed format's readers take. The vertex tables stop at defaultWeldMemoryLimit;
// failures set `error` to one line.
bool loadIndexedMesh(RecordReader& reader, IndexedMesh& mesh, Progress& progress,
                     std::string& error);

// Drops the vertices no triangle uses, keeping the order of the others.
void compactVertices(IndexedMesh& mesh);
