// Pieces by a union-find over the vertices (see labelPieces); a void of the body found by the
// parity of a ray's crossings with the body, over a grid of its faces.
#include "quarnel_mesh/edit/islands.h"

#include <cmath>
#include <vector>

#include "quarnel_mesh/edit/topology.h"

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
