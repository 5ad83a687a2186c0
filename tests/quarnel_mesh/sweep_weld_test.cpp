// The sweep weld and what is built on it, against the whole-file weld: the same indices, the same
// vertices, the same topology and the same PLY, OBJ and glb bytes, whatever the chunks and the
// order of the file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/edit/topology.h"
#include "quarnel_mesh/formats/glb.h"
#include "quarnel_mesh/formats/obj.h"
#include "quarnel_mesh/formats/ply.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "support/mesh_test_util.h"

namespace {

// A column of `count` unit cubes, the lowest first: neighbours share the corners of a face.
std::vector<TriangleRecord> cubeColumn(int count) {
    std::vector<TriangleRecord> records;
    for (int level = 0; level < count; ++level) {
        for (TriangleRecord record : unitCubeRecords()) {
            for (Vec3f& v : record.vertices) {
                v.z += static_cast<float>(level);
            }
            records.push_back(record);
        }
    }
    return records;
}

struct Swept {
    std::vector<uint32_t> indices;
    std::vector<WeldedVertex> vertices;  // in the order handed on
    SweepResult result;
    bool laterUseOfAFinalVertex = false;
};

// Sweeps `path` in chunks of `chunkRecords`, checking each triangle's window on the way; the
// last of `passes` sweeps in one window.
Swept sweep(const std::string& path, size_t chunkRecords, int passes = 1) {
    Swept swept;
    RecordReader reader;
    std::string error;
    Progress quiet;
    EXPECT_TRUE(openRecordFile(path, reader, error)) << error;
    if (chunkRecords < reader.chunk.size()) {
        reader.chunk.resize(chunkRecords);
    }
    SweepPlan plan;
    EXPECT_TRUE(planSweep(reader, plan, quiet, 0, error)) << error;
    SweepConsumer consumer;
    consumer.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
        for (int64_t i = 0; i < 3 * triangles.triangleCount; ++i) {
            const uint32_t index = triangles.indices[i];
            swept.laterUseOfAFinalVertex |= index < swept.vertices.size();
            EXPECT_GE(index, triangles.windowFirstIndex);
            swept.indices.push_back(index);
        }
        return true;
    };
    consumer.onVertices = [&](const WeldedVertex* vertices, int64_t count, int64_t firstIndex,
                              std::string&) {
        EXPECT_EQ(firstIndex, static_cast<int64_t>(swept.vertices.size()));
        swept.vertices.insert(swept.vertices.end(), vertices, vertices + count);
        return true;
    };
    VertexWelder window;
    for (int pass = 0; pass < passes; ++pass) {
        swept = Swept();
        EXPECT_TRUE(sweepWeld(reader, plan, window, consumer, swept.result, quiet, 0, error))
            << error;
    }
    return swept;
}

IndexedMesh loadWhole(const std::string& path) {
    RecordReader reader;
    IndexedMesh mesh;
    std::string error;
    Progress quiet;
    EXPECT_TRUE(openRecordFile(path, reader, error) && loadIndexedMesh(reader, mesh, quiet, error))
        << error;
    return mesh;
}

bool sameWelded(const std::vector<WeldedVertex>& a, const std::vector<WeldedVertex>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t v = 0; v < a.size(); ++v) {
        if (std::memcmp(&a[v].position, &b[v].position, 12) != 0 ||
            std::memcmp(a[v].rgb, b[v].rgb, 3) != 0) {
            return false;
        }
    }
    return true;
}

Topology sweepTopologyOf(const std::string& path, size_t chunkRecords) {
    RecordReader reader;
    std::string error;
    Progress quiet;
    SweepPlan plan;
    Topology topology;
    EXPECT_TRUE(openRecordFile(path, reader, error)) << error;
    if (chunkRecords < reader.chunk.size()) {
        reader.chunk.resize(chunkRecords);
    }
    EXPECT_TRUE(planSweep(reader, plan, quiet, 0, error) &&
                sweepTopology(reader, plan, topology, quiet, 0, error))
        << error;
    return topology;
}

void expectSameTopology(const std::string& path, size_t chunkRecords, const std::string& label) {
    Topology whole;
    std::string error;
    ASSERT_TRUE(computeTopology(loadWhole(path), whole, error)) << error;
    const Topology swept = sweepTopologyOf(path, chunkRecords);
    EXPECT_EQ(swept.vertexCount, whole.vertexCount) << label;
    EXPECT_EQ(swept.edgeCount, whole.edgeCount) << label;
    EXPECT_EQ(swept.faceCount, whole.faceCount) << label;
    EXPECT_EQ(swept.boundaryEdgeCount, whole.boundaryEdgeCount) << label;
    EXPECT_EQ(swept.nonManifoldEdgeCount, whole.nonManifoldEdgeCount) << label;
    EXPECT_EQ(swept.pieceCount, whole.pieceCount) << label;
    // Bit for bit: the same faces summed in the same order.
    EXPECT_EQ(std::memcmp(&swept.signedVolume, &whole.signedVolume, sizeof(double)), 0)
        << label << ": " << swept.signedVolume << " != " << whole.signedVolume;
}

// The bytes of PLY or OBJ (`writer`) swept from the records (chunks of `chunkRecords`) and from
// the mesh loaded in memory, both written to `outputPath`, which names the OBJ's material.
std::pair<std::string, std::string> sharedBytes(const std::string& path, WriteMesh writer,
                                                size_t chunkRecords,
                                                const std::string& outputPath) {
    RecordReader reader;
    RunContext run;
    EXPECT_TRUE(openRecordFile(path, reader, run.error)) << run.error;
    if (chunkRecords < reader.chunk.size()) {
        reader.chunk.resize(chunkRecords);
    }
    std::string bytes[2];
    for (int inMemory = 0; inMemory < 2; ++inMemory) {
        AtomicOutput output;
        AtomicOutput material;
        output.companion = &material;
        const IndexedMesh mesh = inMemory ? loadWhole(path) : IndexedMesh();
        EXPECT_TRUE(openAtomicOutput(outputPath, output) &&
                    openAtomicOutput(materialPathOf(outputPath), material));
        SweepPlan plan;
        MeshSource source;
        if (inMemory) {
            source.mesh = &mesh;
        } else {
            source.reader = &reader;
            source.plan = &plan;
        }
        const bool written = (inMemory || planSweep(reader, plan, run.progress, 0, run.error)) &&
                             writer(source, Placement(), WriteOptions(), output, run);
        EXPECT_TRUE(written && commitAtomicOutput(output)) << run.error;
        bytes[inMemory] = readFile(outputPath);
    }
    return {bytes[0], bytes[1]};
}

// The .glb bytes from the streaming writer (chunks of `chunkRecords`) and from the in-memory
// writer in the loaded mesh's order, placed as convert places it, for each of the placements
// and with and without normals: eight pairs.
std::vector<std::pair<std::string, std::string>> glbBytes(const std::string& path,
                                                          size_t chunkRecords,
                                                          const std::string& outputPath) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const Placement placement : {Placement{false, 1.0}, Placement{true, 1.0},
                                      Placement{false, 0.001}, Placement{true, 37.5}}) {
        for (const bool normals : {false, true}) {
            const GlbOptions options = {normals, false, "source"};
            RecordReader reader;
            std::string error;
            Progress quiet;
            SweepPlan plan;
            EXPECT_TRUE(openRecordFile(path, reader, error)) << error;
            if (chunkRecords < reader.chunk.size()) {
                reader.chunk.resize(chunkRecords);
            }
            AtomicOutput streamed;
            MeshSource source;
            source.reader = &reader;
            source.plan = &plan;
            RunContext run;
            EXPECT_TRUE(
                planSweep(reader, plan, quiet, 0, error) &&
                openAtomicOutput(outputPath, streamed) &&
                writeGlbFile(source, placement, {normals, false, "source"}, streamed, run) &&
                commitAtomicOutput(streamed))
                << error << run.error;
            IndexedMesh mesh = loadWhole(path);
            pairs.emplace_back(readFile(outputPath), "");
            for (WeldedVertex& vertex : mesh.vertices) {
                vertex.position = placeVertex(vertex.position, placement);
            }
            AtomicOutput inMemory;
            EXPECT_TRUE(openAtomicOutput(outputPath, inMemory) &&
                        writeGlbInOrder(mesh, options, inMemory, error) &&
                        commitAtomicOutput(inMemory))
                << error;
            pairs.back().second = readFile(outputPath);
        }
    }
    return pairs;
}

}  // namespace

TEST(SweepWeld, IndicesAndVerticesEqualTheWholeFileWeld) {
    TempDir dir;
    const std::vector<TriangleRecord> column = cubeColumn(4);
    const std::vector<TriangleRecord> reversed(column.rbegin(), column.rend());
    std::vector<TriangleRecord> odd = cubeColumn(2);
    // -0 and +0 are one vertex, in another chunk and with another colour; non-finite triangles
    // are left out wherever they fall.
    odd.insert(odd.begin() + 3, makeRecord({0, 0, -0.0f}, {kNaN, 0, 0}, {0, 1, 0}));
    odd.insert(odd.begin(), makeRecord({0, 0, -0.0f}, {1, 0, -0.0f}, {0, 1, 0}, {0, 0, 1}));
    odd.push_back(makeRecord({kInf, 0, 0}, {1, 0, 0}, {0, 1, 0}));
    odd.push_back(makeRecord({0, 0, 0}, {1, 0, 0}, {0, 1, 0}));
    const std::vector<std::pair<std::string, std::vector<TriangleRecord>>> files = {
        {"cube", unitCubeRecords()}, {"column", column}, {"reversed", reversed}, {"odd", odd}};
    for (const auto& [name, records] : files) {
        const std::string path = writeMeshFile(dir, name + ".v3c1", records);
        const IndexedMesh whole = loadWhole(path);
        for (const size_t chunkRecords : {1, 2, 5, 12, 1000}) {
            const std::string label = name + " in chunks of " + std::to_string(chunkRecords);
            const Swept swept = sweep(path, chunkRecords);
            EXPECT_EQ(swept.indices, whole.indices) << label;
            EXPECT_TRUE(sameWelded(swept.vertices, whole.vertices)) << label;
            EXPECT_FALSE(swept.laterUseOfAFinalVertex) << label;
            EXPECT_EQ(swept.result.vertexCount, static_cast<int64_t>(whole.vertices.size()));
            EXPECT_EQ(swept.result.nonFiniteTriangles, whole.nonFiniteTriangles) << label;
            EXPECT_TRUE(sameFloats(swept.result.color, whole.color)) << label;
            expectSameTopology(path, chunkRecords, label);
            for (const WriteMesh writer : {writePly, writeObj}) {
                const auto [streamed, inMemory] =
                    sharedBytes(path, writer, chunkRecords, dir.file("out.obj"));
                EXPECT_EQ(streamed, inMemory) << label;
            }
            for (const auto& [streamed, inMemory] :
                 glbBytes(path, chunkRecords, dir.file("o.glb"))) {
                EXPECT_TRUE(streamed == inMemory) << label;
                EXPECT_GT(streamed.size(), 500u) << label;
            }
        }
    }
}

TEST(SweepWeld, WindowForgetsWhatIsBelowTheRestOfAnOrderedFile) {
    TempDir dir;
    // 4000 cubes of 8 corners, 4 shared with the next: 16004 vertices. A file in z order stays
    // within the window's first table (4096 vertices); the same file reversed keeps them all.
    const std::vector<TriangleRecord> column = cubeColumn(4000);
    const std::vector<TriangleRecord> reversed(column.rbegin(), column.rend());
    const Swept ordered = sweep(writeMeshFile(dir, "column.v3c1", column), 12);
    EXPECT_EQ(ordered.result.vertexCount, 16004);
    EXPECT_LE(ordered.result.peakWindowVertices, 4096);
    const Swept backwards = sweep(writeMeshFile(dir, "reversed.v3c1", reversed), 12);
    EXPECT_EQ(backwards.result.peakWindowVertices, 16004);
    // A window kept from an earlier sweep, its tables grown, welds as a new one.
    for (const auto& [name, once] : {std::pair<std::string, const Swept&>{"column", ordered},
                                     {"reversed", backwards}}) {
        const Swept again = sweep(dir.file(name + ".v3c1"), 12, 2);
        EXPECT_EQ(again.indices, once.indices) << name;
        EXPECT_TRUE(sameWelded(again.vertices, once.vertices)) << name;
    }
}

TEST(SweepWeld, TopologyPlyObjAndGlbEqualTheInMemoryPathAtPresetsZeroToTwo) {
    TempDir dir;
    for (const char* preset : {"0", "1", "2"}) {
        ASSERT_EQ(runProcess(QUARNEL_EXE, {preset}, dir.path).exitStatus, 0);
    }
    TempDir out;
    for (const std::string& name : listDir(dir.path)) {
        expectSameTopology(dir.file(name), kRecordChunkCount, name);
        if (name == "quarnel_0.97m.v3c1") {
            continue;  // preset 2: topology only, to keep the run short
        }
        for (const WriteMesh writer : {writePly, writeObj}) {
            const auto [streamed, inMemory] =
                sharedBytes(dir.file(name), writer, kRecordChunkCount, out.file("out.obj"));
            EXPECT_TRUE(streamed == inMemory) << name;
            EXPECT_GT(streamed.size(), 100000u) << name;
        }
        for (const auto& [streamed, inMemory] :
             glbBytes(dir.file(name), kRecordChunkCount, out.file("out.glb"))) {
            EXPECT_TRUE(streamed == inMemory) << name;
            EXPECT_GT(streamed.size(), 100000u) << name;
        }
    }
}
