// Pieces by a union-find over the welded vertex indices of a sweep; then, sweep by sweep, the
// numbers of each piece, the rays from the candidate voids through the body's faces, and the
// records kept. Every sweep numbers the vertices alike and hands the triangles in file order, so
// what a sweep learns holds for the next, and each number is summed in the order the whole mesh
// in memory would sum it.
#include "quarnel_mesh/edit/islands.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>
#include <vector>

#include "quarnel_mesh/edit/topology.h"
#include "quarnel_mesh/model/sweep_weld.h"

namespace {

// What one sweep learns of a piece.
struct PieceNumbers {
    int64_t faceCount = 0;
    double volume = 0.0;  // signed, in file order: negative for a piece wound inwards
    Vec3d boxMin = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
    Vec3d boxMax = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    Vec3d probes[3];      // the first vertex of each of its first three triangles
    int probeCount = 0;
    uint64_t edgeBalance = 0;  // 0 when closed (see directedEdgeKey)
    bool kept = true;
    bool island = false;
};

// A probe of a candidate void, waiting in its cell for the body's faces to cross its ray.
struct RayProbe {
    Vec3d point;
    uint32_t piece;
    int crossings = 0;
};

// A 64-bit fingerprint of the side from vertex `from` to vertex `to` (splitmix64's mix). A face
// adds its three sides and takes away the same sides run backwards; over a closed piece every side
// is run once each way by two faces (or as often each way by more), so the sum is 0, and it is
// 0 for an open piece, a soup or a piece wound both ways only with a chance of 2^-64.
uint64_t directedEdgeKey(uint32_t from, uint32_t to) {
    uint64_t x = ((uint64_t{from} << 32) | to) + 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

Vec3d positionOf(const SweepTriangles& triangles, uint32_t index) {
    return toVec3d(triangles.window[index - triangles.windowFirstIndex].position);
}

// The body's grid: its (y, z) extent in kBodyGridCells^2 cells, each listing the probes in it.
struct BodyGrid {
    Vec3d lo;
    Vec3d hi;
    double cellY = 0.0;
    double cellZ = 0.0;
    std::vector<RayProbe> probes;
    std::vector<std::vector<uint32_t>> probesOfCell;
};

}  // namespace

int bodyGridCell(double value, double start, double width) {
    const int cell = width > 0.0 ? static_cast<int>((value - start) / width) : 0;
    return cell < 0 ? 0 : cell >= kBodyGridCells ? kBodyGridCells - 1 : cell;
}

bool rayCrossesTriangle(const Vec3d& a, const Vec3d& b, const Vec3d& c, const Vec3d& p) {
    // Edge functions in the (y, z) plane; which side a zero falls on depends only on the edge's
    // direction, the same for both faces that share it (which run it oppositely).
    const auto side = [&p](const Vec3d& from, const Vec3d& to) {
        const double value = (to.y - from.y) * (p.z - from.z) - (to.z - from.z) * (p.y - from.y);
        if (value != 0.0) {
            return value > 0.0;
        }
        return to.y > from.y || (to.y == from.y && to.z > from.z);
    };
    const bool ab = side(a, b);
    if (ab != side(b, c) || ab != side(c, a)) {
        return false;
    }
    // Where the triangle's plane meets the line; beyond p along +x counts.
    const Vec3d n = cross(subtract(b, a), subtract(c, a));
    if (n.x == 0.0) {
        return false;
    }
    const double x = a.x - (n.y * (p.y - a.y) + n.z * (p.z - a.z)) / n.x;
    return x > p.x;
}

int64_t pieceFilterPassCount(const PieceFilter& filter) {
    // The plan, the labels, the numbers, the rays (for the body), the records kept.
    return filter.keepBody ? 5 : 4;
}

bool filterPieces(RecordReader& reader, const PieceFilter& filter, IslandReport& islands,
                  BodyReport& body, RunContext& run) {
    Progress& progress = run.progress;
    std::string& error = run.error;
    islands = IslandReport();
    body = BodyReport();
    if (!reader.kept.empty()) {
        error = "the pieces of " + reader.path + " are found once, over the whole file";
        return false;
    }
    const int64_t records = reader.recordCount;
    int64_t done = run.doneUnits;
    SweepPlan plan;
    SweepResult swept;
    VertexWelder window;  // the sweeps' window: only the first grows it
    const auto sweep = [&](const SweepConsumer& consumer) {
        done += records;
        return sweepWeld(reader, plan, window, consumer, swept, progress, done, error);
    };
    std::vector<uint32_t> pieceOfVertex;
    std::vector<PieceNumbers> pieces;
    BodyGrid grid;
    std::vector<uint64_t> kept;
    try {
        if (!planSweep(reader, plan, progress, run.doneUnits, error)) {
            return false;
        }
        // 1. The pieces: a union-find in which the lower root wins, so that each piece ends up
        // labelled by its lowest vertex (as loading the whole mesh would number it).
        const int64_t faceBound = plan.finiteTriangleCount;
        pieceOfVertex.reserve(static_cast<size_t>(faceBound / 2 + faceBound / 64 + 4096));
        SweepConsumer labels;
        labels.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
            for (int64_t t = 0; t < triangles.triangleCount; ++t) {
                const uint32_t* corner = &triangles.indices[3 * t];
                for (int c = 0; c < 3; ++c) {
                    while (pieceOfVertex.size() <= corner[c]) {
                        pieceOfVertex.push_back(static_cast<uint32_t>(pieceOfVertex.size()));
                    }
                }
                joinPieces(pieceOfVertex, corner[0], corner[1]);
                joinPieces(pieceOfVertex, corner[0], corner[2]);
            }
            return true;
        };
        if (!sweep(labels)) {
            return false;
        }
        // Every parent is a lower index, so in index order a vertex's parent already holds its
        // piece's dense number: one pass turns the forest into piece numbers in label order.
        uint32_t pieceCount = 0;
        for (size_t v = 0; v < pieceOfVertex.size(); ++v) {
            pieceOfVertex[v] = pieceOfVertex[v] == v ? pieceCount++ : pieceOfVertex[pieceOfVertex[v]];
        }
        pieces.resize(pieceCount);

        // 2. Each piece's faces, volume, box and probes, in file order.
        SweepConsumer numbers;
        numbers.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
            for (int64_t t = 0; t < triangles.triangleCount; ++t) {
                const uint32_t* corner = &triangles.indices[3 * t];
                PieceNumbers& piece = pieces[pieceOfVertex[corner[0]]];
                const Vec3d v[3] = {positionOf(triangles, corner[0]),
                                    positionOf(triangles, corner[1]),
                                    positionOf(triangles, corner[2])};
                ++piece.faceCount;
                piece.volume += dot(v[0], cross(v[1], v[2])) / 6.0;
                for (int k = 0; k < 3; ++k) {
                    const uint32_t from = corner[k];
                    const uint32_t to = corner[(k + 1) % 3];
                    piece.edgeBalance += directedEdgeKey(from, to) - directedEdgeKey(to, from);
                }
                for (const Vec3d& p : v) {
                    piece.boxMin = {std::fmin(piece.boxMin.x, p.x), std::fmin(piece.boxMin.y, p.y),
                                    std::fmin(piece.boxMin.z, p.z)};
                    piece.boxMax = {std::fmax(piece.boxMax.x, p.x), std::fmax(piece.boxMax.y, p.y),
                                    std::fmax(piece.boxMax.z, p.z)};
                }
                if (piece.probeCount < 3) {
                    piece.probes[piece.probeCount++] = v[0];
                }
            }
            return true;
        };
        if (!sweep(numbers)) {
            return false;
        }
        run.nonFiniteDropped += swept.nonFiniteTriangles;
        int64_t keptPieceCount = 0;
        for (PieceNumbers& piece : pieces) {
            islands.largestPieceFaceCount = std::max(islands.largestPieceFaceCount, piece.faceCount);
            if (piece.faceCount < filter.minFaceCount) {
                piece.kept = false;
                piece.island = true;
                ++islands.droppedPieceCount;
                islands.droppedFaceCount += piece.faceCount;
            } else {
                ++keptPieceCount;
            }
        }
        islands.pieceCount = pieceCount;

        // 3. The body, and the rays from the probes of its candidate voids through its faces.
        uint32_t bodyPiece = UINT32_MAX;
        if (filter.keepBody && keptPieceCount > 0) {
            for (uint32_t p = 0; p < pieceCount; ++p) {
                if (pieces[p].kept &&
                    (bodyPiece == UINT32_MAX || pieces[p].faceCount > pieces[bodyPiece].faceCount)) {
                    bodyPiece = p;
                }
            }
            body.pieceCount = keptPieceCount;
            body.bodyFaceCount = pieces[bodyPiece].faceCount;
            body.bodyClosed = pieces[bodyPiece].edgeBalance == 0;
            grid.lo = pieces[bodyPiece].boxMin;
            grid.hi = pieces[bodyPiece].boxMax;
            grid.cellY = (grid.hi.y - grid.lo.y) / kBodyGridCells;
            grid.cellZ = (grid.hi.z - grid.lo.z) / kBodyGridCells;
            grid.probesOfCell.resize(kBodyGridCells * kBodyGridCells);
            for (uint32_t p = 0; p < pieceCount; ++p) {
                // Only a piece wound inwards can be a void, and only inside a closed body (an
                // open one has no inside); a probe outside the body's extent asks, and votes no.
                if (!body.bodyClosed || !pieces[p].kept || p == bodyPiece ||
                    !(pieces[p].volume < 0.0)) {
                    continue;
                }
                for (int k = 0; k < pieces[p].probeCount; ++k) {
                    const Vec3d& point = pieces[p].probes[k];
                    if (point.y >= grid.lo.y && point.y <= grid.hi.y && point.z >= grid.lo.z &&
                        point.z <= grid.hi.z) {
                        grid.probesOfCell[bodyGridCell(point.y, grid.lo.y, grid.cellY) *
                                              kBodyGridCells +
                                          bodyGridCell(point.z, grid.lo.z, grid.cellZ)]
                            .push_back(static_cast<uint32_t>(grid.probes.size()));
                        grid.probes.push_back({point, p});
                    }
                }
            }
            SweepConsumer rays;
            rays.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
                for (int64_t t = 0; t < triangles.triangleCount; ++t) {
                    const uint32_t* corner = &triangles.indices[3 * t];
                    if (pieceOfVertex[corner[0]] != bodyPiece) {
                        continue;
                    }
                    const Vec3d a = positionOf(triangles, corner[0]);
                    const Vec3d b = positionOf(triangles, corner[1]);
                    const Vec3d c = positionOf(triangles, corner[2]);
                    // The face meets the rays of every cell its (y, z) box covers.
                    const int y0 = bodyGridCell(std::fmin(a.y, std::fmin(b.y, c.y)), grid.lo.y,
                                                grid.cellY);
                    const int y1 = bodyGridCell(std::fmax(a.y, std::fmax(b.y, c.y)), grid.lo.y,
                                                grid.cellY);
                    const int z0 = bodyGridCell(std::fmin(a.z, std::fmin(b.z, c.z)), grid.lo.z,
                                                grid.cellZ);
                    const int z1 = bodyGridCell(std::fmax(a.z, std::fmax(b.z, c.z)), grid.lo.z,
                                                grid.cellZ);
                    for (int y = y0; y <= y1; ++y) {
                        for (int z = z0; z <= z1; ++z) {
                            for (const uint32_t probe : grid.probesOfCell[y * kBodyGridCells + z]) {
                                RayProbe& ray = grid.probes[probe];
                                ray.crossings += rayCrossesTriangle(a, b, c, ray.point) ? 1 : 0;
                            }
                        }
                    }
                }
                return true;
            };
            if (!sweep(rays)) {
                return false;
            }
            std::vector<int> votesOfPiece(pieceCount, 0);
            for (const RayProbe& ray : grid.probes) {
                votesOfPiece[ray.piece] += ray.crossings % 2;
            }
            for (uint32_t p = 0; p < pieceCount; ++p) {
                if (!pieces[p].kept || p == bodyPiece) {
                    continue;
                }
                const int asked =
                    body.bodyClosed && pieces[p].volume < 0.0 ? pieces[p].probeCount : 0;
                if (2 * votesOfPiece[p] > asked) {
                    ++body.voidCount;
                } else {
                    pieces[p].kept = false;
                    ++body.droppedPieceCount;
                    body.droppedFaceCount += pieces[p].faceCount;
                }
            }
        }

        // 4. The records kept: a bit each, the non-finite ones never.
        kept.assign(static_cast<size_t>((reader.fileRecordCount + 63) / 64), 0);
        int64_t record = 0;
        SweepConsumer keep;
        keep.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
            int64_t t = 0;
            for (int64_t r = 0; r < triangles.recordCount; ++r, ++record) {
                if (!hasFiniteVertices(triangles.records[r])) {
                    continue;
                }
                if (pieces[pieceOfVertex[triangles.indices[3 * t]]].kept) {
                    kept[static_cast<size_t>(record / 64)] |= uint64_t{1} << (record % 64);
                }
                ++t;
            }
            return true;
        };
        if (!sweep(keep)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the pieces of " + reader.path;
        return false;
    }
    return keepRecords(reader, std::move(kept), error);
}
