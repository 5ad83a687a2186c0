// quarnel-mesh info, run as a user runs it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/mesh_test_util.h"

TEST(MeshInfo, ReportsCountsBoxAndChecksOfACube) {
    TempDir dir;
    const std::string path = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    const ProcessResult run = runMesh({"info", path});
    EXPECT_EQ(run.out, "file:             " + path + "\n"
                       "size:             576 bytes, a whole number of 48-byte records\n"
                       "triangles:        12\n"
                       "bounding box:     x 0 .. 1, y 0 .. 1, z 0 .. 1\n"
                       "non-finite:       0 vertices, left out of the bounding box\n"
                       "standard colour:  12 of 12 records\n"
                       "repeated vertex:  0 triangles with two equal vertices\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(MeshInfo, CountsNonFiniteAndRepeatedVerticesAndOtherColours) {
    TempDir dir;
    const float justAbove04 = std::nextafter(0.4f, 1.0f);
    const std::string path = writeMeshFile(
        dir, "odd.v3c1",
        {makeRecord({1, 0, 2}, {1, -0.0f, 2}, {2, 3, 4}),  // -0 and +0 are one vertex
         makeRecord({kNaN, 0, 0}, {1, 1, 1}, {kInf, 0, 0}, {1, 0, 0}),
         makeRecord({5, -1, 3}, {6, -1, 3}, {5, -2, 3}, {1, 0.8f, justAbove04})});
    const ProcessResult run = runMesh({"info", path});
    EXPECT_NE(run.out.find("triangles:        3\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("bounding box:     x 1 .. 6, y -2 .. 3, z 1 .. 4\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("non-finite:       2 vertices"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("standard colour:  1 of 3 records\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("repeated vertex:  1 triangles"), std::string::npos) << run.out;
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(MeshInfo, RejectsMissingFoldersAndPartialRecords) {
    TempDir dir;
    const std::string partial = dir.file("partial.v3c1");
    writeFile(partial, recordBytes(unitCubeRecords()).substr(0, 100));
    const std::string missing = dir.file("missing.v3c1");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {missing, "cannot open " + missing + ": No such file or directory"},
        {dir.path, "cannot read " + dir.path + ": not a regular file"},
        {partial, partial + ": size 100 bytes is not a whole number of 48-byte records "
                            "(2 records and 4 bytes over)"},
    };
    for (const auto& [path, message] : cases) {
        const ProcessResult run = runMesh({"info", path});
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "quarnel-mesh: " + message + "\n");
        EXPECT_EQ(run.exitStatus, 1);
    }
}

TEST(MeshInfo, TopologyTellsClosedFromOpenAndCountsPieces) {
    TempDir dir;
    const std::vector<TriangleRecord> cube = unitCubeRecords();
    std::vector<TriangleRecord> twoCubes = cube;
    for (TriangleRecord record : cube) {
        for (Vec3f& v : record.vertices) {
            v.x += 3.0f;
        }
        twoCubes.push_back(record);
    }
    // Two cubes touching along the edge (1,1,0)-(1,1,1): four faces there, nothing open.
    std::vector<TriangleRecord> touching = cube;
    for (TriangleRecord record : cube) {
        for (Vec3f& v : record.vertices) {
            v.x += 1.0f;
            v.y += 1.0f;
        }
        touching.push_back(record);
    }
    const std::vector<TriangleRecord> open(cube.begin(), cube.end() - 1);
    // Three faces on the edge (0,0,0)-(1,0,0).
    const std::vector<TriangleRecord> fan = {makeRecord({0, 0, 0}, {1, 0, 0}, {0, 1, 0}),
                                             makeRecord({1, 0, 0}, {0, 0, 0}, {0, -1, 0}),
                                             makeRecord({0, 0, 0}, {1, 0, 0}, {0, 0, 1})};
    // Euler characteristic V - E + F: 2 for a sphere-like surface, 1 with one face missing.
    const std::vector<std::pair<std::vector<TriangleRecord>, std::string>> cases = {
        {cube, "closed:           yes, 0 boundary edges, 0 non-manifold edges\n"
               "pieces:           1\n"
               "euler:            2 (8 vertices - 18 edges + 12 faces)\n"
               "signed volume:    1\n"},
        {twoCubes, "closed:           yes, 0 boundary edges, 0 non-manifold edges\n"
                   "pieces:           2\n"
                   "euler:            4 (16 vertices - 36 edges + 24 faces)\n"
                   "signed volume:    2\n"},
        {touching, "closed:           yes, 0 boundary edges, 1 non-manifold edges\n"
                   "pieces:           1\n"
                   "euler:            3 (14 vertices - 35 edges + 24 faces)\n"
                   "signed volume:    2\n"},
        {open, "closed:           no, 3 boundary edges, 0 non-manifold edges (no open edges close "
               "within 9.5e-07 of each other)\n"
               "pieces:           1\n"
               "euler:            1 (8 vertices - 18 edges + 11 faces)\n"
               "signed volume:    0.833333333\n"},
        {fan, "closed:           no, 6 boundary edges, 1 non-manifold edges (no open edges close "
              "within 1.9e-06 of each other)\n"
              "pieces:           1\n"
              "euler:            1 (5 vertices - 7 edges + 3 faces)\n"
              "signed volume:    0\n"},
        // Nothing with an area is no closed surface.
        {{makeRecord({kNaN, 0, 0}, {1, 0, 0}, {0, 1, 0}), makeRecord({1, 2, 3}, {1, 2, 3}, {0, 0, 1})},
         "closed:           no surface (no triangle with three distinct finite vertices)\n"},
    };
    for (const auto& [records, topology] : cases) {
        const std::string path = writeMeshFile(dir, "mesh.v3c1", records);
        const ProcessResult run = runMesh({"info", path, "--topology"});
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        const size_t at = run.out.find("closed:");
        ASSERT_NE(at, std::string::npos) << run.out;
        EXPECT_EQ(run.out.substr(at), topology);
        // Without the option, info stays as it was.
        EXPECT_EQ(runMesh({"info", path}).out, run.out.substr(0, at));
    }
}
