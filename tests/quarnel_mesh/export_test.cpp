// quarnel-mesh convert for use elsewhere: glTF for the web and Blender, 3MF for slicers, the
// simplifier, islands and print placement. Checked by independent readers where they are
// installed (the Khronos validator, assimp, lib3mf, the slicer's command line).
#include <gtest/gtest.h>

#include <regex>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <meshoptimizer.h>
#include <tbb/global_control.h>

#include <Model/COM/NMR_DLLInterfaces.h>

#include "io/record_reader.h"
#include "quarnel_mesh/commands/convert.h"
#include "quarnel_mesh/edit/islands.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/edit/simplify.h"
#include "quarnel_mesh/edit/topology.h"
#include "quarnel_mesh/formats/glb.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/util/progress.h"
#include "quarnel_mesh/util/text.h"
#include "support/mesh_test_util.h"

namespace {

using Triangle = std::array<float, 9>;

// The box [0, 1] x [0, 2] x [0, 4]: the unit cube stretched, so that every axis differs.
std::vector<TriangleRecord> boxRecords() {
    std::vector<TriangleRecord> records = unitCubeRecords();
    for (TriangleRecord& record : records) {
        for (Vec3f& v : record.vertices) {
            v.y *= 2.0f;
            v.z *= 4.0f;
        }
    }
    return records;
}

std::vector<TriangleRecord> moved(std::vector<TriangleRecord> records, Vec3f offset) {
    for (TriangleRecord& record : records) {
        for (Vec3f& v : record.vertices) {
            v = {v.x + offset.x, v.y + offset.y, v.z + offset.z};
        }
    }
    return records;
}

Triangle triangleOf(const Vec3f& a, const Vec3f& b, const Vec3f& c) {
    return {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z};
}

struct Glb {
    std::string json;
    std::string bin;
};

// Splits a .glb into its two chunks, checking the header and the chunk lengths on the way.
Glb readGlb(const std::string& bytes) {
    Glb glb;
    EXPECT_GE(bytes.size(), 28u);
    if (bytes.size() < 28) {
        return glb;
    }
    EXPECT_EQ(bytes.substr(0, 4), "glTF");
    EXPECT_EQ(uint32At(bytes, 4), 2u);
    EXPECT_EQ(uint32At(bytes, 8), bytes.size());
    const uint32_t jsonBytes = uint32At(bytes, 12);
    EXPECT_EQ(bytes.substr(16, 4), "JSON");
    EXPECT_EQ(jsonBytes % 4, 0u);
    glb.json = bytes.substr(20, jsonBytes);
    const size_t binAt = 20 + jsonBytes;
    EXPECT_EQ(bytes.substr(binAt + 4, 4), std::string("BIN\0", 4));
    glb.bin = bytes.substr(binAt + 8, uint32At(bytes, binAt));
    EXPECT_EQ(binAt + 8 + glb.bin.size(), bytes.size());
    return glb;
}

// A plain .glb as its vertices (position, then normal or nothing), sorted, and its triangles as
// corner positions, each turned to start at its least corner (the winding kept), sorted: what
// stays when the vertices are reordered.
struct GlbShape {
    std::vector<std::array<float, 6>> vertices;
    std::vector<Triangle> triangles;
};

GlbShape glbShape(const Glb& glb, bool normals) {
    GlbShape shape;
    // The first accessor is POSITION's.
    const size_t countAt = glb.json.find("\"count\":", glb.json.find("\"accessors\":["));
    const size_t vertexCount = std::stoul(glb.json.substr(countAt + 8));
    const size_t indexAt = (normals ? 24 : 12) * vertexCount;
    for (size_t v = 0; v < vertexCount; ++v) {
        std::array<float, 6> vertex = {};
        for (int c = 0; c < 3; ++c) {
            vertex[c] = floatAt(glb.bin, 12 * v + 4 * c);
            vertex[3 + c] = normals ? floatAt(glb.bin, 12 * (vertexCount + v) + 4 * c) : 0.0f;
        }
        shape.vertices.push_back(vertex);
    }
    for (size_t i = indexAt; i + 12 <= glb.bin.size(); i += 12) {
        std::array<std::array<float, 3>, 3> corners;
        for (int c = 0; c < 3; ++c) {
            const auto& vertex = shape.vertices[uint32At(glb.bin, i + 4 * c)];
            corners[c] = {vertex[0], vertex[1], vertex[2]};
        }
        std::rotate(corners.begin(), std::min_element(corners.begin(), corners.end()),
                    corners.end());
        shape.triangles.push_back(triangleOf({corners[0][0], corners[0][1], corners[0][2]},
                                             {corners[1][0], corners[1][1], corners[1][2]},
                                             {corners[2][0], corners[2][1], corners[2][2]}));
    }
    std::sort(shape.vertices.begin(), shape.vertices.end());
    std::sort(shape.triangles.begin(), shape.triangles.end());
    return shape;
}

// The validator's summary line and its issues, or "" when node or the validator is missing.
std::string validateGltf(const std::string& path) {
    if (access("/usr/bin/node", X_OK) != 0 ||
        access((std::string(QUARNEL_GLTF_VALIDATOR) + "/package.json").c_str(), R_OK) != 0) {
        return "";
    }
    const ProcessResult run =
        runProcess("/usr/bin/node", {QUARNEL_VALIDATE_GLTF_SCRIPT, QUARNEL_GLTF_VALIDATOR, path});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    return run.out;
}

const char kNoValidator[] =
    "the glTF validator is not installed (make test installs it with npm into build/tools)";

// The faces assimp reads from `path`, or -1 when assimp is not installed.
long assimpFaceCount(const std::string& path) {
    if (access("/usr/bin/assimp", X_OK) != 0) {
        return -1;
    }
    const ProcessResult info = runProcess("/usr/bin/assimp", {"info", path});
    EXPECT_EQ(info.exitStatus, 0) << info.err;
    const size_t at = info.out.find("Faces:");
    return at == std::string::npos ? 0 : std::stol(info.out.substr(at + 6));
}

std::vector<Vec3f> stlVertices(const std::string& stl) {
    std::vector<Vec3f> vertices;
    for (size_t facet = 84; facet + 50 <= stl.size(); facet += 50) {
        for (size_t v = 0; v < 3; ++v) {
            const size_t at = facet + 12 + 12 * v;
            vertices.push_back({floatAt(stl, at), floatAt(stl, at + 4), floatAt(stl, at + 8)});
        }
    }
    return vertices;
}

void boxOf(const std::vector<Vec3f>& points, Vec3f& lo, Vec3f& hi) {
    lo = hi = points.at(0);
    for (const Vec3f& p : points) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
}

bool loadFile(const std::string& path, IndexedMesh& mesh) {
    RecordReader reader;
    std::string error;
    Progress quiet;
    const bool loaded =
        openRecordFile(path, reader, error) && loadIndexedMesh(reader, mesh, quiet, error);
    EXPECT_TRUE(loaded) << error;
    return loaded;
}

}  // namespace

TEST(MeshExport, GlbOfABoxHoldsItsTrianglesWoundAsInTheFile) {
    TempDir dir;
    const std::vector<TriangleRecord> box = boxRecords();
    const std::string input = writeMeshFile(dir, "box.v3c1", box);
    const ProcessResult run = runMesh({"convert", input, dir.file("box.glb"), "--normals"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    const Glb glb = readGlb(readFile(dir.file("box.glb")));
    for (const std::string& expected :
         {std::string("\"attributes\":{\"POSITION\":0,\"NORMAL\":1}"),
          std::string("\"count\":8,\"type\":\"VEC3\",\"min\":[0,0,0],\"max\":[1,2,4]"),
          std::string("\"componentType\":5125,\"count\":36,\"type\":\"SCALAR\""),
          // 1, 0.8, 0.4 as sRGB, turned linear: ((c + 0.055) / 1.055)^2.4.
          std::string("\"baseColorFactor\":[1,0.60382735906"),
          std::string("\"buffers\":[{\"byteLength\":336}]")}) {
        EXPECT_NE(glb.json.find(expected), std::string::npos) << expected << "\n" << glb.json;
    }
    ASSERT_EQ(glb.bin.size(), 8 * 12 + 8 * 12 + 36 * 4);
    // The vertex order is the GPU's, not the file's: compare the triangles as sets, each with
    // its corners in the file's cyclic order.
    std::vector<Triangle> written;
    for (size_t t = 0; t < 12; ++t) {
        Vec3f corners[3];
        for (size_t c = 0; c < 3; ++c) {
            const uint32_t index = uint32At(glb.bin, 192 + 4 * (3 * t + c));
            ASSERT_LT(index, 8u);
            corners[c] = {floatAt(glb.bin, 12 * index), floatAt(glb.bin, 12 * index + 4),
                          floatAt(glb.bin, 12 * index + 8)};
            // A corner's smooth normal points out of the box: along the corner's own direction.
            const Vec3f normal = {floatAt(glb.bin, 96 + 12 * index),
                                  floatAt(glb.bin, 96 + 12 * index + 4),
                                  floatAt(glb.bin, 96 + 12 * index + 8)};
            EXPECT_GT(normal.x * (corners[c].x - 0.5f) + normal.y * (corners[c].y - 1.0f) +
                          normal.z * (corners[c].z - 2.0f),
                      0.0f);
        }
        // Rotate so the smallest corner comes first: the same triangle, the same winding.
        Triangle best = triangleOf(corners[0], corners[1], corners[2]);
        best = std::min({best, triangleOf(corners[1], corners[2], corners[0]),
                         triangleOf(corners[2], corners[0], corners[1])});
        written.push_back(best);
    }
    std::vector<Triangle> expected;
    for (const TriangleRecord& r : box) {
        const Vec3f* v = r.vertices;
        expected.push_back(std::min({triangleOf(v[0], v[1], v[2]), triangleOf(v[1], v[2], v[0]),
                                     triangleOf(v[2], v[0], v[1])}));
    }
    std::sort(written.begin(), written.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(written, expected);
    const std::string report = validateGltf(dir.file("box.glb"));
    if (!report.empty()) {
        EXPECT_EQ(report, "errors 0 warnings 0\n");
    }
    // A box that does not hold the origin: the bounds come from the positions alone.
    const std::string far = writeMeshFile(dir, "far.v3c1", moved(box, {5, 6, 7}));
    ASSERT_EQ(runMesh({"convert", far, dir.file("far.glb")}).exitStatus, 0);
    EXPECT_NE(readGlb(readFile(dir.file("far.glb"))).json.find("\"min\":[5,6,7],\"max\":[6,8,11]"),
              std::string::npos);
}

TEST(MeshExport, StreamedGlbOfPresetsZeroToThreeHoldsTheInMemoryOnesMesh) {
    TempDir dir;
    for (const char* preset : {"0", "1", "2", "3"}) {
        ASSERT_EQ(runProcess(QUARNEL_EXE, {preset}, dir.path).exitStatus, 0);
    }
    const std::vector<std::vector<std::string>> options = {
        {}, {"--normals"}, {"--size", "100"}, {"--normals", "--size", "100"}};
    size_t option = 0;
    for (const std::string& name : listDir(dir.path)) {
        // An edit that drops nothing hands the writer the same records.
        const std::vector<std::string>& extra = options[option++ % options.size()];
        std::vector<std::string> streamedArgs = {"convert", dir.file(name), dir.file("s.glb")};
        streamedArgs.insert(streamedArgs.end(), extra.begin(), extra.end());
        std::vector<std::string> inMemoryArgs = streamedArgs;
        inMemoryArgs[2] = dir.file("m.glb");
        inMemoryArgs.insert(inMemoryArgs.end(), {"--drop-islands", "1"});
        const ProcessResult streamed = runMesh(streamedArgs);
        const ProcessResult inMemory = runMesh(inMemoryArgs);
        ASSERT_EQ(streamed.exitStatus, 0) << streamed.err;
        ASSERT_EQ(inMemory.exitStatus, 0) << inMemory.err;
        EXPECT_EQ(inMemory.out.substr(inMemory.out.find('\n') + 1), streamed.out) << name;
        const Glb s = readGlb(readFile(dir.file("s.glb")));
        const Glb m = readGlb(readFile(dir.file("m.glb")));
        EXPECT_EQ(s.json, m.json) << name;
        const bool normals = extra.size() % 2 == 1;
        const GlbShape streamedShape = glbShape(s, normals);
        const GlbShape inMemoryShape = glbShape(m, normals);
        EXPECT_GT(streamedShape.triangles.size(), 40000u) << name;
        EXPECT_TRUE(streamedShape.triangles == inMemoryShape.triangles) << name;
        // The normals' sums run over the faces in another order: the last bit may differ.
        ASSERT_EQ(streamedShape.vertices.size(), inMemoryShape.vertices.size()) << name;
        size_t apart = 0;
        for (size_t v = 0; v < streamedShape.vertices.size(); ++v) {
            for (int c = 0; c < 6; ++c) {
                apart += std::fabs(streamedShape.vertices[v][c] - inMemoryShape.vertices[v][c]) >
                         (c < 3 ? 0.0f : 1e-6f);
            }
        }
        EXPECT_EQ(apart, 0u) << name;
        const std::string report = validateGltf(dir.file("s.glb"));
        if (!report.empty()) {
            EXPECT_EQ(report, "errors 0 warnings 0\n") << name;
        }
    }
}

TEST(MeshExport, GlbLargerThanItsHeaderCanSayIsRefused) {
    struct Case {
        uint64_t vertexCount;
        uint64_t triangleCount;
        bool normals;
        uint64_t fileBytes;
    };
    // Presets 8 and 11 (about half a vertex per triangle), and the largest meshes around the limit:
    // 28 bytes of headers, 12 per vertex (24 with normals) and 12 per triangle.
    const Case cases[] = {
        {23056000, 46121600, false, 830131228},
        {23056000, 46121600, true, 1106803228},
        {177130510, 354261020, false, 6376698388},
        {177130510, 354261020, true, 8502264508},
        {0, 357913939, false, 4294967296},
        {0, 357913938, false, 4294967284},
        {1, 357913938, false, 4294967296},
    };
    for (const Case& c : cases) {
        const uint64_t bytes =
            glbFileBytes(0, plainGlbBinBytes(c.vertexCount, c.triangleCount, c.normals));
        EXPECT_EQ(bytes, c.fileBytes) << c.triangleCount;
        EXPECT_EQ(bytes > UINT32_MAX, c.fileBytes > 4294967295u) << c.triangleCount;
    }
    EXPECT_EQ(glbFileBytes(1, 1), 12u + 8 + 4 + 8 + 4);
    EXPECT_EQ(describeGlbTooLarge(6376698388, true),
              "the glTF file would take 6376698388 bytes; a .glb holds at most 4294967295: "
              "simplify it first (--simplify)");
    EXPECT_EQ(describeGlbTooLarge(4294967296, false),
              "the glTF file would take more than 4294967295 bytes; a .glb holds at most "
              "4294967295: simplify it first (--simplify)");
}

TEST(MeshExport, CompressedGlbStreamsInPrimitivesWithTheInMemoryWritersBytes) {
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"3"}, dir.path).exitStatus, 0);
    const std::string input = dir.file("quarnel_1.59m.v3c1");
    IndexedMesh mesh;
    ASSERT_TRUE(loadFile(input, mesh));
    // 1.59 M triangles: two primitives, the second waiting for vertices the first made final.
    for (const bool normals : {false, true}) {
        AtomicOutput output;
        std::string error;
        ASSERT_TRUE(openAtomicOutput(dir.file("memory.glb"), output) &&
                    writeGlb(mesh, {normals, true, "quarnel_1.59m.v3c1"}, output, error) &&
                    commitAtomicOutput(output))
            << error;
        std::vector<std::string> args = {"convert", input, dir.file("stream.glb"), "--compress"};
        if (normals) {
            args.push_back("--normals");
        }
        ASSERT_EQ(runMesh(args).exitStatus, 0);
        const std::string streamed = readFile(dir.file("stream.glb"));
        EXPECT_TRUE(streamed == readFile(dir.file("memory.glb"))) << normals;
        const std::string json = readGlb(streamed).json;
        EXPECT_NE(json.find("\"mode\":4},{\"attributes\""), std::string::npos) << json;
        const std::string report = validateGltf(dir.file("stream.glb"));
        if (!report.empty()) {
            EXPECT_EQ(report, "errors 0 warnings 0\n");
        }
    }
}

TEST(MeshExport, CompressedGlbDecodesToThePlainOnesMesh) {
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const std::string input = dir.file("quarnel_0.04m.v3c1");
    // Compressed, one primitive here in the vertex cache's order; the in-memory writer does the
    // same uncompressed (a plain conversion streams in the weld's order).
    IndexedMesh mesh;
    ASSERT_TRUE(loadFile(input, mesh));
    AtomicOutput output;
    std::string error;
    ASSERT_TRUE(openAtomicOutput(dir.file("plain.glb"), output) &&
                writeGlb(mesh, {true, false, "p0"}, output, error) && commitAtomicOutput(output))
        << error;
    ASSERT_EQ(runMesh({"convert", input, dir.file("small.glb"), "--normals", "--compress"})
                  .exitStatus,
              0);
    const Glb plain = readGlb(readFile(dir.file("plain.glb")));
    const Glb small = readGlb(readFile(dir.file("small.glb")));
    EXPECT_LT(small.bin.size() * 4, plain.bin.size());
    // The three streams, in the order of the views: where each lies compressed, and the node
    // transform that turns the quantized positions back.
    const std::regex stream("\"EXT_meshopt_compression\":\\{\"buffer\":0,\"byteOffset\":([0-9]+),"
                            "\"byteLength\":([0-9]+),\"byteStride\":([0-9]+),\"count\":([0-9]+)");
    std::vector<std::array<size_t, 4>> streams;
    for (std::sregex_iterator it(small.json.begin(), small.json.end(), stream), end; it != end;
         ++it) {
        streams.push_back({std::stoul((*it)[1]), std::stoul((*it)[2]), std::stoul((*it)[3]),
                           std::stoul((*it)[4])});
    }
    ASSERT_EQ(streams.size(), 3u) << small.json;
    std::smatch transform;
    ASSERT_TRUE(std::regex_search(small.json, transform,
                                  std::regex("\"translation\":\\[([^,]+),([^,]+),([^\\]]+)\\],"
                                             "\"scale\":\\[([^,]+),")));
    const double origin[3] = {std::stod(transform[1]), std::stod(transform[2]),
                              std::stod(transform[3])};
    const double step = std::stod(transform[4]);
    const auto bytesOf = [&small](const std::array<size_t, 4>& s) {
        return reinterpret_cast<const unsigned char*>(small.bin.data()) + s[0];
    };
    const size_t vertexCount = streams[0][3];
    std::vector<int16_t> positions(4 * vertexCount);
    std::vector<int8_t> normals(4 * vertexCount);
    std::vector<uint32_t> indices(streams[2][3]);
    ASSERT_EQ(meshopt_decodeVertexBuffer(positions.data(), vertexCount, 8, bytesOf(streams[0]),
                                         streams[0][1]), 0);
    ASSERT_EQ(meshopt_decodeVertexBuffer(normals.data(), vertexCount, 4, bytesOf(streams[1]),
                                         streams[1][1]), 0);
    ASSERT_EQ(meshopt_decodeIndexBuffer(indices.data(), indices.size(), 4, bytesOf(streams[2]),
                                        streams[2][1]), 0);
    // The same vertices in the same order, each within half a quantization step, normals within
    // one 8-bit step; the same triangles, the codec free to start each at another corner.
    ASSERT_EQ(plain.bin.size(), vertexCount * 24 + indices.size() * 4);
    for (size_t v = 0; v < vertexCount; ++v) {
        for (size_t c = 0; c < 3; ++c) {
            const double decoded = origin[c] + positions[4 * v + c] * step;
            ASSERT_NEAR(decoded, floatAt(plain.bin, 12 * v + 4 * c), 0.5 * step * 1.0001) << v;
            ASSERT_NEAR(normals[4 * v + c] / 127.0, floatAt(plain.bin, 12 * (vertexCount + v) + 4 * c),
                        1.0 / 127.0) << v;
        }
    }
    const auto firstSmallest = [](uint32_t a, uint32_t b, uint32_t c) {
        return a < b && a < c ? std::array<uint32_t, 3>{a, b, c}
               : b < c        ? std::array<uint32_t, 3>{b, c, a}
                              : std::array<uint32_t, 3>{c, a, b};
    };
    for (size_t i = 0; i < indices.size(); i += 3) {
        const auto at = [&](size_t k) { return uint32At(plain.bin, 24 * vertexCount + 4 * k); };
        ASSERT_EQ(firstSmallest(indices[i], indices[i + 1], indices[i + 2]),
                  firstSmallest(at(i), at(i + 1), at(i + 2)))
            << i;
    }
    const std::string report = validateGltf(dir.file("small.glb"));
    if (!report.empty()) {
        EXPECT_EQ(report, "errors 0 warnings 0\n");
    }
}

TEST(MeshExport, ThreeMfLeavesOutEveryKindOfDegenerateTriangle) {
    TempDir dir;
    std::vector<TriangleRecord> records = unitCubeRecords();
    const Vec3f a = {0, 0, 0};
    const Vec3f b = {1, 0, 0};
    for (const TriangleRecord& degenerate : {makeRecord(a, a, b), makeRecord(a, b, b),
                                             makeRecord(a, b, a)}) {
        records.push_back(degenerate);
    }
    const std::string input = writeMeshFile(dir, "cube.v3c1", records);
    const ProcessResult run = runMesh({"convert", input, dir.file("cube.3mf")});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "scaled: by 100 (to 100 mm, the default size of a 3MF; --size sets "
                       "another)\nleft out: 3 triangles with two equal vertices, which 3MF "
                       "forbids\n");
}

TEST(MeshExport, NamesInJsonAndXmlHoldOnlyCharactersBothAllow) {
    const std::string replaced = "\xEF\xBF\xBD";  // U+FFFD
    const auto replacements = [&replaced](int count) {
        std::string text;
        while (count-- > 0) {
            text += replaced;
        }
        return text;
    };
    // Characters next to the noncharacters: U+FDF0, U+FFFD, the euro sign, U+10FFFD.
    const std::string kept = "\xEF\xB7\xB0\xEF\xBF\xBD\xE2\x82\xAC\xF4\x8F\xBF\xBD";
    struct Case {
        std::string name;
        std::string json;  // without its quotes
        std::string xml;
    };
    const Case cases[] = {
        // Noncharacters: U+FFFE (between a and b), U+FFFF, U+FDD0, U+1FFFE, U+10FFFF.
        {"a\xEF\xBF\xBE" "b", "a" + replaced + "b", "a" + replaced + "b"},
        {"\xEF\xBF\xBF\xEF\xB7\x90\xF0\x9F\xBF\xBE\xF4\x8F\xBF\xBF", replacements(4),
         replacements(4)},
        {kept, kept, kept},
        // Controls: C0, DEL and C1 (U+0085).
        {"\x01\t\x7F\xC2\x85", "\\u0001\\u0009\\u007f\\u0085", "????"},
        // No UTF-8: a stray byte, a surrogate (three bytes), an overlong slash (two).
        {"\xFF\xED\xA0\x80\xC0\xAF", replacements(6), replacements(6)},
        {"<&>\"\\", "<&>\\\"\\\\", "&lt;&amp;&gt;\"\\"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jsonString(c.name), "\"" + c.json + "\"") << c.name;
        EXPECT_EQ(xmlText(c.name), c.xml) << c.name;
    }
}

TEST(MeshExport, GlbOfPresetsZeroAndOnePassesTheValidatorAndAssimp) {
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"1"}, dir.path).exitStatus, 0);
    struct Case {
        std::vector<std::string> args;
        long minFaces;
        long maxFaces;
    };
    const std::string preset0 = dir.file("quarnel_0.04m.v3c1");
    const std::string preset1 = dir.file("quarnel_0.51m.v3c1");
    // The glTF names its source: quotes, a newline and a byte that is no UTF-8 stay valid JSON.
    const std::string oddName = dir.file("odd \"name\"\n\xff.v3c1");
    ASSERT_EQ(link(preset0.c_str(), oddName.c_str()), 0);
    const std::vector<Case> cases = {
        {{"convert", preset0, dir.file("p0.glb"), "--normals"}, 43388, 43388},
        {{"convert", oddName, dir.file("odd.glb"), "--size", "100"}, 43388, 43388},
        {{"convert", preset1, dir.file("p1.glb")}, 512512, 512512},
        {{"convert", preset1, dir.file("p1s.glb"), "--simplify", "0.1", "--normals"}, 45900,
         56100},
        // The web recipe.
        {{"convert", preset1, dir.file("web.glb"), "--simplify", "0.1", "--normals", "--compress"},
         45900, 56100},
    };
    bool checked = false;
    for (const Case& c : cases) {
        const ProcessResult run = runMesh(c.args);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        long faces = c.minFaces;
        if (c.minFaces != c.maxFaces) {
            // "simplified: 512512 -> N triangles, geometric error E (P% of the extent)"
            ASSERT_EQ(run.out.rfind("simplified: 512512 -> ", 0), 0u) << run.out;
            faces = std::stol(run.out.substr(22));
            EXPECT_GE(faces, c.minFaces);
            EXPECT_LE(faces, c.maxFaces);
        }
        const std::string report = validateGltf(c.args[2]);
        if (!report.empty()) {
            EXPECT_EQ(report, "errors 0 warnings 0\n") << c.args[2];
            checked = true;
        }
        // assimp has no meshopt decoder.
        const bool compressed = c.args.back() == "--compress";
        const long assimpFaces = compressed ? -1 : assimpFaceCount(c.args[2]);
        if (assimpFaces >= 0) {
            EXPECT_EQ(assimpFaces, faces) << c.args[2];
        }
    }
    if (!checked) {
        GTEST_SKIP() << kNoValidator;
    }
}

TEST(MeshExport, SimplifiedClosedMeshStaysClosed) {
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    IndexedMesh mesh;
    ASSERT_TRUE(loadFile(dir.file("quarnel_0.04m.v3c1"), mesh));
    Topology before;
    std::string error;
    ASSERT_TRUE(computeTopology(mesh, before, error));
    ASSERT_EQ(before.boundaryEdgeCount, 0);
    SimplifyReport report;
    ASSERT_TRUE(simplifyMesh(mesh, 0.1, report, error)) << error;
    EXPECT_NEAR(report.triangleCountAfter, 4339, 434);
    EXPECT_GT(report.absoluteError, 0.0);
    EXPECT_LT(report.relativeError, 0.05);
    Topology after;
    ASSERT_TRUE(computeTopology(mesh, after, error));
    EXPECT_EQ(after.faceCount, report.triangleCountAfter);
    EXPECT_EQ(after.boundaryEdgeCount, 0);
    EXPECT_NEAR(after.signedVolume, before.signedVolume, 0.05 * before.signedVolume);
    // Preset 1 is simplified in slabs first: still closed, and the same on one thread as on two.
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"1"}, dir.path).exitStatus, 0);
    std::vector<uint32_t> indicesOnThreads[2];
    for (const int threads : {1, 2}) {
        const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
        IndexedMesh large;
        ASSERT_TRUE(loadFile(dir.file("quarnel_0.51m.v3c1"), large));
        SimplifyReport slabs;
        ASSERT_TRUE(simplifyMesh(large, 0.1, slabs, error)) << error;
        EXPECT_NEAR(slabs.triangleCountAfter, 51251, 5125);
        EXPECT_LT(slabs.relativeError, 0.05);
        Topology simplified;
        ASSERT_TRUE(computeTopology(large, simplified, error));
        // Closed, though the simplifier pinches thin parts into non-manifold edges, in one pass
        // as in slabs (1,125 and 1,147 here).
        EXPECT_EQ(simplified.boundaryEdgeCount, 0);
        indicesOnThreads[threads - 1] = large.indices;
    }
    EXPECT_TRUE(indicesOnThreads[0] == indicesOnThreads[1]);
    // Streamed, in chunks of the sweep: closed as well, the same on any thread count, and near
    // the in-memory result's error; a stop ends it. Preset 1 is one slab of the second pass
    // (its chunks joined in memory); preset 3 at 0.5 is two, dealt behind the sweep.
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"3"}, dir.path).exitStatus, 0);
    const struct {
        const char* file;
        double ratio;
        int64_t triangleCount;
    } streamedCases[] = {{"quarnel_0.51m.v3c1", 0.1, 512512}, {"quarnel_1.59m.v3c1", 0.5, 1585928}};
    for (const auto& c : streamedCases) {
        std::vector<uint32_t> streamedIndices[2];
        std::vector<std::array<float, 3>> streamedVertices[2];
        for (const int threads : {1, 2}) {
            const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
            RecordReader reader;
            ASSERT_TRUE(openRecordFile(dir.file(c.file), reader, error)) << error;
            IndexedMesh streamed;
            SimplifyReport streamedReport;
            RunContext run;
            ASSERT_TRUE(simplifyRecords(reader, c.ratio, streamed, streamedReport, nullptr, run))
                << run.error;
            EXPECT_EQ(streamedReport.triangleCountBefore, c.triangleCount);
            const double target = c.ratio * static_cast<double>(c.triangleCount);
            EXPECT_NEAR(streamedReport.triangleCountAfter, target, 0.1 * target) << c.file;
            EXPECT_LT(streamedReport.relativeError, 0.05);
            Topology topology;
            ASSERT_TRUE(computeTopology(streamed, topology, error));
            EXPECT_EQ(topology.boundaryEdgeCount, 0) << c.file;
            EXPECT_EQ(topology.faceCount, streamedReport.triangleCountAfter);
            // Compact: every vertex is used.
            EXPECT_EQ(topology.vertexCount, static_cast<int64_t>(streamed.vertices.size()));
            streamedIndices[threads - 1] = streamed.indices;
            for (const WeldedVertex& vertex : streamed.vertices) {
                const Vec3f& p = vertex.position;
                streamedVertices[threads - 1].push_back({p.x, p.y, p.z});
            }
        }
        EXPECT_TRUE(streamedIndices[0] == streamedIndices[1]) << c.file;
        EXPECT_TRUE(streamedVertices[0] == streamedVertices[1]) << c.file;
    }
    // Near float's limit the simplifier's extent overflows: the report says so, not "-nan".
    std::vector<TriangleRecord> hugeCube = unitCubeRecords();
    for (TriangleRecord& record : hugeCube) {
        for (Vec3f& v : record.vertices) {
            v = {v.x * 3e38f, v.y * 3e38f, v.z * 3e38f};
        }
    }
    const std::string huge = writeMeshFile(dir, "huge.v3c1", hugeCube);
    const ProcessResult run = runMesh({"convert", huge, dir.file("huge.ply"), "--simplify", "0.5"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out.find("nan"), std::string::npos) << run.out;
}

TEST(MeshExport, ZUpAndSizeTurnAndScaleEveryFormat) {
    TempDir dir;
    const std::string input = writeMeshFile(dir, "box.v3c1", boxRecords());
    // Longest side 4 -> 100: scale 25. (x, y, z) -> (x, -z, y): x 0..25, y -100..0, z 0..50.
    for (const std::string name : {"box.stl", "box.ply", "box.3mf"}) {
        const ProcessResult run =
            runMesh({"convert", input, dir.file(name), "--z-up", "--size", "100"});
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out, "scaled: by 25\n");
    }
    // glTF is y-up and in metres: no turn, and 100 mm is 0.1.
    const ProcessResult glb = runMesh({"convert", input, dir.file("box.glb"), "--size", "100"});
    ASSERT_EQ(glb.exitStatus, 0) << glb.err;
    EXPECT_EQ(glb.out, "scaled: by 0.025 (millimetres as metres, glTF's unit)\n");
    EXPECT_EQ(runMesh({"convert", input, dir.file("up.glb"), "--z-up"}).exitStatus, 1);
    const std::string stl = readFile(dir.file("box.stl"));
    Vec3f lo, hi;
    boxOf(stlVertices(stl), lo, hi);
    EXPECT_TRUE(sameFloats(lo, {0, -100, 0}) && sameFloats(hi, {25, 0, 50}));
    // The box's +y faces (records 6 and 7) now face +z: the turn kept the winding outward.
    EXPECT_TRUE(sameFloats({floatAt(stl, 84 + 6 * 50), floatAt(stl, 84 + 6 * 50 + 4),
                            floatAt(stl, 84 + 6 * 50 + 8)},
                           {0, 0, 1}));
    const std::string ply = readFile(dir.file("box.ply"));
    const size_t body = ply.find("end_header\n") + 11;
    std::vector<Vec3f> plyVertices;
    for (size_t v = 0; v < 8; ++v) {
        const size_t at = body + 15 * v;
        plyVertices.push_back({floatAt(ply, at), floatAt(ply, at + 4), floatAt(ply, at + 8)});
    }
    boxOf(plyVertices, lo, hi);
    EXPECT_TRUE(sameFloats(lo, {0, -100, 0}) && sameFloats(hi, {25, 0, 50}));
    EXPECT_NE(readGlb(readFile(dir.file("box.glb")))
                  .json.find("\"min\":[0,0,0],\"max\":[0.02500000037252903,0.05000000074505806,0.10000000149011612]"),
              std::string::npos)
        << readGlb(readFile(dir.file("box.glb"))).json;

    // The fractal: longest side 100 to 0.01, and z spans what y spanned, scaled alike.
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const std::string records = readFile(dir.file("quarnel_0.04m.v3c1"));
    std::vector<Vec3f> inputVertices;
    for (size_t at = 0; at < records.size(); at += 48) {
        for (size_t v = 0; v < 3; ++v) {
            inputVertices.push_back({floatAt(records, at + 12 * v),
                                     floatAt(records, at + 12 * v + 4),
                                     floatAt(records, at + 12 * v + 8)});
        }
    }
    Vec3f inLo, inHi;
    boxOf(inputVertices, inLo, inHi);
    const double inLongest = std::max({inHi.x - inLo.x, inHi.y - inLo.y, inHi.z - inLo.z});
    ASSERT_EQ(runMesh({"convert", dir.file("quarnel_0.04m.v3c1"), dir.file("p0.stl"), "--z-up",
                       "--size", "100"})
                  .exitStatus,
              0);
    boxOf(stlVertices(readFile(dir.file("p0.stl"))), lo, hi);
    EXPECT_NEAR(std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z}), 100.0, 0.01);
    EXPECT_NEAR(hi.z - lo.z, (inHi.y - inLo.y) * 100.0 / inLongest, 0.01);
}

TEST(MeshExport, ThreeMfOfPresetZeroReadsBackInMillimetres) {
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const std::string path = dir.file("p0.3mf");
    // Its name becomes the Title, markup and all.
    const std::string input = dir.file("a <b> & c.v3c1");
    ASSERT_EQ(rename(dir.file("quarnel_0.04m.v3c1").c_str(), input.c_str()), 0);
    const ProcessResult run = runMesh({"convert", input, path});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    // Streamed, and from memory after an edit that changes nothing: the same bytes.
    ASSERT_EQ(runMesh({"convert", input, dir.file("edited.3mf"), "--drop-islands", "1"}).exitStatus,
              0);
    EXPECT_EQ(readFile(dir.file("edited.3mf")), readFile(path));
    // Every vertex reads back as the float it was placed to, in the weld's order, and every
    // triangle as the weld's.
    IndexedMesh mesh;
    ASSERT_TRUE(loadFile(input, mesh));
    Vec3f boxMin, boxMax;
    double smallest = 0.0;
    Placement placement;
    placement.zUp = true;
    ASSERT_TRUE(usedVertexBox(mesh, boxMin, boxMax, smallest) &&
                scaleForSize(boxMin, boxMax, 100.0, placement.scale));
    NMR::PLib3MFModel* model = nullptr;
    NMR::PLib3MFModelReader* reader = nullptr;
    NMR::PLib3MFModelResourceIterator* objects = nullptr;
    NMR::PLib3MFModelResource* object = nullptr;
    ASSERT_EQ(NMR::lib3mf_createmodel(&model), LIB3MF_OK);
    ASSERT_EQ(NMR::lib3mf_model_queryreader(model, "3mf", &reader), LIB3MF_OK);
    EXPECT_EQ(NMR::lib3mf_reader_readfromfileutf8(reader, path.c_str()), LIB3MF_OK);
    DWORD unit = 99;
    EXPECT_EQ(NMR::lib3mf_model_getunit(model, &unit), LIB3MF_OK);
    EXPECT_EQ(unit, static_cast<DWORD>(NMR::MODELUNIT_MILLIMETER));
    ASSERT_EQ(NMR::lib3mf_model_getmeshobjects(model, &objects), LIB3MF_OK);
    BOOL hasNext = false;
    int objectCount = 0;
    DWORD triangleCount = 0;
    std::vector<Vec3f> placedVertices;
    while (NMR::lib3mf_resourceiterator_movenext(objects, &hasNext) == LIB3MF_OK && hasNext) {
        ++objectCount;
        ASSERT_EQ(NMR::lib3mf_resourceiterator_getcurrent(objects, &object), LIB3MF_OK);
        EXPECT_EQ(NMR::lib3mf_meshobject_gettrianglecount(object, &triangleCount), LIB3MF_OK);
        DWORD vertexCount = 0;
        EXPECT_EQ(NMR::lib3mf_meshobject_getvertexcount(object, &vertexCount), LIB3MF_OK);
        ASSERT_EQ(vertexCount, mesh.vertices.size());
        ASSERT_EQ(3 * triangleCount, mesh.indices.size());
        std::vector<NMR::MODELMESHVERTEX> vertices(vertexCount);
        std::vector<NMR::MODELMESHTRIANGLE> triangles(triangleCount);
        EXPECT_EQ(NMR::lib3mf_meshobject_getvertices(object, vertices.data(), vertexCount,
                                                     nullptr),
                  LIB3MF_OK);
        EXPECT_EQ(NMR::lib3mf_meshobject_gettriangleindices(object, triangles.data(),
                                                            triangleCount, nullptr),
                  LIB3MF_OK);
        size_t differentVertices = 0;
        for (size_t v = 0; v < vertexCount; ++v) {
            const Vec3f placed = placeVertex(mesh.vertices[v].position, placement);
            const float* read = vertices[v].m_fPosition;
            differentVertices +=
                read[0] != placed.x || read[1] != placed.y || read[2] != placed.z;
            placedVertices.push_back(placed);
        }
        EXPECT_EQ(differentVertices, 0u);
        EXPECT_EQ(std::memcmp(triangles.data(), mesh.indices.data(), 4 * mesh.indices.size()), 0);
        NMR::lib3mf_release(object);
    }
    EXPECT_EQ(objectCount, 1);
    EXPECT_EQ(triangleCount, 43388u);
    std::vector<std::string> metadata;
    DWORD metadataCount = 0;
    EXPECT_EQ(NMR::lib3mf_model_getmetadatacount(model, &metadataCount), LIB3MF_OK);
    for (DWORD m = 0; m < metadataCount; ++m) {
        char key[64] = {};
        char value[256] = {};
        ULONG needed = 0;
        NMR::lib3mf_model_getmetadatakeyutf8(model, m, key, sizeof key, &needed);
        NMR::lib3mf_model_getmetadatavalueutf8(model, m, value, sizeof value, &needed);
        metadata.push_back(std::string(key) + "=" + value);
    }
    // lib3mf neither writes nor reads the entities of metadata: the file holds them (so that
    // every XML reader gets the name back), and lib3mf hands them back as they stand.
    EXPECT_EQ(metadata, (std::vector<std::string>{"Title=a &lt;b&gt; &amp; c.v3c1",
                                                  "Application=quarnel-mesh 1.0"}));
    // The build item stands the object on a 200 mm plate: lowest vertex at z = 0, the box's
    // middle over the plate's, not turned.
    NMR::PLib3MFModelBuildItemIterator* items = nullptr;
    NMR::PLib3MFModelBuildItem* item = nullptr;
    ASSERT_EQ(NMR::lib3mf_model_getbuilditems(model, &items), LIB3MF_OK);
    ASSERT_EQ(NMR::lib3mf_builditemiterator_movenext(items, &hasNext), LIB3MF_OK);
    ASSERT_TRUE(hasNext);
    ASSERT_EQ(NMR::lib3mf_builditemiterator_getcurrent(items, &item), LIB3MF_OK);
    NMR::MODELTRANSFORM transform = {};
    EXPECT_EQ(NMR::lib3mf_builditem_getobjecttransform(item, &transform), LIB3MF_OK);
    Vec3f lo, hi;
    boxOf(placedVertices, lo, hi);
    const float(*m)[4] = transform.m_fFields;
    EXPECT_EQ(std::vector<float>({m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0],
                                  m[2][1], m[2][2]}),
              std::vector<float>({1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_NEAR((lo.x + hi.x) / 2 + m[0][3], 100.0, 1e-4);
    EXPECT_NEAR((lo.y + hi.y) / 2 + m[1][3], 100.0, 1e-4);
    EXPECT_EQ(lo.z + m[2][3], 0.0f);
    NMR::lib3mf_release(item);
    NMR::lib3mf_release(items);
    NMR::lib3mf_release(objects);
    NMR::lib3mf_release(reader);
    NMR::lib3mf_release(model);
}

TEST(MeshExport, ThreeMfOfPresetZeroOpensInTheSlicer) {
    const std::string slicer = "/usr/bin/prusa-slicer";
    if (access(slicer.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "prusa-slicer is not installed (make test installs it)";
    }
    TempDir dir;
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"0"}, dir.path).exitStatus, 0);
    const std::string path = dir.file("p0.3mf");
    ASSERT_EQ(runMesh({"convert", dir.file("quarnel_0.04m.v3c1"), path}).exitStatus, 0);
    const ProcessResult info = runProcess(slicer, {"--info", path});
    EXPECT_NE(info.out.find("number_of_facets = 43388"), std::string::npos) << info.out;
}

TEST(MeshExport, DropIslandsRemovesSmallPiecesAndSaysSo) {
    TempDir dir;
    std::vector<TriangleRecord> records = unitCubeRecords();
    const std::vector<TriangleRecord> far = moved(unitCubeRecords(), {5, 0, 0});
    records.insert(records.end(), far.begin(), far.end());
    records.push_back(makeRecord({9, 0, 0}, {10, 0, 0}, {9, 1, 0}));  // a lone triangle
    const std::string input = writeMeshFile(dir, "three.v3c1", records);
    struct Case {
        std::string threshold;
        std::string report;
        std::string header;
    };
    const std::vector<Case> cases = {
        {"1", "islands: 0 of 3 pieces dropped, 0 faces\n", "element vertex 19\n"},
        {"2", "islands: 1 of 3 pieces dropped, 1 faces\n", "element vertex 16\n"},
    };
    for (const Case& c : cases) {
        const ProcessResult run =
            runMesh({"convert", input, dir.file("out.ply"), "--drop-islands", c.threshold});
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out, c.report);
        EXPECT_NE(readFile(dir.file("out.ply")).find(c.header), std::string::npos) << c.threshold;
    }
    // An edit that leaves nothing is refused in every format, as is one that simplifies all away.
    for (const std::string name : {"none.ply", "none.glb", "none.stl"}) {
        const ProcessResult empty =
            runMesh({"convert", input, dir.file(name), "--drop-islands", "13"});
        EXPECT_EQ(empty.err, "quarnel-mesh: nothing left after dropping the pieces of fewer than "
                             "13 faces from " + input + ": its largest piece has 12 faces\n");
        EXPECT_EQ(empty.exitStatus, 1);
        EXPECT_FALSE(fileExists(dir.file(name)));
    }
    const ProcessResult simplifiedAway =
        runMesh({"convert", input, dir.file("none.obj"), "--simplify", "1e-6"});
    EXPECT_EQ(simplifiedAway.err, "quarnel-mesh: nothing left after simplifying " + input +
                                      " to 1e-06 of its triangles; give a larger ratio\n");
    EXPECT_EQ(simplifiedAway.exitStatus, 1);
    EXPECT_FALSE(fileExists(dir.file("none.obj")));
}

TEST(MeshExport, EditsThatLeaveNoTriangleAreRefusedInEveryFormat) {
    TempDir dir;
    const TriangleRecord nan = makeRecord({kNaN, 0, 0}, {0, kNaN, 0}, {0, 0, kNaN});
    const std::string input = writeMeshFile(dir, "nan.v3c1", std::vector<TriangleRecord>(20, nan));
    for (const std::vector<std::string>& edit : {std::vector<std::string>{"--simplify", "0.5"},
                                                {"--drop-islands", "5"}, {"--body"}}) {
        for (const std::string name : {"e.stl", "e.ply", "e.obj", "e.glb", "e.3mf"}) {
            std::vector<std::string> args = {"convert", input, dir.file(name)};
            args.insert(args.end(), edit.begin(), edit.end());
            const ProcessResult run = runMesh(args);
            EXPECT_EQ(run.err, "quarnel-mesh: no triangles left to write to " + dir.file(name) +
                                   "\n") << name << edit[0];
            EXPECT_EQ(run.exitStatus, 1);
        }
    }
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"nan.v3c1"});
}

TEST(MeshExport, BodyKeepsTheLargestPieceAndTheVoidsInsideIt) {
    TempDir dir;
    // Every piece a cube; the body's faces split in three so that it has the most.
    const auto cube = [](float size, Vec3f at, bool inward) {
        std::vector<TriangleRecord> records = unitCubeRecords();
        for (TriangleRecord& r : records) {
            for (Vec3f& v : r.vertices) {
                v = {at.x + size * v.x, at.y + size * v.y, at.z + size * v.z};
            }
            if (inward) {
                std::swap(r.vertices[1], r.vertices[2]);
            }
        }
        return records;
    };
    std::vector<TriangleRecord> records;
    for (const TriangleRecord& r : cube(4, {0, 0, 0}, false)) {
        const Vec3f* v = r.vertices;
        const Vec3f g = {(v[0].x + v[1].x + v[2].x) / 3, (v[0].y + v[1].y + v[2].y) / 3,
                         (v[0].z + v[1].z + v[2].z) / 3};
        for (int k = 0; k < 3; ++k) {
            records.push_back(makeRecord(v[k], v[(k + 1) % 3], g));
        }
    }
    const std::vector<std::vector<TriangleRecord>> others = {
        cube(1, {1, 1.5f, 1}, true),       // a void inside the body: kept
        cube(0.2f, {1.4f, 1.9f, 1.4f}, false),  // a crumb floating in that void
        cube(1, {10, 0, 0}, false),        // a crumb outside
        cube(1, {20, 0, 0}, true),         // inward shells outside, on either side: no voids
        cube(1, {-10, 1, 1}, true),
    };
    for (const auto& piece : others) {
        records.insert(records.end(), piece.begin(), piece.end());
    }
    const std::string input = writeMeshFile(dir, "pieces.v3c1", records);
    const ProcessResult run = runMesh({"convert", input, dir.file("body.stl"), "--body"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "body: kept the largest piece (36 faces) and 1 void inside it; dropped 4 "
                       "of 6 pieces, 48 faces\n");
    EXPECT_EQ(readFile(dir.file("body.stl")).size(), 84u + 48u * 50u);
    // Without one of its faces the body has no inside, and so no voids.
    const std::string open = writeMeshFile(
        dir, "open.v3c1", std::vector<TriangleRecord>(records.begin() + 3, records.end()));
    const ProcessResult openRun = runMesh({"convert", open, dir.file("open.stl"), "--body"});
    EXPECT_EQ(openRun.out, "body: kept the largest piece (33 faces), which is not closed, so "
                           "nothing inside it counts as a void; dropped 5 of 6 pieces, 60 faces\n");
    EXPECT_EQ(readFile(dir.file("open.stl")).size(), 84u + 33u * 50u);
    // What is left: the body less its void, 64 - 1 units, still closed.
    RecordReader reader;
    std::string error;
    Progress quiet;
    IslandReport islands;
    BodyReport report;
    RunContext filtering;
    IndexedMesh mesh;
    ASSERT_TRUE(openRecordFile(input, reader, error) &&
                filterPieces(reader, {0, true}, islands, report, filtering) &&
                loadIndexedMesh(reader, mesh, quiet, error))
        << error << filtering.error;
    EXPECT_EQ(reader.recordCount, 48);
    Topology topology;
    ASSERT_TRUE(computeTopology(mesh, topology, error));
    EXPECT_EQ(topology.pieceCount, 2);
    EXPECT_EQ(topology.boundaryEdgeCount, 0);
    EXPECT_DOUBLE_EQ(topology.signedVolume, 63.0);
}

TEST(MeshExport, SimplifiedResultTooLargeToHoldIsWrittenFromDisk) {
    TempDir dir;
    // Preset 4 twice, the second copy 3 units above the first: 6.6 M triangles, which kept to
    // 0.95 are more than the whole pass takes, so the slabs are handed on as records.
    ASSERT_EQ(runProcess(QUARNEL_EXE, {"4"}, dir.path).exitStatus, 0);
    const std::string preset = dir.file("quarnel_3.31m.v3c1");
    const std::string input = dir.file("two.v3c1");
    {
        std::string copy = readFile(preset);
        writeFile(input, copy);
        for (size_t z = 8; z < copy.size(); z += 12) {
            if (z % sizeof(TriangleRecord) < 36) {  // the vertices' z, not the colour's blue
                float value;
                std::memcpy(&value, &copy[z], sizeof value);
                value += 3.0f;
                std::memcpy(&copy[z], &value, sizeof value);
            }
        }
        FILE* file = std::fopen(input.c_str(), "ab");
        ASSERT_TRUE(file != nullptr &&
                    std::fwrite(copy.data(), 1, copy.size(), file) == copy.size());
        std::fclose(file);
        std::remove(preset.c_str());
    }
    ConvertOptions options;
    options.simplifyRatio = 0.95;
    ConvertReport report;
    std::string error;
    ASSERT_TRUE(convertMesh(input, dir.file("most.ply"), options, report, error)) << error;
    EXPECT_TRUE(report.simplify.handedOn);
    EXPECT_GT(report.simplify.triangleCountAfter, static_cast<int64_t>(kWholePassMaxTriangles));
    EXPECT_NE(
        readFile(dir.file("most.ply"))
            .find("element face " + std::to_string(report.simplify.triangleCountAfter) + "\n"),
        std::string::npos);
    options.smoothNormals = true;
    options.compress = true;
    ASSERT_TRUE(convertMesh(input, dir.file("most.glb"), options, report, error)) << error;
    EXPECT_TRUE(report.simplify.handedOn);
    const std::string validated = validateGltf(dir.file("most.glb"));
    if (!validated.empty()) {
        EXPECT_EQ(validated, "errors 0 warnings 0\n");
    }
    // The records on disk were unnamed and went with the command.
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"most.glb", "most.ply", "two.v3c1"}));
    // A disk that fills under the records (here: files of at most 8 MiB) ends it with one line,
    // and the earlier output stays.
    options = ConvertOptions();
    options.simplifyRatio = 0.95;
    const std::string earlier = readFile(dir.file("most.ply"));
    rlimit unlimited;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    const rlimit small = {rlim_t{8} << 20, unlimited.rlim_max};
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool converted = convertMesh(input, dir.file("most.ply"), options, report, error);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(converted);
    EXPECT_EQ(error, "cannot write " + dir.file("most.ply") + ": File too large");
    EXPECT_TRUE(readFile(dir.file("most.ply")) == earlier);
    EXPECT_EQ(listDir(dir.path).size(), 3u);
}
