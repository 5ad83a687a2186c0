// quarnel-mesh info, run as a user runs it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quarnel_mesh/quarnel_mesh.h"
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
