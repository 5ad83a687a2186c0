// Mesh topology: closedness, pieces, Euler characteristic and volume.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"

// Of the faces: the triangles with three different welded vertices (the others have no area).
struct Topology {
    int64_t vertexCount = 0;          // distinct welded vertices used by any triangle
    int64_t edgeCount = 0;            // distinct undirected sides of the faces
    int64_t faceCount = 0;
    int64_t boundaryEdgeCount = 0;    // edges with one face
    int64_t nonManifoldEdgeCount = 0; // edges with more than two faces
    // Edges with an odd number of faces, boundary edges among them: a side that meets no other.
    // Closed means none; two sheets that touch along an edge (four faces) still enclose a volume.
    int64_t oddEdgeCount = 0;
    int64_t pieceCount = 0;           // pieces joined through shared vertices
    double signedVolume = 0.0;        // positive for a closed mesh wound outward
};

// Memory computeTopology needs per triangle beyond the loaded mesh: 24 bytes of edge keys, with
// the union-find and a margin (measured 51 bytes per triangle in all at preset 3).
constexpr uint64_t kTopologyBytesPerTriangle = 24;

// Counts of `mesh`; false with `error` set when its tables cannot be allocated.
bool computeTopology(const IndexedMesh& mesh, Topology& topology, std::string& error);

// The counts computeTopology gives for loadIndexedMesh's mesh of `reader`, bit for bit, from a
// sweep with `plan` (see sweep_weld.h): an edge is counted once one of its vertices is final,
// pieces by a union-find over the vertex indices (4 bytes a vertex), the volume in file order.
// Memory beyond the union-find: 3 edge keys (8 bytes each) per face of the window, and a
// quarter more for the batch being sorted.
// False with `error` set when a read or an allocation fails or a stop was requested.
bool sweepTopology(RecordReader& reader, const SweepPlan& plan, Topology& topology,
                   Progress& progress, int64_t doneBefore, std::string& error);

// The root of `v` in a union-find over vertex indices, by path halving: every step points a
// vertex at its grandparent, which keeps the trees flat without recursion.
inline uint32_t findPieceRoot(std::vector<uint32_t>& parent, uint32_t v) {
    while (parent[v] != v) {
        parent[v] = parent[parent[v]];
        v = parent[v];
    }
    return v;
}

// Joins the pieces of `a` and `b`. The lower root wins, so each piece ends up labelled by its
// lowest vertex whatever the order of the triangles, and every parent is a lower index.
inline void joinPieces(std::vector<uint32_t>& parent, uint32_t a, uint32_t b) {
    const uint32_t rootA = findPieceRoot(parent, a);
    const uint32_t rootB = findPieceRoot(parent, b);
    if (rootA < rootB) {
        parent[rootB] = rootA;
    } else if (rootB < rootA) {
        parent[rootA] = rootB;
    }
}

// For each vertex, the lowest vertex index of its piece (pieces join through shared vertices);
// returns the number of pieces among the used vertices.
int64_t labelPieces(const IndexedMesh& mesh, std::vector<uint32_t>& pieceOfVertex);
