// Mesh topology by sorting: every triangle side becomes an undirected edge key, and the run
// lengths of the sorted keys give boundary (one face) and non-manifold (three or more) edges.
// Pieces come from a union-find over the vertices.
#include <algorithm>
#include <new>

#include "quarnel_mesh/edit/topology.h"

namespace {

// Path halving: every step points a vertex at its grandparent, which keeps the trees flat
// without recursion.
uint32_t findRoot(std::vector<uint32_t>& parent, uint32_t v) {
    while (parent[v] != v) {
        parent[v] = parent[parent[v]];
        v = parent[v];
    }
    return v;
}

// The lower root wins, so each piece ends up labelled by its lowest vertex whatever the order of
// the triangles.
void joinVertices(std::vector<uint32_t>& parent, uint32_t a, uint32_t b) {
    const uint32_t rootA = findRoot(parent, a);
    const uint32_t rootB = findRoot(parent, b);
    if (rootA < rootB) {
        parent[rootB] = rootA;
    } else if (rootB < rootA) {
        parent[rootA] = rootB;
    }
}

uint64_t edgeKey(uint32_t a, uint32_t b) {
    return a < b ? (static_cast<uint64_t>(a) << 32) | b : (static_cast<uint64_t>(b) << 32) | a;
}

}  // namespace

int64_t labelPieces(const IndexedMesh& mesh, std::vector<uint32_t>& pieceOfVertex) {
    pieceOfVertex.resize(mesh.vertices.size());
    for (size_t v = 0; v < pieceOfVertex.size(); ++v) {
        pieceOfVertex[v] = static_cast<uint32_t>(v);
    }
    std::vector<bool> used(mesh.vertices.size(), false);
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        joinVertices(pieceOfVertex, mesh.indices[i], mesh.indices[i + 1]);
        joinVertices(pieceOfVertex, mesh.indices[i], mesh.indices[i + 2]);
        used[mesh.indices[i]] = true;
    }
    int64_t pieceCount = 0;
    for (size_t v = 0; v < pieceOfVertex.size(); ++v) {
        pieceOfVertex[v] = findRoot(pieceOfVertex, static_cast<uint32_t>(v));
        if (pieceOfVertex[v] == v && used[v]) {
            ++pieceCount;
        }
    }
    return pieceCount;
}

bool computeTopology(const IndexedMesh& mesh, Topology& topology, std::string& error) {
    topology = Topology();
    const size_t triangleCount = mesh.indices.size() / 3;
    std::vector<uint64_t> edges;
    std::vector<uint32_t> pieceOfVertex;
    try {
        edges.reserve(mesh.indices.size());
        std::vector<bool> used(mesh.vertices.size(), false);
        for (const uint32_t index : mesh.indices) {
            used[index] = true;
        }
        topology.vertexCount = std::count(used.begin(), used.end(), true);
        topology.pieceCount = labelPieces(mesh, pieceOfVertex);
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the topology tables";
        return false;
    }
    for (size_t t = 0; t < triangleCount; ++t) {
        const uint32_t* corner = &mesh.indices[3 * t];
        // A triangle with two equal vertices has no area and is no face of the surface: counted,
        // its sides would lie on a real edge and make it look non-manifold.
        if (corner[0] == corner[1] || corner[1] == corner[2] || corner[2] == corner[0]) {
            continue;
        }
        ++topology.faceCount;
        for (int side = 0; side < 3; ++side) {
            edges.push_back(edgeKey(corner[side], corner[(side + 1) % 3]));
        }
        // Divergence theorem: each face adds the signed volume of the tetrahedron it spans with
        // the origin; in double, in file order, so the sum is the same on every run.
        const Vec3d v0 = toVec3d(mesh.vertices[corner[0]].position);
        const Vec3d v1 = toVec3d(mesh.vertices[corner[1]].position);
        const Vec3d v2 = toVec3d(mesh.vertices[corner[2]].position);
        topology.signedVolume += dot(v0, cross(v1, v2)) / 6.0;
    }
    std::sort(edges.begin(), edges.end());
    for (size_t start = 0; start < edges.size();) {
        size_t end = start + 1;
        while (end < edges.size() && edges[end] == edges[start]) {
            ++end;
        }
        ++topology.edgeCount;
        if (end - start == 1) {
            ++topology.boundaryEdgeCount;
        } else if (end - start > 2) {
            ++topology.nonManifoldEdgeCount;
        }
        start = end;
    }
    return true;
}
