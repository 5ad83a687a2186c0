// The pieces' filter over sweeps against the whole mesh in memory, where every face of the body
// is tried against every probe: the same triangles kept, in the same order, the same report.
#include <gtest/gtest.h>

#include <vector>

#include "io/record_reader.h"
#include "quarnel_mesh/edit/islands.h"
#include "quarnel_mesh/edit/topology.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "support/mesh_test_util.h"

namespace {

// --drop-islands `minFaces` and --body on the loaded mesh, by brute force: the triangles kept.
std::vector<uint32_t> keptInMemory(const IndexedMesh& mesh, int64_t minFaces, BodyReport& report) {
    std::vector<uint32_t> label;
    labelPieces(mesh, label);
    const size_t n = mesh.vertices.size();
    std::vector<int64_t> faces(n, 0);
    std::vector<double> volume(n, 0.0);
    const auto at = [&](size_t i) { return toVec3d(mesh.vertices[mesh.indices[i]].position); };
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        ++faces[label[mesh.indices[i]]];
        volume[label[mesh.indices[i]]] += dot(at(i), cross(at(i + 1), at(i + 2))) / 6.0;
    }
    size_t body = 0;
    for (size_t p = 0; p < n; ++p) {
        body = faces[p] >= minFaces && (faces[body] < minFaces || faces[p] > faces[body]) ? p : body;
        report.pieceCount += faces[p] >= minFaces ? 1 : 0;
    }
    report.bodyFaceCount = faces[body];
    std::vector<int> asked(n, 0), votes(n, 0);
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        const uint32_t p = label[mesh.indices[i]];
        if (p == body || faces[p] < minFaces || !(volume[p] < 0.0) || asked[p] == 3) {
            continue;
        }
        ++asked[p];
        int crossings = 0;
        for (size_t j = 0; j < mesh.indices.size(); j += 3) {
            crossings += label[mesh.indices[j]] == body &&
                         rayCrossesTriangle(at(j), at(j + 1), at(j + 2), at(i));
        }
        votes[p] += crossings % 2;
    }
    std::vector<uint32_t> kept;
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        const uint32_t p = label[mesh.indices[i]];
        const bool keep = p == body || (faces[p] >= minFaces && 2 * votes[p] > asked[p]);
        if (keep) {
            kept.insert(kept.end(), &mesh.indices[i], &mesh.indices[i] + 3);
        }
    }
    for (size_t p = 0; p < n; ++p) {
        const bool isVoid = p != body && faces[p] >= minFaces && 2 * votes[p] > asked[p];
        report.voidCount += isVoid ? 1 : 0;
        const bool dropped = faces[p] >= minFaces && p != body && !isVoid;
        report.droppedPieceCount += dropped ? 1 : 0;
        report.droppedFaceCount += dropped ? faces[p] : 0;
    }
    return kept;
}

TEST(PieceFilter, KeepsWhatTheWholeMeshInMemoryKeepsAtPresetsZeroAndOne) {
    TempDir dir;
    for (const char* preset : {"0", "1"}) {
        ASSERT_EQ(runProcess(QUARNEL_EXE, {preset}, dir.path).exitStatus, 0);
    }
    for (const std::string& name : listDir(dir.path)) {
        for (const int64_t minFaces : {1, 100}) {
            RecordReader reader;
            std::string error;
            Progress quiet;
            IndexedMesh whole;
            ASSERT_TRUE(openRecordFile(dir.file(name), reader, error) &&
                        loadIndexedMesh(reader, whole, quiet, error));
            BodyReport expected;
            const std::vector<uint32_t> kept = keptInMemory(whole, minFaces, expected);
            IslandReport islands;
            BodyReport body;
            RunContext run;
            IndexedMesh filtered;
            ASSERT_TRUE(filterPieces(reader, {minFaces, true}, islands, body, run) &&
                        loadIndexedMesh(reader, filtered, quiet, error))
                << error;
            // The kept triangles' vertices, in the order they are first used, are the loaded
            // mesh's with the others left out.
            ASSERT_EQ(filtered.indices.size(), kept.size()) << name << minFaces;
            size_t apart = 0;
            for (size_t i = 0; i < kept.size(); ++i) {
                apart += !sameFloats(filtered.vertices[filtered.indices[i]].position,
                                     whole.vertices[kept[i]].position);
            }
            EXPECT_EQ(apart, 0u) << name;
            EXPECT_TRUE(minFaces > 1 || body.voidCount > 0) << name;  // the voids are small
            EXPECT_EQ(body.pieceCount, expected.pieceCount) << name;
            EXPECT_EQ(body.bodyFaceCount, expected.bodyFaceCount) << name;
            EXPECT_EQ(body.voidCount, expected.voidCount) << name;
            EXPECT_EQ(body.droppedPieceCount, expected.droppedPieceCount) << name;
            EXPECT_EQ(body.droppedFaceCount, expected.droppedFaceCount) << name;
        }
    }
}

}  // namespace
