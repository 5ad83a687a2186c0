// Simplification by edge collapse under the quadric error metric (Garland and Heckbert, 1997), as
// meshoptimizer implements it: collapses that would change the topology or flip a face are
// refused, so a closed input stays closed.
//
// A large mesh is simplified in two passes so that every core helps: first slabs of it along its
// longest side, each on its own with the edges it shares with its neighbours locked
// (meshopt_SimplifyLockBorder), in parallel; then the whole of what is left, once it is small
// enough for the simplifier's tables, so that the former borders are simplified too and no seam
// keeps the full resolution. The slabs depend only on the
// mesh, and their results are joined in slab order: the same input gives the same output on any
// number of threads.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include <meshoptimizer.h>
#include <tbb/parallel_for.h>

#include "quarnel_mesh/edit/simplify.h"

namespace {

// Below this many triangles one pass is quick enough; above it, a slab of about this many each.
constexpr size_t kSlabTriangles = 250000;
constexpr size_t kMaxSlabs = 64;

// One slab's triangles, simplified, as global vertex indices, and the deviation it reached.
struct Slab {
    std::vector<uint32_t> indices;
    double absoluteError = 0.0;
};

// Simplifies `triangles` (indices of triangles of `mesh`) to `ratio` of their count, with their
// open edges locked. Their vertices are gathered into a local array first, so that the
// simplifier's tables grow with the slab, not with the whole mesh.
void simplifySlab(const IndexedMesh& mesh, const std::vector<uint32_t>& triangles, double ratio,
                  Slab& slab) {
    std::vector<uint32_t> global;
    global.reserve(3 * triangles.size());
    for (const uint32_t t : triangles) {
        for (int c = 0; c < 3; ++c) {
            global.push_back(mesh.indices[3 * t + c]);
        }
    }
    std::vector<uint32_t> vertices = global;
    std::sort(vertices.begin(), vertices.end());
    vertices.erase(std::unique(vertices.begin(), vertices.end()), vertices.end());
    std::vector<uint32_t> local(global.size());
    for (size_t i = 0; i < global.size(); ++i) {
        local[i] = static_cast<uint32_t>(
            std::lower_bound(vertices.begin(), vertices.end(), global[i]) - vertices.begin());
    }
    std::vector<Vec3f> positions(vertices.size());
    for (size_t v = 0; v < vertices.size(); ++v) {
        positions[v] = mesh.vertices[vertices[v]].position;
    }
    const size_t target =
        3 * static_cast<size_t>(std::llround(ratio * static_cast<double>(triangles.size())));
    std::vector<uint32_t> simplified(local.size());
    float relativeError = 0.0f;
    simplified.resize(meshopt_simplify(simplified.data(), local.data(), local.size(),
                                       &positions[0].x, positions.size(), sizeof(Vec3f), target,
                                       kSimplifyNoErrorLimit, meshopt_SimplifyLockBorder,
                                       &relativeError));
    slab.absoluteError = static_cast<double>(relativeError) *
                         meshopt_simplifyScale(&positions[0].x, positions.size(), sizeof(Vec3f));
    slab.indices.resize(simplified.size());
    for (size_t i = 0; i < simplified.size(); ++i) {
        slab.indices[i] = vertices[simplified[i]];
    }
}

// The first pass: the triangles cut into slabs along the longest side of the box, by their first
// corner, simplified each with its borders locked, and joined in slab order.
std::vector<uint32_t> simplifySlabs(const IndexedMesh& mesh, double ratio, double& absoluteError) {
    const size_t triangleCount = mesh.indices.size() / 3;
    const size_t slabCount = std::min(kMaxSlabs, triangleCount / kSlabTriangles);
    Vec3f lo = mesh.vertices[mesh.indices[0]].position;
    Vec3f hi = lo;
    for (const uint32_t index : mesh.indices) {
        const Vec3f& p = mesh.vertices[index].position;
        lo = {std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z)};
        hi = {std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z)};
    }
    const float extent[3] = {hi.x - lo.x, hi.y - lo.y, hi.z - lo.z};
    const int axis = extent[0] >= extent[1] && extent[0] >= extent[2] ? 0
                     : extent[1] >= extent[2]                          ? 1
                                                                       : 2;
    const double start = axis == 0 ? lo.x : axis == 1 ? lo.y : lo.z;
    const double width = extent[axis] / static_cast<double>(slabCount);
    std::vector<std::vector<uint32_t>> trianglesOfSlab(slabCount);
    for (size_t t = 0; t < triangleCount; ++t) {
        const Vec3f& p = mesh.vertices[mesh.indices[3 * t]].position;
        const double coordinate = axis == 0 ? p.x : axis == 1 ? p.y : p.z;
        const double position = width > 0.0 ? (coordinate - start) / width : 0.0;
        const size_t slab = std::min(slabCount - 1, static_cast<size_t>(std::fmax(0.0, position)));
        trianglesOfSlab[slab].push_back(static_cast<uint32_t>(t));
    }
    std::vector<Slab> slabs(slabCount);
    tbb::parallel_for(size_t{0}, slabCount, [&](size_t s) {
        simplifySlab(mesh, trianglesOfSlab[s], ratio, slabs[s]);
    });
    std::vector<uint32_t> joined;
    size_t joinedCount = 0;
    for (const Slab& slab : slabs) {
        joinedCount += slab.indices.size();
    }
    // Reserved whole, and each slab let go once copied: never a doubling of the largest table.
    joined.reserve(joinedCount);
    absoluteError = 0.0;
    for (Slab& slab : slabs) {
        joined.insert(joined.end(), slab.indices.begin(), slab.indices.end());
        std::vector<uint32_t>().swap(slab.indices);
        absoluteError = std::fmax(absoluteError, slab.absoluteError);
    }
    return joined;
}

}  // namespace

bool simplifyJoined(IndexedMesh& mesh, size_t targetTriangles, double earlierError,
                    bool slabsFirst, SimplifyReport& report, std::string& error) {
    report.absoluteError = earlierError;
    // An empty result of the chunks has no vertices at all.
    if (mesh.vertices.empty()) {
        report.triangleCountAfter = 0;
        return true;
    }
    const float* positions = &mesh.vertices[0].position.x;  // again once the vertices move
    const double scale =
        meshopt_simplifyScale(positions, mesh.vertices.size(), sizeof(WeldedVertex));
    try {
        // The deviations of the passes add up at most.
        if (slabsFirst && mesh.indices.size() / 3 > targetTriangles &&
            mesh.indices.size() / 3 >= 2 * kSlabTriangles) {
            double slabError = 0.0;
            const double ratio = static_cast<double>(targetTriangles) /
                                 static_cast<double>(mesh.indices.size() / 3);
            mesh.indices = simplifySlabs(mesh, ratio, slabError);
            report.absoluteError += slabError;
            // The whole pass's tables grow with the vertex count: only the vertices still used.
            compactVertices(mesh);
            positions = &mesh.vertices[0].position.x;
        }
        if (mesh.indices.size() / 3 > targetTriangles &&
            mesh.indices.size() / 3 <= kWholePassMaxTriangles) {
            std::vector<uint32_t> simplified(mesh.indices.size());
            float relativeError = 0.0f;
            simplified.resize(meshopt_simplify(simplified.data(), mesh.indices.data(),
                                               mesh.indices.size(), positions,
                                               mesh.vertices.size(), sizeof(WeldedVertex),
                                               3 * targetTriangles, kSimplifyNoErrorLimit, 0,
                                               &relativeError));
            simplified.shrink_to_fit();
            mesh.indices.swap(simplified);
            report.absoluteError += static_cast<double>(relativeError) * scale;
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to simplify " + std::to_string(report.triangleCountBefore) +
                " triangles";
        return false;
    }
    report.relativeError = scale > 0.0 ? report.absoluteError / scale : 0.0;
    report.triangleCountAfter = static_cast<int64_t>(mesh.indices.size() / 3);
    return true;
}

bool simplifyMesh(IndexedMesh& mesh, double ratio, SimplifyReport& report, std::string& error) {
    report = SimplifyReport();
    report.triangleCountBefore = static_cast<int64_t>(mesh.indices.size() / 3);
    const size_t targetTriangles = static_cast<size_t>(
        std::llround(ratio * static_cast<double>(report.triangleCountBefore)));
    return simplifyJoined(mesh, targetTriangles, 0.0, true, report, error);
}
