// quarnel-mesh render, run as a user runs it; pictures are checked by what they show, not by
// their bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "quarnel_mesh/render/rasteriser.h"
#include "support/mesh_test_util.h"
#include "support/png_test_util.h"

namespace {

bool isBackground(const DecodedPng& png, size_t pixel) {
    return png.rgb[3 * pixel] == kBackgroundRgb[0] && png.rgb[3 * pixel + 1] == kBackgroundRgb[1] &&
           png.rgb[3 * pixel + 2] == kBackgroundRgb[2];
}

double shapeShare(const DecodedPng& png) {
    const size_t pixelCount = static_cast<size_t>(png.width) * png.height;
    size_t shapePixels = 0;
    for (size_t i = 0; i < pixelCount; ++i) {
        shapePixels += isBackground(png, i) ? 0 : 1;
    }
    return static_cast<double>(shapePixels) / static_cast<double>(pixelCount);
}

}  // namespace

TEST(MeshRender, PictureHasTheRequestedSize) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    for (const int size : {16, 64, 301}) {
        const std::string png = dir.file("cube" + std::to_string(size) + ".png");
        const ProcessResult run = runMesh({"render", input, png, "--size", std::to_string(size)});
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const DecodedPng decoded = decodePng(readFile(png));
        EXPECT_EQ(decoded.width, size);
        EXPECT_EQ(decoded.height, size);
    }
}

TEST(MeshRender, FaceOnCubeFillsTheFittedSquare) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    const std::string png = dir.file("cube.png");
    ASSERT_EQ(runMesh({"render", input, png, "--size", "100", "--azimuth", "0", "--elevation", "0"})
                  .exitStatus,
              0);
    // Seen along z the cube is a square, fitted with 5% of the side free on each edge: 90 x 90.
    const DecodedPng decoded = decodePng(readFile(png));
    ASSERT_EQ(decoded.width, 100);
    EXPECT_NEAR(shapeShare(decoded), 0.81, 0.005);
    EXPECT_TRUE(isBackground(decoded, 2 * 100 + 2));
    EXPECT_FALSE(isBackground(decoded, 50 * 100 + 50));
}

TEST(MeshRender, ShadesTheRecordColour) {
    TempDir dir;
    // A red right triangle seen face-on fills the lower left half of the fitted square.
    const std::string input =
        writeMeshFile(dir, "red.v3c1", {makeRecord({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0})});
    const std::string png = dir.file("red.png");
    ASSERT_EQ(runMesh({"render", input, png, "--size", "100", "--azimuth", "0", "--elevation", "0"})
                  .exitStatus,
              0);
    const DecodedPng decoded = decodePng(readFile(png));
    EXPECT_NEAR(shapeShare(decoded), 0.405, 0.01);
    const size_t inside = 70 * 100 + 30;  // row 70 of 100, column 30
    EXPECT_GT(decoded.rgb[3 * inside], 0);
    EXPECT_EQ(decoded.rgb[3 * inside + 1], 0);
    EXPECT_EQ(decoded.rgb[3 * inside + 2], 0);
    EXPECT_TRUE(isBackground(decoded, 30 * 100 + 70));
}

TEST(MeshRender, CavitiesDarkenAndFacetsShadeSmoothly) {
    TempDir dir;
    // A floor seen face-on, with a low bar across it: the floor beside the bar lies in a groove.
    std::vector<TriangleRecord> records = {makeRecord({0, 0, 0}, {1, 0, 0}, {1, 1, 0}),
                                           makeRecord({0, 0, 0}, {1, 1, 0}, {0, 1, 0})};
    for (TriangleRecord record : unitCubeRecords()) {
        for (Vec3f& v : record.vertices) {
            v = {0.45f + 0.1f * v.x, v.y, 0.01f * v.z};
        }
        records.push_back(record);
    }
    // A shallow roof of two facets meeting at a 2-degree fold: no edge between them shows.
    const float rise = 0.0175f;
    for (const TriangleRecord& r : {makeRecord({0, 0, 0}, {0.5f, 0, rise}, {0.5f, 1, rise}),
                                    makeRecord({0, 0, 0}, {0.5f, 1, rise}, {0, 1, 0}),
                                    makeRecord({0.5f, 0, rise}, {1, 0, 0}, {1, 1, 0}),
                                    makeRecord({0.5f, 0, rise}, {1, 1, 0}, {0.5f, 1, rise})}) {
        TriangleRecord moved = r;
        for (Vec3f& v : moved.vertices) {
            v.x += 3.0f;
        }
        records.push_back(moved);
    }
    const std::string input = writeMeshFile(dir, "groove.v3c1", records);
    const std::string png = dir.file("groove.png");
    ASSERT_EQ(runMesh({"render", input, png, "--size", "400", "--azimuth", "0", "--elevation", "0"})
                  .exitStatus,
              0);
    const DecodedPng decoded = decodePng(readFile(png));
    // The picture spans x 0..4 in 360 pixels from column 20: 90 pixels a unit, rows alike.
    const auto red = [&decoded](int column, int row) {
        return static_cast<int>(decoded.rgb[3 * (static_cast<size_t>(row) * 400 + column)]);
    };
    const int row = 200;
    EXPECT_LT(red(20 + 40 - 2, row) + 8, red(20 + 15, row));  // beside the bar, against far off
    // The roof's two facets differ in shade, yet across the fold the change is spread over
    // several pixels: flat shading would make it one step.
    const int fold = 20 + static_cast<int>(3.5 * 90);
    EXPECT_GE(std::abs(red(fold - 6, row) - red(fold + 6, row)), 4);
    for (int column = fold - 6; column < fold + 6; ++column) {
        EXPECT_LT(std::abs(red(column, row) - red(column + 1, row)),
                  std::abs(red(fold - 6, row) - red(fold + 6, row)))
            << column;
    }
}

TEST(MeshRender, SameInputGivesSameBytesAndNonFiniteTrianglesAreSkipped) {
    TempDir dir;
    std::vector<TriangleRecord> records = unitCubeRecords();
    const std::string cube = writeMeshFile(dir, "cube.v3c1", records);
    records.push_back(makeRecord({kNaN, 0, 0}, {1, 0, 0}, {0, 5, 0}));
    records.push_back(makeRecord({-kInf, 0, 0}, {9, 0, 0}, {0, 9, 9}));
    const std::string withNonFinite = writeMeshFile(dir, "odd.v3c1", records);
    ASSERT_EQ(runMesh({"render", cube, dir.file("a.png"), "--size", "64"}).exitStatus, 0);
    ASSERT_EQ(runMesh({"render", cube, dir.file("b.png"), "--size", "64"}).exitStatus, 0);
    ASSERT_EQ(runMesh({"render", withNonFinite, dir.file("c.png"), "--size", "64"}).exitStatus, 0);
    const std::string a = readFile(dir.file("a.png"));
    EXPECT_EQ(a, readFile(dir.file("b.png")));
    EXPECT_EQ(a, readFile(dir.file("c.png")));
}

TEST(MeshRender, RefusesANameThatIsNotPngOrIsTheInput) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    const ProcessResult run = runMesh({"render", input, dir.file("cube.jpg")});
    EXPECT_EQ(run.err, "quarnel-mesh: the picture is written as PNG: name it .png, not " +
                           dir.file("cube.jpg") + "\n");
    EXPECT_EQ(run.exitStatus, 1);
    const std::string png = writeMeshFile(dir, "cube.png", unitCubeRecords());
    const ProcessResult same = runMesh({"render", png, png});
    EXPECT_EQ(same.err, "quarnel-mesh: " + png + " is the input file " + png +
                            "; name another output\n");
    EXPECT_EQ(same.exitStatus, 1);
    EXPECT_EQ(readFile(png), recordBytes(unitCubeRecords()));
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"cube.png", "cube.v3c1"}));
}

TEST(MeshRender, HugeAnglesAreTakenModulo360) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "cube.v3c1", unitCubeRecords());
    char reduced[64];
    std::snprintf(reduced, sizeof reduced, "%.17g", std::fmod(6e307, 360.0));
    ASSERT_EQ(runMesh({"render", input, dir.file("a.png"), "--azimuth", "6e307"}).exitStatus, 0);
    ASSERT_EQ(runMesh({"render", input, dir.file("b.png"), "--azimuth", reduced}).exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("a.png")), readFile(dir.file("b.png")));
    EXPECT_GT(shapeShare(decodePng(readFile(dir.file("a.png")))), 0.1);
}

TEST(MeshRender, StopsMidPictureOnCtrlC) {
    // 200 triangles that each cover the whole 4096-pixel picture: about a minute of drawing, so
    // only a stop checked inside a triangle ends it in time.
    TempDir dir;
    std::vector<TriangleRecord> records;
    for (int i = 0; i < 200; ++i) {
        const float z = 0.001f * static_cast<float>(i);
        records.push_back(makeRecord({-1, -1, z}, {1, -1, z}, {0, 1, z}));
    }
    const std::string input = writeMeshFile(dir, "slow.v3c1", records);
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult run = runProcess(
        QUARNEL_MESH_EXE, {"render", input, dir.file("slow.png"), "--size", "4096"}, "", nullptr,
        SIGINT, 1500);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 1.5 + 2.0);  // heard within moments, not at the end of the picture
    EXPECT_EQ(run.exitStatus, 130);
    EXPECT_EQ(run.err, "quarnel-mesh: interrupted; no output written\n");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"slow.v3c1"});
}

TEST(MeshRender, DefaultViewOfPresetZeroCoversAPlausibleShare) {
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const std::string png = dir.file("p.png");
    ASSERT_EQ(runMesh({"render", dir.file("quarnel_0.04m.v3c1"), png}).exitStatus, 0);
    const DecodedPng decoded = decodePng(readFile(png));
    ASSERT_EQ(decoded.width, 800);
    // A roughly round shape fitted to 90% of the side: a disc of that size would cover 64%.
    EXPECT_GT(shapeShare(decoded), 0.4);
    EXPECT_LT(shapeShare(decoded), 0.81);
}
