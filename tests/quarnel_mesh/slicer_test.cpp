// The README's print recipe taken to the end: its 3MF sliced to G-code by the slicer's command
// line, with no display. Skipped where the slicer is missing; make test installs it.
#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

#include "support/mesh_test_util.h"

TEST(MeshSlicer, PrintRecipeOfPresetZeroSlicesToGcodeOfItsHeight) {
    const std::string slicer = "/usr/bin/prusa-slicer";
    if (access(slicer.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "prusa-slicer is not installed (make test installs it)";
    }
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const ProcessResult convert =
        runMesh({"convert", dir.file("quarnel_0.04m.v3c1"), dir.file("print.3mf"), "--body"});
    ASSERT_EQ(convert.exitStatus, 0) << convert.err;
    // The slicer's own defaults, and its own place on the bed: a recipe must not need either.
    const ProcessResult slice = runProcess(
        slicer, {"--export-gcode", dir.file("print.3mf"), "--output", dir.file("print.gcode")},
        dir.path);
    ASSERT_EQ(slice.exitStatus, 0) << slice.out << slice.err;
    const std::string gcode = readFile(dir.file("print.gcode"));
    EXPECT_NE(gcode.find("\n;LAYER_CHANGE\n"), std::string::npos);
    // Upright, on the bed and in millimetres, as a 3MF always is: preset 0's longest side is its
    // height, so the default 100 mm make it 100 mm tall, and its top layer is there to within a
    // few layers.
    const size_t top = gcode.rfind("\n;Z:");
    ASSERT_NE(top, std::string::npos);
    const double topMillimetres = std::stod(gcode.substr(top + 4));
    EXPECT_GE(topMillimetres, 98.5);
    EXPECT_LE(topMillimetres, 100.5);
}

// Preset 2 is meshed in blocks whose seams on the planes x, y, z = 0 do not meet bit for bit:
// stitched, it is one closed surface, so the body is nearly all of it and the slicer finds it
// manifold with nothing to repair.
TEST(MeshSlicer, PrintRecipeOfPresetTwoIsManifoldAfterTheSeamsAreJoined) {
    const std::string slicer = "/usr/bin/prusa-slicer";
    if (access(slicer.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "prusa-slicer is not installed (make test installs it)";
    }
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"2"}, dir.path).exitStatus, 0);
    const std::string input = dir.file("quarnel_0.97m.v3c1");
    const ProcessResult info = runMesh({"info", input, "--topology"});
    EXPECT_NE(info.out.find("closed:           yes, after joining 4634 seam vertices within "
                            "2.1e-06\npieces:           482\n"),
              std::string::npos)
        << info.out;
    const ProcessResult convert = runMesh({"convert", input, dir.file("print.3mf"), "--body"});
    ASSERT_EQ(convert.exitStatus, 0) << convert.err;
    const ProcessResult read = runProcess(slicer, {"--info", dir.file("print.3mf")}, dir.path);
    ASSERT_EQ(read.exitStatus, 0) << read.err;
    EXPECT_NE(read.out.find("manifold = yes"), std::string::npos) << read.out;
    // 967,664 of 971,016 faces: the body and its voids; the crumbs outside are dropped.
    EXPECT_NE(read.out.find("number_of_facets = 967664"), std::string::npos) << read.out;
}
