// Mesh topology by sorting: every triangle side becomes an undirected edge key, and the run
// lengths of the sorted keys give boundary (one face) and non-manifold (three or more) edges.
// Pieces come from a union-find over the vertices.
#include <algorithm>
#include <cmath>
#include <new>

#include "quarnel_mesh/quarnel_mesh.h"

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

void dropIslands(IndexedMesh& mesh, int64_t minFaceCount, IslandReport& report) {
    report = IslandReport();
    std::vector<uint32_t> pieceOfVertex;
    report.pieceCount = labelPieces(mesh, pieceOfVertex);
    // Faces per piece, counted at the piece's label (its lowest vertex).
    std::vector<int64_t> faceCountOfPiece(mesh.vertices.size(), 0);
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        ++faceCountOfPiece[pieceOfVertex[mesh.indices[i]]];
    }
    for (const int64_t faces : faceCountOfPiece) {
        if (faces > report.largestPieceFaceCount) {
            report.largestPieceFaceCount = faces;
        }
        if (faces > 0 && faces < minFaceCount) {
            ++report.droppedPieceCount;
            report.droppedFaceCount += faces;
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        if (faceCountOfPiece[pieceOfVertex[mesh.indices[i]]] >= minFaceCount) {
            for (int c = 0; c < 3; ++c) {
                mesh.indices[kept + c] = mesh.indices[i + c];
            }
            kept += 3;
        }
    }
    mesh.indices.resize(kept);
    compactVertices(mesh);
}

namespace {

// Crossings of the ray from `p` along +x with the triangles listed in `cell`. A point on an
// edge of the projection belongs to one side of it only (the half-open rule below), so a ray
// through an edge shared by two faces is counted once.
int rayCrossings(const IndexedMesh& mesh, const std::vector<uint32_t>& cell, const Vec3d& p) {
    int crossings = 0;
    for (const uint32_t t : cell) {
        const Vec3d a = toVec3d(mesh.vertices[mesh.indices[3 * t]].position);
        const Vec3d b = toVec3d(mesh.vertices[mesh.indices[3 * t + 1]].position);
        const Vec3d c = toVec3d(mesh.vertices[mesh.indices[3 * t + 2]].position);
        // Edge functions in the (y, z) plane; which side a zero falls on depends only on the
        // edge's direction, the same for both faces that share it (which run it oppositely).
        const auto side = [&p](const Vec3d& from, const Vec3d& to) {
            const double value = (to.y - from.y) * (p.z - from.z) - (to.z - from.z) * (p.y - from.y);
            if (value != 0.0) {
                return value > 0.0;
            }
            return to.y > from.y || (to.y == from.y && to.z > from.z);
        };
        const bool ab = side(a, b);
        if (ab != side(b, c) || ab != side(c, a)) {
            continue;
        }
        // Where the triangle's plane meets the line; beyond p along +x counts.
        const Vec3d n = cross(subtract(b, a), subtract(c, a));
        if (n.x == 0.0) {
            continue;
        }
        const double x = a.x - (n.y * (p.y - a.y) + n.z * (p.z - a.z)) / n.x;
        if (x > p.x) {
            ++crossings;
        }
    }
    return crossings;
}

}  // namespace

void keepBody(IndexedMesh& mesh, BodyReport& report) {
    report = BodyReport();
    std::vector<uint32_t> pieceOfVertex;
    report.pieceCount = labelPieces(mesh, pieceOfVertex);
    const size_t triangleCount = mesh.indices.size() / 3;
    std::vector<int64_t> faceCountOfPiece(mesh.vertices.size(), 0);
    std::vector<double> volumeOfPiece(mesh.vertices.size(), 0.0);
    for (size_t t = 0; t < triangleCount; ++t) {
        const uint32_t* corner = &mesh.indices[3 * t];
        const uint32_t piece = pieceOfVertex[corner[0]];
        ++faceCountOfPiece[piece];
        volumeOfPiece[piece] += dot(toVec3d(mesh.vertices[corner[0]].position),
                                    cross(toVec3d(mesh.vertices[corner[1]].position),
                                          toVec3d(mesh.vertices[corner[2]].position))) / 6.0;
    }
    uint32_t body = 0;
    for (size_t piece = 0; piece < faceCountOfPiece.size(); ++piece) {
        if (faceCountOfPiece[piece] > faceCountOfPiece[body]) {
            body = static_cast<uint32_t>(piece);
        }
    }
    report.bodyFaceCount = faceCountOfPiece.empty() ? 0 : faceCountOfPiece[body];
    // The body's faces in a grid over its (y, z) extent, so that each ray meets only the faces
    // of its own cell.
    constexpr int kCells = 128;
    Vec3d lo = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    Vec3d hi = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (size_t t = 0; t < triangleCount; ++t) {
        for (int c = 0; c < 3 && pieceOfVertex[mesh.indices[3 * t]] == body; ++c) {
            const Vec3d v = toVec3d(mesh.vertices[mesh.indices[3 * t + c]].position);
            lo = {std::fmin(lo.x, v.x), std::fmin(lo.y, v.y), std::fmin(lo.z, v.z)};
            hi = {std::fmax(hi.x, v.x), std::fmax(hi.y, v.y), std::fmax(hi.z, v.z)};
        }
    }
    const double cellY = (hi.y - lo.y) / kCells;
    const double cellZ = (hi.z - lo.z) / kCells;
    const auto cellOf = [&](double value, double start, double width) {
        const int cell = width > 0.0 ? static_cast<int>((value - start) / width) : 0;
        return cell < 0 ? 0 : cell >= kCells ? kCells - 1 : cell;
    };
    std::vector<std::vector<uint32_t>> cells(kCells * kCells);
    for (size_t t = 0; t < triangleCount; ++t) {
        if (pieceOfVertex[mesh.indices[3 * t]] != body) {
            continue;
        }
        Vec3d tlo = {0, HUGE_VAL, HUGE_VAL};
        Vec3d thi = {0, -HUGE_VAL, -HUGE_VAL};
        for (int c = 0; c < 3; ++c) {
            const Vec3d v = toVec3d(mesh.vertices[mesh.indices[3 * t + c]].position);
            tlo = {0, std::fmin(tlo.y, v.y), std::fmin(tlo.z, v.z)};
            thi = {0, std::fmax(thi.y, v.y), std::fmax(thi.z, v.z)};
        }
        for (int y = cellOf(tlo.y, lo.y, cellY); y <= cellOf(thi.y, lo.y, cellY); ++y) {
            for (int z = cellOf(tlo.z, lo.z, cellZ); z <= cellOf(thi.z, lo.z, cellZ); ++z) {
                cells[y * kCells + z].push_back(static_cast<uint32_t>(t));
            }
        }
    }
    // A void is wound inwards (negative volume) and lies inside the body: an odd number of the
    // body's faces beyond it along a ray. Three of its vertices vote, against a ray that grazes.
    std::vector<int> votesOfPiece(mesh.vertices.size(), 0);
    std::vector<int> askedOfPiece(mesh.vertices.size(), 0);
    for (size_t t = 0; t < triangleCount; ++t) {
        const uint32_t vertex = mesh.indices[3 * t];
        const uint32_t piece = pieceOfVertex[vertex];
        if (piece == body || !(volumeOfPiece[piece] < 0.0) || askedOfPiece[piece] == 3) {
            continue;
        }
        const Vec3d p = toVec3d(mesh.vertices[vertex].position);
        const bool within = p.y >= lo.y && p.y <= hi.y && p.z >= lo.z && p.z <= hi.z;
        const auto& cell = cells[cellOf(p.y, lo.y, cellY) * kCells + cellOf(p.z, lo.z, cellZ)];
        ++askedOfPiece[piece];
        votesOfPiece[piece] += within && rayCrossings(mesh, cell, p) % 2 == 1 ? 1 : 0;
    }
    std::vector<bool> kept(mesh.vertices.size(), false);
    kept[body] = true;
    for (size_t piece = 0; piece < kept.size(); ++piece) {
        if (faceCountOfPiece[piece] == 0 || piece == body) {
            continue;
        }
        if (2 * votesOfPiece[piece] > askedOfPiece[piece]) {
            kept[piece] = true;
            ++report.voidCount;
        } else {
            ++report.droppedPieceCount;
            report.droppedFaceCount += faceCountOfPiece[piece];
        }
    }
    size_t next = 0;
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        if (kept[pieceOfVertex[mesh.indices[i]]]) {
            for (int c = 0; c < 3; ++c) {
                mesh.indices[next + c] = mesh.indices[i + c];
            }
            next += 3;
        }
    }
    mesh.indices.resize(next);
    compactVertices(mesh);
}
