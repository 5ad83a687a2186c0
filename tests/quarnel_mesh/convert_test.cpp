// quarnel-mesh convert, run as a user runs it, plus a few library calls for what the command
// line cannot reach (the weld memory limit, the facet normal of odd triangles).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quarnel_mesh/commands/convert.h"
#include "quarnel_mesh/formats/stl.h"
#include "support/mesh_test_util.h"

namespace {

const char kStlHeaderText[] = "binary STL written by quarnel-mesh";
const char kNameIt[] = ": name it .stl, .ply, .obj, .glb or .3mf";

}  // namespace

TEST(MeshConvert, StlOfOneTriangleHasExactBytes) {
    TempDir dir;
    // (4, 0, 0) x (0, 3, 4) = (0, -16, 12), length 20: the normal is (0, -0.8, 0.6).
    const std::string input = writeMeshFile(dir, "one.v3c1", {makeRecord({0, 0, 0}, {4, 0, 0},
                                                                         {0, 3, 4})});
    const ProcessResult run = runMesh({"convert", input, dir.file("one.stl")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::string expected(80, '\0');
    expected.replace(0, sizeof kStlHeaderText - 1, kStlHeaderText);
    expected += bytesFromHex(
        "01 00 00 00"                          // one facet
        "00 00 00 00  cd cc 4c bf  9a 99 19 3f"  // normal 0, -0.8, 0.6
        "00 00 00 00  00 00 00 00  00 00 00 00"  // (0, 0, 0)
        "00 00 80 40  00 00 00 00  00 00 00 00"  // (4, 0, 0)
        "00 00 00 00  00 00 40 40  00 00 80 40"  // (0, 3, 4)
        "00 00");                              // attribute
    EXPECT_EQ(readFile(dir.file("one.stl")), expected);
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"one.stl", "one.v3c1"}));
}

TEST(MeshConvert, StlNormalsOfACubePointOutOfIt) {
    TempDir dir;
    const std::vector<TriangleRecord> cube = unitCubeRecords();
    const std::string input = writeMeshFile(dir, "cube.v3c1", cube);
    ASSERT_EQ(runMesh({"convert", input, dir.file("cube.STL")}).exitStatus, 0);
    const std::string stl = readFile(dir.file("cube.STL"));
    ASSERT_EQ(stl.size(), 84u + 12u * 50u);
    EXPECT_NE(stl.substr(0, 5), "solid");  // the mark of the text form
    EXPECT_EQ(uint32At(stl, 80), 12u);
    const Vec3f outward[6] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
    for (size_t t = 0; t < 12; ++t) {
        const size_t facet = 84 + 50 * t;
        const Vec3f normal = {floatAt(stl, facet), floatAt(stl, facet + 4),
                              floatAt(stl, facet + 8)};
        EXPECT_TRUE(sameFloats(normal, outward[t / 2])) << "facet " << t;
        for (size_t v = 0; v < 3; ++v) {
            const size_t at = facet + 12 + 12 * v;
            EXPECT_TRUE(sameFloats({floatAt(stl, at), floatAt(stl, at + 4), floatAt(stl, at + 8)},
                                   cube[t].vertices[v]))
                << "facet " << t << " vertex " << v;
        }
        EXPECT_EQ(stl.substr(facet + 48, 2), std::string(2, '\0'));
    }
}

TEST(MeshConvert, FacetNormalOfADegenerateOrNonFiniteTriangleIsZero) {
    const TriangleRecord triangles[] = {
        makeRecord({1, 2, 3}, {1, 2, 3}, {4, 5, 6}),          // two equal vertices
        makeRecord({0, 0, 0}, {1, 1, 1}, {2, 2, 2}),          // on one line
        makeRecord({kNaN, 0, 0}, {1, 0, 0}, {0, 1, 0}),
        makeRecord({kInf, 0, 0}, {1, 0, 0}, {0, 1, 0}),
    };
    for (const TriangleRecord& triangle : triangles) {
        const Vec3f normal = facetNormal(triangle);
        EXPECT_TRUE(sameFloats(normal, {0, 0, 0}));
    }
    // Far beyond float range once squared: the normal is still the unit vector.
    const float big = 3e38f;
    EXPECT_TRUE(sameFloats(facetNormal(makeRecord({0, 0, 0}, {big, 0, 0}, {0, big, 0})),
                           {0, 0, 1}));
}

TEST(MeshConvert, PlyOfACubeSharesItsEightCorners) {
    TempDir dir;
    const std::vector<TriangleRecord> cube = unitCubeRecords();
    const std::string input = writeMeshFile(dir, "cube.v3c1", cube);
    const ProcessResult run = runMesh({"convert", input, dir.file("cube.ply")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string header =
        "ply\n"
        "format binary_little_endian 1.0\n"
        "comment written by quarnel-mesh\n"
        "element vertex 8\n"
        "property float x\n"
        "property float y\n"
        "property float z\n"
        "property uchar red\n"
        "property uchar green\n"
        "property uchar blue\n"
        "element face 12\n"
        "property list uchar uint vertex_indices\n"
        "end_header\n";
    const std::string ply = readFile(dir.file("cube.ply"));
    ASSERT_EQ(ply.size(), header.size() + 8 * 15 + 12 * 13);
    EXPECT_EQ(ply.substr(0, header.size()), header);
    std::vector<Vec3f> vertices;
    for (size_t v = 0; v < 8; ++v) {
        const size_t at = header.size() + 15 * v;
        vertices.push_back({floatAt(ply, at), floatAt(ply, at + 4), floatAt(ply, at + 8)});
        EXPECT_EQ(ply.substr(at + 12, 3), bytesFromHex("ff cc 66"));  // 255, 204, 102
    }
    for (size_t t = 0; t < 12; ++t) {
        const size_t at = header.size() + 8 * 15 + 13 * t;
        EXPECT_EQ(ply[at], 3);
        for (size_t v = 0; v < 3; ++v) {
            const uint32_t index = uint32At(ply, at + 1 + 4 * v);
            ASSERT_LT(index, 8u);
            EXPECT_TRUE(sameFloats(vertices[index], cube[t].vertices[v]))
                << "face " << t << " vertex " << v;
        }
    }
}

TEST(MeshConvert, SharedVerticesTakeNegativeAndPositiveZeroAsOne) {
    TempDir dir;
    // Two triangles on the edge (0,0,0)-(1,0,0), written with -0 in the second.
    const std::string input = writeMeshFile(
        dir, "pair.v3c1",
        {makeRecord({0, 0, 0}, {1, 0, 0}, {0, 1, 0}),
         makeRecord({1, -0.0f, 0}, {-0.0f, 0, -0.0f}, {0, -1, 0})});
    ASSERT_EQ(runMesh({"convert", input, dir.file("pair.ply")}).exitStatus, 0);
    EXPECT_NE(readFile(dir.file("pair.ply")).find("element vertex 4\n"), std::string::npos);
    ASSERT_EQ(runMesh({"convert", input, dir.file("pair.obj")}).exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("pair.obj")),
              "# written by quarnel-mesh: 4 vertices, 2 faces\n"
              "mtllib pair.mtl\no quarnel\nusemtl quarnel\n"
              "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 -1 0\nf 1 2 3\nf 2 1 4\n");
}

TEST(MeshConvert, ObjOfOneTriangleHasExactText) {
    TempDir dir;
    // A name with newlines must not put lines of its own into the file.
    const std::string input = writeMeshFile(
        dir, "in\nv 9 9 9\n#.v3c1", {makeRecord({0.1f, -2.5f, 1e-7f}, {4, 0, 0}, {0, 3, 123456.79f})});
    ASSERT_EQ(runMesh({"convert", input, dir.file("one.obj")}).exitStatus, 0);
    // Each coordinate in the fewest digits that read back as the same float.
    EXPECT_EQ(readFile(dir.file("one.obj")),
              "# written by quarnel-mesh: 3 vertices, 1 faces\n"
              "mtllib one.mtl\no quarnel\nusemtl quarnel\n"
              "v 0.1 -2.5 1e-07\nv 4 0 0\nv 0 3 123456.79\nf 1 2 3\n");
    // Its colour, in the material library beside it.
    EXPECT_EQ(readFile(dir.file("one.mtl")),
              "# written by quarnel-mesh\nnewmtl quarnel\nKd 1 0.8 0.4\n");
}

TEST(MeshConvert, ObjOfACubeHasEightVerticesAndTwelveFaces) {
    TempDir dir;
    const std::vector<TriangleRecord> cube = unitCubeRecords();
    const std::string input = writeMeshFile(dir, "cube.v3c1", cube);
    ASSERT_EQ(runMesh({"convert", input, dir.file("cube.obj")}).exitStatus, 0);
    std::vector<Vec3f> vertices;
    std::vector<std::vector<int>> faces;
    const std::string obj = readFile(dir.file("cube.obj"));
    size_t start = 0;
    while (start < obj.size()) {
        const size_t end = obj.find('\n', start);
        const std::string line = obj.substr(start, end - start);
        start = end + 1;
        Vec3f v;
        int a, b, c;
        if (std::sscanf(line.c_str(), "v %f %f %f", &v.x, &v.y, &v.z) == 3) {
            vertices.push_back(v);
        } else if (std::sscanf(line.c_str(), "f %d %d %d", &a, &b, &c) == 3) {
            faces.push_back({a, b, c});
        }
    }
    ASSERT_EQ(vertices.size(), 8u);
    ASSERT_EQ(faces.size(), 12u);
    for (size_t t = 0; t < 12; ++t) {
        for (size_t v = 0; v < 3; ++v) {
            const int index = faces[t][v];
            ASSERT_TRUE(index >= 1 && index <= 8);
            EXPECT_TRUE(sameFloats(vertices[static_cast<size_t>(index - 1)], cube[t].vertices[v]));
        }
    }
}

TEST(MeshConvert, FailuresLeaveNoOutputAndSayWhy) {
    TempDir dir;
    const std::string cube = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    const std::string partial = dir.file("partial.v3c1");
    writeFile(partial, recordBytes(unitCubeRecords()).substr(0, 47));
    const std::string missing = dir.file("missing.v3c1");
    const std::string noFolder = dir.file("no/such/folder/cube.stl");
    const std::string folderPly = dir.file("taken.ply");
    ASSERT_EQ(runProcess("/bin/mkdir", {folderPly}).exitStatus, 0);
    // An output that is the input, by its own name or through a link, would destroy it.
    const std::string same = writeMeshFile(dir, "same.stl", unitCubeRecords());
    ASSERT_EQ(symlink(same.c_str(), dir.file("soft.ply").c_str()), 0);
    ASSERT_EQ(link(same.c_str(), dir.file("hard.obj").c_str()), 0);
    const std::string material = writeMeshFile(dir, "material.mtl", unitCubeRecords());
    const std::string fifo = dir.file("fifo.v3c1");
    const std::string fifoStl = dir.file("fifo.stl");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(fifoStl.c_str(), 0644), 0);
    const std::string beyond = ": its coordinates would reach 1e+39, beyond the largest 32-bit "
                               "float (3.4e+38)";
    const std::string below = ": its smallest coordinates would shrink to 1e-300, below the "
                              "smallest normal 32-bit float (1.2e-38), and distinct vertices "
                              "would merge";
    struct Case {
        std::string input;
        std::string output;
        std::string message;
        std::vector<std::string> options = {};
    };
    const std::vector<Case> cases = {
        // At once, not waiting for a writer that never comes.
        {fifo, dir.file("fifo.ply"), "cannot read " + fifo + ": not a regular file"},
        {"/proc/self/status", dir.file("status.stl"),
         "cannot read /proc/self/status: not a regular file (its size reads 0, yet it has bytes)"},
        {cube, fifoStl, "cannot replace " + fifoStl + ": it is a FIFO; remove it or name another "
                        "output"},
        // Coordinates a float cannot hold, streamed or from memory.
        {cube, dir.file("big.stl"), "cannot scale " + cube + " to 1e+39 mm" + beyond,
         {"--size", "1e39"}},
        {cube, dir.file("big.glb"), "cannot scale " + cube + " to 1e+42 mm" + beyond,
         {"--size", "1e42"}},
        {cube, dir.file("tiny.obj"), "cannot scale " + cube + " to 1e-300 mm" + below,
         {"--size", "1e-300"}},
        {cube, dir.file("big.3mf"),
         "3MF holds coordinates up to 1e+09 mm and this mesh reaches 2e+09; give a smaller --size",
         {"--size", "2e9"}},
        {cube, dir.file("cube.off"),
         "cannot tell the format of " + dir.file("cube.off") + kNameIt},
        {cube, dir.file("stl"), "cannot tell the format of " + dir.file("stl") + kNameIt},
        {cube, noFolder, "cannot create " + noFolder + ": No such file or directory"},
        {cube, folderPly, "cannot write " + folderPly + ": it is a folder"},
        {partial, dir.file("partial.obj"),
         partial + ": size 47 bytes is not a whole number of 48-byte records "
                   "(0 records and 47 bytes over)"},
        {missing, dir.file("missing.ply"),
         "cannot open " + missing + ": No such file or directory"},
        {same, same, same + " is the input file " + same + "; name another output"},
        {same, dir.file("soft.ply"),
         dir.file("soft.ply") + " is the input file " + same + "; name another output"},
        {same, dir.file("hard.obj"),
         dir.file("hard.obj") + " is the input file " + same + "; name another output"},
        // An OBJ's material library beside it must not replace the input either.
        {material, dir.file("material.obj"),
         material + " is the input file " + material + "; name another output"},
    };
    const std::vector<std::string> before = listDir(dir.path);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"convert", c.input, c.output};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ProcessResult run = runMesh(args);
        EXPECT_EQ(run.err, "quarnel-mesh: " + c.message + "\n");
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(listDir(dir.path), before) << c.output;
    }
    EXPECT_EQ(readFile(same), recordBytes(unitCubeRecords()));
}

TEST(MeshConvert, ClosedStreamsAndTheLongestNamesChangeNothing) {
    TempDir dir;
    const std::string cube = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    ASSERT_EQ(runMesh({"convert", cube, dir.file("plain.stl")}).exitStatus, 0);
    const std::string expected = readFile(dir.file("plain.stl"));
    // Closed streams must not lend their descriptors to the output; the longest legal name must
    // leave room for whatever the tool names its temporary.
    const std::string longest = std::string(251, 'n') + ".stl";
    const ProcessResult closed = runMesh({"convert", cube, dir.file("closed.stl")},
                                         [] { close(1), close(2); });
    EXPECT_EQ(closed.exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("closed.stl")), expected);
    EXPECT_EQ(runMesh({"convert", cube, dir.file(longest)}).exitStatus, 0);
    EXPECT_EQ(readFile(dir.file(longest)), expected);
    // A report that cannot be printed does not undo a finished conversion: file and status agree.
    const auto fullOutput = [] {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
    };
    const ProcessResult full =
        runMesh({"convert", cube, dir.file("full.stl"), "--size", "10"}, fullOutput);
    EXPECT_EQ(full.exitStatus, 0);
    EXPECT_TRUE(fileExists(dir.file("full.stl")));
    // info's report is all it makes.
    const ProcessResult info = runMesh({"info", cube}, fullOutput);
    EXPECT_EQ(info.exitStatus, 1);
    EXPECT_EQ(info.err, "quarnel-mesh: cannot write the report: No space left on device\n");
}

TEST(MeshConvert, IndexedFormatsLeaveOutNonFiniteTrianglesAndSaySo) {
    // Readers refuse a "nan" or "inf" vertex in PLY and OBJ. The two inputs have one name (glTF
    // records it), in two folders.
    TempDir cleanDir;
    TempDir oddDir;
    std::vector<TriangleRecord> records = unitCubeRecords();
    const std::string cube = writeMeshFile(cleanDir, "in.v3c1", records);
    records.insert(records.begin() + 3, makeRecord({kNaN, 0, 0}, {1, 0, 0}, {0, 5, 0}));
    records.push_back(makeRecord({0, 0, 0}, {0, kInf, 0}, {0, 0, 7}));
    const std::string odd = writeMeshFile(oddDir, "in.v3c1", records);
    for (const std::string extension : {".ply", ".obj", ".glb", ".3mf"}) {
        const std::string clean = cleanDir.file("out" + extension);
        const std::string skipped = oddDir.file("out" + extension);
        ASSERT_EQ(runMesh({"convert", cube, clean}).exitStatus, 0);
        const ProcessResult run = runMesh({"convert", odd, skipped});
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.err, "quarnel-mesh: left out 2 triangles with a non-finite vertex\n");
        EXPECT_TRUE(readFile(clean) == readFile(skipped)) << extension;
    }
}

TEST(MeshConvert, FullDiskLeavesNoOutputAndKeepsAnEarlierFile) {
    TempDir dir;
    // 200 triangles: more than the 4 KiB the child may write in every format.
    std::vector<TriangleRecord> records;
    for (int i = 0; i < 200; ++i) {
        const float x = static_cast<float>(i);
        records.push_back(makeRecord({x, 0, 0}, {x, 1, 0}, {x, 0, 1}));
    }
    const std::string input = writeMeshFile(dir, "strip.v3c1", records);
    // The OBJ fails at its commit, where its material library is complete: that stays unnamed.
    writeFile(dir.file("strip.mtl"), "earlier");
    for (const std::string name :
         {"strip.stl", "strip.ply", "strip.obj", "strip.glb", "strip.3mf"}) {
        writeFile(dir.file(name), "earlier");
        const ProcessResult run = runMesh({"convert", input, dir.file(name)}, limitFileSizeTo4KiB);
        EXPECT_EQ(run.err, "quarnel-mesh: cannot write " + dir.file(name) + ": File too large\n");
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(readFile(dir.file(name)), "earlier");
    }
    EXPECT_EQ(readFile(dir.file("strip.mtl")), "earlier");
    EXPECT_EQ(listDir(dir.path),
              (std::vector<std::string>{"strip.3mf", "strip.glb", "strip.mtl", "strip.obj",
                                        "strip.ply", "strip.stl", "strip.v3c1"}));
}

TEST(MeshConvert, ObjAndItsMaterialTakeTheirNamesTogetherOrNotAtAll) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    const std::string obj = dir.file("out.obj");
    const std::string mtl = dir.file("out.mtl");
    struct Case {
        std::string fault;
        bool earlierMaterial;
        std::string message;
        int exitStatus;
    };
    // The OBJ's rename fails after the library's (its earlier file comes back, or the new one
    // goes); a signal ends the run at its first link, where both temporaries are registered.
    const Case cases[] = {
        {"rename-onto:.obj", true,
         "quarnel-mesh: cannot rename the output onto " + obj + ": Input/output error\n", 1},
        {"rename-onto:.obj", false,
         "quarnel-mesh: cannot rename the output onto " + obj + ": Input/output error\n", 1},
        {"signal-after-link:1", true, "", 128 + SIGHUP},
    };
    for (const Case& c : cases) {
        writeFile(obj, "earlier obj");
        unlink(mtl.c_str());
        if (c.earlierMaterial) {
            writeFile(mtl, "earlier mtl");
        }
        const std::vector<std::string> before = listDir(dir.path);
        const ShimmedChildren shim(false, "", c.fault);
        const ProcessResult run = runMesh({"convert", input, obj});
        EXPECT_EQ(run.err, c.message) << c.fault;
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.fault;
        EXPECT_EQ(readFile(obj), "earlier obj") << c.fault;
        EXPECT_EQ(listDir(dir.path), before) << c.fault;
        if (c.earlierMaterial) {
            EXPECT_EQ(readFile(mtl), "earlier mtl") << c.fault;
        }
    }
    // Done, over files of odd modes: each keeps its permission bits.
    ASSERT_EQ(chmod(obj.c_str(), 0604) | chmod(mtl.c_str(), 0640), 0);
    ASSERT_EQ(runMesh({"convert", input, obj}).exitStatus, 0);
    struct stat objInfo, mtlInfo;
    ASSERT_EQ(stat(obj.c_str(), &objInfo) | stat(mtl.c_str(), &mtlInfo), 0);
    EXPECT_EQ(objInfo.st_mode & 07777, 0604u);
    EXPECT_EQ(mtlInfo.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(mtl), "# written by quarnel-mesh\nnewmtl quarnel\nKd 1 0.8 0.4\n");
}

TEST(MeshConvert, TwoRunsWritingOneObjAtOnceLeaveOneRunsPair) {
    TempDir dir;
    std::vector<TriangleRecord> blue = unitCubeRecords();
    for (TriangleRecord& record : blue) {
        record.color = {0, 0, 1};
        record.vertices[0].x += 5;
    }
    const std::string inputs[2] = {writeMeshFile(dir, "cube.v3c1", unitCubeRecords()),
                                   writeMeshFile(dir, "blue.v3c1", blue)};
    std::string objs[2];
    std::string mtls[2];
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(runMesh({"convert", inputs[run], dir.file("out.obj")}).exitStatus, 0);
        objs[run] = readFile(dir.file("out.obj"));
        mtls[run] = readFile(dir.file("out.mtl"));
        unlink(dir.file("out.obj").c_str());
        unlink(dir.file("out.mtl").c_str());
    }
    ASSERT_NE(mtls[0], mtls[1]);
    // The first run waits half a second after its library's rename (where no library was); the
    // second starts in that wait. Their pairs must not interleave.
    const ShimmedChildren shim(false, "", "pause-after-rename-onto:out.mtl");
    std::thread first([&] {
        EXPECT_EQ(runMesh({"convert", inputs[0], dir.file("out.obj")}).exitStatus, 0);
    });
    usleep(200000);
    EXPECT_EQ(runMesh({"convert", inputs[1], dir.file("out.obj")}).exitStatus, 0);
    first.join();
    const std::string obj = readFile(dir.file("out.obj"));
    EXPECT_TRUE(obj == objs[0] || obj == objs[1]);
    EXPECT_EQ(readFile(dir.file("out.mtl")), obj == objs[0] ? mtls[0] : mtls[1]);
}

TEST(MeshConvert, RefusalsThatNeedNoEditComeBeforeIt) {
    TempDir dir;
    // Sparse files of zero records, a point: an edit or a conversion of them takes seconds, and
    // the runs are held to two CPU seconds.
    const std::string huge = dir.file("model.mtl");
    const std::string point = dir.file("point.v3c1");
    writeFile(huge, "");
    writeFile(point, "");
    if (truncate(huge.c_str(), static_cast<off_t>(48) << 32) != 0 ||
        truncate(point.c_str(), static_cast<off_t>(48) * 5000000) != 0) {
        GTEST_SKIP() << "this file system cannot hold a sparse 192 GiB file";
    }
    const std::string longName = dir.file(std::string(252, 'n') + ".ply");
    const std::string noExtent = "cannot scale " + point + " to a size: it has no extent";
    const std::vector<std::vector<std::string>> runs = {
        {"convert", huge, dir.file("model.obj"), huge + " is the input file " + huge +
                                                     "; name another output"},
        {"convert", huge, longName, "cannot create " + longName + ": File name too long"},
        {"convert", point, dir.file("p.3mf"), noExtent, "--simplify", "0.5"},
        {"convert", point, dir.file("p.stl"), noExtent, "--body", "--size", "10"},
    };
    const std::vector<std::string> before = listDir(dir.path);
    for (std::vector<std::string> args : runs) {
        const std::string message = args[3];
        args.erase(args.begin() + 3);
        const ProcessResult run = runMesh(args, [] {
            const rlimit twoSeconds = {2, 2};
            setrlimit(RLIMIT_CPU, &twoSeconds);
        });
        EXPECT_EQ(run.err, "quarnel-mesh: " + message + "\n");
        EXPECT_EQ(run.exitStatus, 1) << args[2];
        EXPECT_EQ(listDir(dir.path), before);
    }
}

TEST(MeshConvert, StlRefusesMoreTrianglesThanItsCountHolds) {
    TempDir dir;
    // A sparse file of 2^32 records: nothing is read before the count is refused.
    const std::string input = dir.file("huge.v3c1");
    writeFile(input, "");
    if (truncate(input.c_str(), static_cast<off_t>(48) << 32) != 0) {
        GTEST_SKIP() << "this file system cannot hold a sparse 192 GiB file";
    }
    const ProcessResult run = runMesh({"convert", input, dir.file("huge.stl")});
    EXPECT_EQ(run.err, "quarnel-mesh: " + input +
                           " has 4294967296 triangles; binary STL holds at most 4294967295\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"huge.v3c1"}));
}

TEST(MeshConvert, IndependentReaderCountsPresetZeroFaces) {
    if (access("/usr/bin/assimp", X_OK) != 0) {
        GTEST_SKIP() << "assimp is not installed (Debian package assimp-utils; make test installs it)";
    }
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const std::string input = dir.file("quarnel_0.04m.v3c1");
    const size_t triangleCount = readFile(input).size() / 48;
    ASSERT_GT(triangleCount, 1000u);
    for (const std::string name : {"p.stl", "p.ply", "p.obj"}) {
        ASSERT_EQ(runMesh({"convert", input, dir.file(name)}).exitStatus, 0);
        const ProcessResult info = runProcess("/usr/bin/assimp", {"info", dir.file(name)});
        ASSERT_EQ(info.exitStatus, 0) << info.out << info.err;
        EXPECT_NE(info.out.find("Faces:              " + std::to_string(triangleCount) + "\n"),
                  std::string::npos)
            << name << ":\n" << info.out;
    }
}

namespace {

// True once no process has a file in `folder` open, within two seconds: a stopped run leaves its
// unnamed files to a child that closes them as soon as the run has ended.
bool filesInFolderClosedSoon(const std::string& folder) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        bool held = false;
        for (const std::string& pid : listDir("/proc")) {
            if (pid.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const std::string fds = "/proc/" + pid + "/fd";
            if (access(fds.c_str(), R_OK) != 0) {
                continue;
            }
            for (const std::string& fd : listDir(fds)) {
                char target[4096];
                const ssize_t length =
                    readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
                held |= length > 0 && std::string(target, length).rfind(folder + "/", 0) == 0;
            }
        }
        if (!held) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

// Enough address space for the tool to convert to STL, not for the vertex tables of 1.5 M
// distinct vertices.
constexpr long long kSharingAddressSpaceBytes = 64ll << 20;

void limitAddressSpaceTo(long long bytes) {
    const rlimit limit = {static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    setrlimit(RLIMIT_AS, &limit);
}

}  // namespace

TEST(MeshConvert, EveryStageStopsSoonAfterASignal) {
    TempDir source;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"3"}, source.path).exitStatus, 0);
    const std::string input = source.file("quarnel_1.59m.v3c1");
    // Each takes a second or more at preset 3: reading, welding, the sweep, the simplifier, the
    // compressed glb's primitives and the 3MF's deflate each get a signal in their turn.
    const std::vector<std::vector<std::string>> commands = {
        {"convert", input, "s.3mf"},
        {"convert", input, "s.ply"},
        {"convert", input, "s.glb", "--normals"},
        {"convert", input, "s.glb", "--normals", "--compress"},
        {"convert", input, "s.obj", "--z-up", "--size", "10"},
        {"convert", input, "s.ply", "--simplify", "0.1"},
        {"convert", input, "s.stl", "--drop-islands", "100"},
        {"info", input, "--topology"},
    };
    int interrupted = 0;
    int runs = 0;
    for (const bool unnamedFiles : {true, false}) {
        std::unique_ptr<ShimmedChildren> shim;
        if (!unnamedFiles) {
            shim = std::make_unique<ShimmedChildren>(true);
        }
        for (const auto& args : commands) {
            for (const int signalAfterMs : unnamedFiles ? std::vector<int>{300, 900, 1600}
                                                        : std::vector<int>{700}) {
                TempDir dir;
                const auto started = std::chrono::steady_clock::now();
                const ProcessResult run = runProcess(QUARNEL_MESH_EXE, args, dir.path, nullptr,
                                                     SIGTERM, signalAfterMs);
                const double seconds = std::chrono::duration<double>(
                                           std::chrono::steady_clock::now() - started).count();
                const std::string label = args[2] + " at " + std::to_string(signalAfterMs);
                ++runs;
                if (run.exitStatus == 0) {
                    // Done before the signal came: then the whole output is there.
                    EXPECT_EQ(listDir(dir.path).size(),
                              args[0] == "info" ? 0u : args[2] == "s.obj" ? 2u : 1u)
                        << label;
                    continue;
                }
                ++interrupted;
                EXPECT_EQ(run.exitStatus, 130) << label << run.err;
                const std::string message = args[0] == "info"
                                                ? "quarnel-mesh: interrupted\n"
                                                : "quarnel-mesh: interrupted; no output written\n";
                ASSERT_GE(run.err.size(), message.size()) << label;
                EXPECT_EQ(run.err.substr(run.err.size() - message.size()), message) << label;
                EXPECT_EQ(listDir(dir.path), std::vector<std::string>{}) << label;
                EXPECT_TRUE(filesInFolderClosedSoon(dir.path)) << label;
                // About 0.1 s on a quiet machine; the margin is for a loaded one.
                EXPECT_LT(seconds, signalAfterMs / 1000.0 + 1.0) << label;
            }
        }
    }
    EXPECT_GT(interrupted, runs / 2);
}

// A memory cgroup whose page cache is full is not short of memory: the kernel gives the cache
// back. Root only (it makes a cgroup of version 1's memory controller); skipped otherwise.
TEST(MeshConvert, AFullPageCacheInAMemoryCgroupIsNoShortage) {
    std::ifstream membership("/proc/self/cgroup");
    std::string line;
    std::string parent;
    while (std::getline(membership, line)) {
        const size_t at = line.find(":memory:");
        if (at != std::string::npos) {
            parent = "/sys/fs/cgroup/memory" + line.substr(at + 8);
        }
    }
    static std::string group;
    group = parent + "/quarnel-test-" + std::to_string(getpid());
    if (parent.empty() || mkdir(group.c_str(), 0755) != 0) {
        GTEST_SKIP() << "no version-1 memory cgroup to make here (needs root)";
    }
    // Removed on every path, once its one process has ended.
    struct RemovedGroup {
        ~RemovedGroup() { rmdir(group.c_str()); }
    } removed;
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"3"}, dir.path).exitStatus, 0);
    // 300 MiB on the disk and out of the cache, so that reading it charges the new group.
    static std::string filler;
    filler = dir.file("filler");
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string mebibyte(1 << 20, 'x');
        for (int i = 0; i < 300; ++i) {
            out << mebibyte;
        }
    }
    const int fd = open(filler.c_str(), O_RDONLY);
    fsync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    std::ofstream(group + "/memory.limit_in_bytes") << (256 << 20);
    // In the child: join the group, then fill its page cache to the limit.
    const ProcessResult run = runProcess(
        QUARNEL_MESH_EXE, {"convert", dir.file("quarnel_1.59m.v3c1"), dir.file("out.ply")}, "",
        [] {
            std::ofstream(group + "/cgroup.procs") << getpid();
            std::ifstream in(filler, std::ios::binary);
            std::vector<char> buffer(1 << 20);
            while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
            }
        });
    EXPECT_EQ(run.exitStatus, 0) << run.err;
}

TEST(MeshConvert, ShortMemoryEndsWithOneLineAndNoFile) {
    TempDir source;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"3"}, source.path).exitStatus, 0);
    const std::string input = source.file("quarnel_1.59m.v3c1");
    struct Case {
        std::vector<std::string> args;
        long long addressSpaceBytes;
    };
    // The picture's buffers; the whole mesh of an edited 3MF.
    const Case cases[] = {
        {{"render", input, "big.png", "--size", "4096"}, 300ll << 20},
        {{"convert", input, "t.3mf", "--body"}, 64ll << 20},
        {{"convert", input, "t.glb", "--compress"}, 100ll << 20},
    };
    static long long limit = 0;
    for (const Case& c : cases) {
        TempDir dir;
        limit = c.addressSpaceBytes;
        const ProcessResult run =
            runProcess(QUARNEL_MESH_EXE, c.args, dir.path, [] { limitAddressSpaceTo(limit); });
        const std::string label = c.args[2] + " in " + std::to_string(limit >> 20) + " MiB";
        EXPECT_EQ(run.exitStatus, 1) << label << run.err;
        const std::string lastLine = run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1);
        EXPECT_EQ(lastLine.rfind("quarnel-mesh: ", 0), 0u) << label << run.err;
        EXPECT_NE(lastLine.find("memory"), std::string::npos) << label << run.err;
        EXPECT_EQ(lastLine.find("unknown"), std::string::npos) << label << run.err;
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{}) << label;
    }
    // The streamed .glb and .3mf hold the weld's window, not the mesh: they fit where the others
    // fail.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"convert", input, "t.glb", "--normals"},
          std::vector<std::string>{"convert", input, "t.3mf"}}) {
        TempDir dir;
        limit = 100ll << 20;
        const ProcessResult streamed =
            runProcess(QUARNEL_MESH_EXE, args, dir.path, [] { limitAddressSpaceTo(limit); });
        EXPECT_EQ(streamed.exitStatus, 0) << args[2] << streamed.err;
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{args[2]});
    }
}

TEST(MeshConvert, SharingPastAMemoryLimitOnTheProcessPointsToStl) {
    TempDir dir;
    // 1.5 M distinct vertices: tables of 40 MB and more, past what the address space left under
    // the limit allows them; STL shares none and streams.
    std::vector<TriangleRecord> records;
    for (int i = 0; i < 1500000; i += 3) {
        const float x = static_cast<float>(i);
        records.push_back(makeRecord({x, 0, 0}, {x + 1, 0, 0}, {x + 2, 0, 0}));
    }
    const std::string input = writeMeshFile(dir, "many.v3c1", records);
    static long long limit = 0;
    limit = kSharingAddressSpaceBytes;
    const std::string start =
        "quarnel-mesh: not enough memory to share the vertices of " + input + " (";
    const std::string end =
        " distinct vertices so far); convert to .stl instead, which does not "
        "share vertices\n";
    for (const std::string name : {"many.ply", "many.obj", "many.glb"}) {
        const ProcessResult run = runProcess(QUARNEL_MESH_EXE, {"convert", input, name}, dir.path,
                                             [] { limitAddressSpaceTo(limit); });
        EXPECT_EQ(run.exitStatus, 1) << name;
        EXPECT_EQ(run.err.rfind(start, 0), 0u) << run.err;
        ASSERT_GE(run.err.size(), end.size()) << run.err;
        EXPECT_EQ(run.err.substr(run.err.size() - end.size()), end) << run.err;
    }
    const ProcessResult stl = runProcess(QUARNEL_MESH_EXE, {"convert", input, "many.stl"}, dir.path,
                                         [] { limitAddressSpaceTo(limit); });
    EXPECT_EQ(stl.exitStatus, 0) << stl.err;
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"many.stl", "many.v3c1"}));
}

TEST(MeshConvert, AliasThroughABindMountIsTheInputToo) {
    if (access("/usr/bin/bindfs", X_OK) != 0) {
        GTEST_SKIP() << "bindfs is not installed (Debian package bindfs), so no FUSE alias";
    }
    TempDir backing;
    TempDir mount;
    if (runProcess("/usr/bin/bindfs", {backing.path, mount.path}).exitStatus != 0) {
        GTEST_SKIP() << "bindfs could not mount here (no /dev/fuse or no permission)";
    }
    // Unmounted however the test ends, before the folders go; lazily, as a stopped run's child
    // may still hold the folder for a moment.
    struct Unmount {
        std::string path;
        ~Unmount() { runProcess("/bin/fusermount", {"-u", "-z", path}); }
    };
    const Unmount unmount{mount.path};
    const std::string input = writeMeshFile(backing, "a.stl", unitCubeRecords());
    const std::string alias = mount.file("a.stl");
    // The same file under another device: it must still be refused, in both directions.
    for (const auto& [from, to] : {std::pair{input, alias}, std::pair{alias, input}}) {
        const ProcessResult run = runMesh({"convert", from, to});
        EXPECT_EQ(run.err, "quarnel-mesh: " + to + " is the input file " + from +
                               "; name another output\n");
        EXPECT_EQ(run.exitStatus, 1);
    }
    EXPECT_EQ(readFile(input), recordBytes(unitCubeRecords()));
    // A FUSE file system has no unnamed files: the named temporary goes on every path.
    EXPECT_EQ(runMesh({"convert", alias, mount.file("b.stl")}).exitStatus, 0);
    const ProcessResult stopped = runProcess(QUARNEL_EXE, {"6"}, mount.path, nullptr, SIGINT, 400);
    EXPECT_EQ(stopped.exitStatus, 130) << stopped.err;
    // The temporary is closed, then removed; FUSE releases the file after the close returns, so a
    // remove that overtakes the release shows it as a .fuse_hidden file for a moment.
    const std::vector<std::string> expected = {"a.stl", "b.stl"};
    for (int wait = 0; wait < 100 && listDir(backing.path) != expected; ++wait) {
        usleep(20000);
    }
    EXPECT_EQ(listDir(backing.path), expected);
}
