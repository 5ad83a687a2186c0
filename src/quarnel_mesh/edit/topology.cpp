// Mesh topology by sorting: every triangle side becomes an undirected edge key, and the run
// lengths of the sorted keys give boundary (one face) and non-manifold (three or more) edges.
// Pieces come from a union-find over the vertices. The sweep sorts the edges in batches instead
// and counts those whose lower vertex is final.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#include "quarnel_mesh/edit/topology.h"

namespace {

uint64_t edgeKey(uint32_t a, uint32_t b) {
    return a < b ? (static_cast<uint64_t>(a) << 32) | b : (static_cast<uint64_t>(b) << 32) | a;
}

// Adds the runs of sorted keys in [begin, end) to the edge counts.
void countEdgeRuns(const uint64_t* begin, const uint64_t* end, Topology& topology) {
    for (const uint64_t* start = begin; start < end;) {
        const uint64_t* runEnd = start + 1;
        while (runEnd < end && *runEnd == *start) {
            ++runEnd;
        }
        ++topology.edgeCount;
        topology.oddEdgeCount += (runEnd - start) % 2;
        if (runEnd - start == 1) {
            ++topology.boundaryEdgeCount;
        } else if (runEnd - start > 2) {
            ++topology.nonManifoldEdgeCount;
        }
        start = runEnd;
    }
}

// The sweep's edges: `pending` sorted, `fresh` as they came. Keys sort by their lower vertex
// first, so the edges no later face can join (lower vertex final) are a prefix of `pending`.
struct SweepEdges {
    std::vector<uint64_t> pending;
    std::vector<uint64_t> fresh;
};

// Sorts `fresh` into `pending` and counts the edges whose lower vertex is below `finalBelow`.
void countFinalEdges(SweepEdges& edges, uint64_t finalBelow, Topology& topology) {
    std::sort(edges.fresh.begin(), edges.fresh.end());
    size_t sortedLeft = edges.pending.size();
    size_t freshLeft = edges.fresh.size();
    const size_t mergedCount = sortedLeft + freshLeft;
    // Growth by a quarter, not a doubling: this table is most of the memory.
    if (edges.pending.capacity() < mergedCount) {
        edges.pending.reserve(mergedCount + mergedCount / 4);
    }
    edges.pending.resize(mergedCount);
    // Merged from the back into the room behind the sorted keys: no second buffer.
    for (size_t to = mergedCount; freshLeft > 0;) {
        if (sortedLeft > 0 && edges.pending[sortedLeft - 1] > edges.fresh[freshLeft - 1]) {
            edges.pending[--to] = edges.pending[--sortedLeft];
        } else {
            edges.pending[--to] = edges.fresh[--freshLeft];
        }
    }
    edges.fresh.clear();
    const auto finalEnd =
        finalBelow > UINT32_MAX
            ? edges.pending.end()
            : std::lower_bound(edges.pending.begin(), edges.pending.end(), finalBelow << 32);
    countEdgeRuns(edges.pending.data(), edges.pending.data() + (finalEnd - edges.pending.begin()),
                  topology);
    edges.pending.erase(edges.pending.begin(), finalEnd);
}

}  // namespace

int64_t labelPieces(const IndexedMesh& mesh, std::vector<uint32_t>& pieceOfVertex) {
    pieceOfVertex.resize(mesh.vertices.size());
    for (size_t v = 0; v < pieceOfVertex.size(); ++v) {
        pieceOfVertex[v] = static_cast<uint32_t>(v);
    }
    std::vector<bool> used(mesh.vertices.size(), false);
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        joinPieces(pieceOfVertex, mesh.indices[i], mesh.indices[i + 1]);
        joinPieces(pieceOfVertex, mesh.indices[i], mesh.indices[i + 2]);
        used[mesh.indices[i]] = true;
    }
    int64_t pieceCount = 0;
    for (size_t v = 0; v < pieceOfVertex.size(); ++v) {
        pieceOfVertex[v] = findPieceRoot(pieceOfVertex, static_cast<uint32_t>(v));
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
    countEdgeRuns(edges.data(), edges.data() + edges.size(), topology);
    return true;
}

bool sweepTopology(RecordReader& reader, const SweepPlan& plan, Topology& topology,
                   Progress& progress, int64_t doneBefore, std::string& error) {
    topology = Topology();
    std::vector<uint32_t> parent;
    SweepEdges edges;
    int64_t joinCount = 0;  // joins of two pieces: every vertex starts as a piece of its own
    // A batch of a quarter of what is pending keeps the merges linear in the edge count (each
    // key moves about four times) and the batch small beside the table.
    constexpr size_t kLeastBatchEdges = size_t{1} << 20;
    SweepConsumer consumer;
    consumer.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
        for (int64_t t = 0; t < triangles.triangleCount; ++t) {
            const uint32_t* corner = &triangles.indices[3 * t];
            for (int c = 0; c < 3; ++c) {
                while (parent.size() <= corner[c]) {
                    parent.push_back(static_cast<uint32_t>(parent.size()));
                }
            }
            // As labelPieces, degenerate triangles join their vertices too.
            for (int c = 1; c < 3; ++c) {
                const uint32_t rootA = findPieceRoot(parent, corner[0]);
                const uint32_t rootB = findPieceRoot(parent, corner[c]);
                if (rootA != rootB) {
                    ++joinCount;
                    parent[std::max(rootA, rootB)] = std::min(rootA, rootB);
                }
            }
            // As computeTopology: a triangle with two equal vertices is no face.
            if (corner[0] == corner[1] || corner[1] == corner[2] || corner[2] == corner[0]) {
                continue;
            }
            ++topology.faceCount;
            for (int side = 0; side < 3; ++side) {
                edges.fresh.push_back(edgeKey(corner[side], corner[(side + 1) % 3]));
            }
            const WeldedVertex* window = triangles.window - triangles.windowFirstIndex;
            const Vec3d v0 = toVec3d(window[corner[0]].position);
            const Vec3d v1 = toVec3d(window[corner[1]].position);
            const Vec3d v2 = toVec3d(window[corner[2]].position);
            topology.signedVolume += dot(v0, cross(v1, v2)) / 6.0;
        }
        return true;
    };
    consumer.onVertices = [&](const WeldedVertex*, int64_t count, int64_t firstIndex,
                              std::string&) {
        if (edges.fresh.size() >= std::max(edges.pending.size() / 4, kLeastBatchEdges)) {
            countFinalEdges(edges, static_cast<uint64_t>(firstIndex + count), topology);
        }
        return true;
    };
    SweepResult result;
    try {
        // A closed surface has about half a vertex per face: room for that and a little more
        // up front, so that the table never doubles (for a moment, three times its size) at
        // the end of a large file.
        const int64_t faceBound = plan.finiteTriangleCount;
        parent.reserve(static_cast<size_t>(faceBound / 2 + faceBound / 64 + 4096));
        if (!sweepWeld(reader, plan, consumer, result, progress, doneBefore, error)) {
            return false;
        }
        countFinalEdges(edges, UINT64_C(1) << 32, topology);
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the topology tables";
        return false;
    }
    topology.vertexCount = result.vertexCount;
    topology.pieceCount = result.vertexCount - joinCount;
    return true;
}
