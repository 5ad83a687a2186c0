// Damaged and hostile input for every quarnel-mesh command, run in-process so that the sanitizers
// see the reader and the tool: each truncated prefix of a small file, random bytes, and records
// made of NaN, infinities, extremes and subnormals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/mesh_test_util.h"
#include "support/process.h"
#include "quarnel_mesh/commands/convert.h"
#include "quarnel_mesh/commands/info.h"
#include "quarnel_mesh/commands/render.h"
#include "quarnel_mesh/model/vertex_welder.h"
#include "quarnel_mesh/render/rasteriser.h"

namespace {

const char kPngSignature[] = "\x89PNG\r\n\x1a\n";

// Runs info, the three conversions and a small render on `bytes`. A whole number of records must
// succeed with that many triangles in every output; anything else must fail with the size error
// and leave no file behind.
void checkEveryCommand(const std::string& bytes, const std::string& label) {
    TempDir dir;
    const std::string input = dir.file("in.v3c1");
    writeFile(input, bytes);
    const bool whole = bytes.size() % 48 == 0;
    const std::string count = std::to_string(bytes.size() / 48);
    // PLY and OBJ leave out the triangles with a non-finite vertex.
    int64_t finiteCount = 0;
    for (size_t offset = 0; whole && offset < bytes.size(); offset += 48) {
        TriangleRecord record;
        std::memcpy(&record, bytes.data() + offset, 48);
        finiteCount += hasFiniteVertices(record) ? 1 : 0;
    }
    const std::string indexedCount = std::to_string(finiteCount);
    const std::string sizeError = "not a whole number of 48-byte records";

    char* report = nullptr;
    size_t reportBytes = 0;
    std::FILE* out = open_memstream(&report, &reportBytes);
    ASSERT_NE(out, nullptr);
    std::string error;
    const bool infoDone = printMeshInfo(input, true, out, error);
    std::fclose(out);
    const std::string reportText(report, reportBytes);
    std::free(report);
    EXPECT_EQ(infoDone, whole) << label << ": " << error;
    if (whole) {
        EXPECT_NE(reportText.find("triangles:        " + count + "\n"), std::string::npos) << label;
        EXPECT_NE(reportText.find("closed:           "), std::string::npos) << label;
    } else {
        EXPECT_NE(error.find(sizeError), std::string::npos) << label << ": " << error;
    }

    for (const std::string name : {"out.stl", "out.ply", "out.obj", "out.png"}) {
        error.clear();
        bool done;
        if (name == "out.png") {
            RenderOptions options;
            options.sizePixels = 16;
            done = renderMesh(input, dir.file(name), options, error);
        } else {
            ConvertReport converted;
            done = convertMesh(input, dir.file(name), ConvertOptions(), converted, error);
        }
        EXPECT_EQ(done, whole) << label << " " << name << ": " << error;
        if (!whole) {
            EXPECT_NE(error.find(sizeError), std::string::npos) << label << ": " << error;
            EXPECT_FALSE(fileExists(dir.file(name))) << label << " " << name;
            continue;
        }
        const std::string written = readFile(dir.file(name));
        if (name == "out.stl") {
            EXPECT_EQ(written.size(), 84 + 50 * (bytes.size() / 48)) << label;
        } else if (name == "out.ply") {
            EXPECT_NE(written.find("element face " + indexedCount + "\n"), std::string::npos) << label;
        } else if (name == "out.obj") {
            EXPECT_NE(written.find(" vertices, " + indexedCount + " faces\n"), std::string::npos) << label;
        } else {
            EXPECT_EQ(written.compare(0, 8, kPngSignature, 8), 0) << label;
        }
    }
    const std::vector<std::string> expectedFiles =
        whole ? std::vector<std::string>{"in.v3c1", "out.mtl", "out.obj", "out.ply", "out.png",
                                         "out.stl"}
              : std::vector<std::string>{"in.v3c1"};
    EXPECT_EQ(listDir(dir.path), expectedFiles) << label;

    // Every edit at once (in memory), and the simplifier alone (streamed): may refuse (no
    // triangles, non-finite vertices) but only with a reason, and a file appears exactly when it
    // succeeds.
    ConvertOptions edits;
    edits.simplifyRatio = 0.5;
    edits.zUp = true;
    edits.sizeMillimetres = 10.0;
    edits.smoothNormals = true;
    for (const std::string name :
         {"edited.glb", "edited.3mf", "edited.ply", "streamed.glb", "streamed.3mf"}) {
        edits.dropIslandFaces = name.rfind("edited", 0) == 0 ? 2 : 0;
        ConvertReport converted;
        error.clear();
        const bool done = convertMesh(input, dir.file(name), edits, converted, error);
        EXPECT_EQ(fileExists(dir.file(name)), done) << label << " " << name;
        EXPECT_EQ(error.empty(), done) << label << " " << name;
        if (!whole) {
            EXPECT_NE(error.find(sizeError), std::string::npos) << label << ": " << error;
        }
    }
    // The compressed glb, streamed in primitives straight from the records.
    ConvertOptions compressed;
    compressed.compress = true;
    compressed.smoothNormals = true;
    ConvertReport converted;
    error.clear();
    const bool done = convertMesh(input, dir.file("web.glb"), compressed, converted, error);
    EXPECT_EQ(fileExists(dir.file("web.glb")), done) << label;
    EXPECT_EQ(error.empty(), done) << label;
}

}  // namespace

TEST(MeshRobustness, EveryTruncatedPrefixFailsUnlessItEndsOnARecord) {
    const std::string cube = recordBytes(unitCubeRecords());
    for (size_t length = 0; length <= cube.size(); ++length) {
        checkEveryCommand(cube.substr(0, length), "prefix of " + std::to_string(length) + " bytes");
        if (testing::Test::HasFailure()) {
            break;  // one broken length says enough
        }
    }
}

TEST(MeshRobustness, RandomBytesNeverCrash) {
    std::mt19937 random(20240607u);
    for (int file = 0; file < 40; ++file) {
        size_t length = std::uniform_int_distribution<size_t>(0, 48 * 64)(random);
        if (file % 2 == 0) {
            length -= length % 48;  // half of them decode as records
        }
        std::string bytes(length, '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(random() & 0xFF);
        }
        checkEveryCommand(bytes, "random file " + std::to_string(file));
    }
}

TEST(MeshRobustness, ExtremeCoordinatesAndColoursNeverCrash) {
    const float max = std::numeric_limits<float>::max();
    uint32_t signallingBits = 0x7F800001u;
    float signallingNaN;
    std::memcpy(&signallingNaN, &signallingBits, sizeof signallingNaN);
    const float values[] = {0.0f, -0.0f, 1.0f, -1.0f, max, -max,
                            std::numeric_limits<float>::min(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), signallingNaN, 1e30f, -1e-30f};
    const size_t valueCount = sizeof values / sizeof values[0];
    std::mt19937 random(7u);
    std::vector<TriangleRecord> records;
    for (int i = 0; i < 300; ++i) {
        float floats[12];
        for (float& f : floats) {
            f = values[random() % valueCount];
        }
        TriangleRecord record;
        std::memcpy(&record, floats, sizeof record);
        records.push_back(record);
    }
    // Only the extremes that are finite: the picture must still be fitted and drawn.
    std::vector<TriangleRecord> finite;
    for (int i = 0; i < 50; ++i) {
        const Vec3f corner = {(i & 1) ? max : -max, (i & 2) ? max : -max, (i & 4) ? 1.0f : -max};
        finite.push_back(makeRecord(corner, {max, -max, 0.0f}, {-max, max, max}));
    }
    checkEveryCommand(recordBytes(records), "special values");
    checkEveryCommand(recordBytes(finite), "finite extremes");
}
