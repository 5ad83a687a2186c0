// Seam stitching: a crack within the tolerance closes in every command, as if the file had none;
// a wider one stays open and info says so; loose triangles that merely come close stay apart;
// STL mends in place, after one pass, only the facets a join moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <tbb/global_control.h>

#include "io/record_reader.h"
#include "quarnel_mesh/edit/topology.h"
#include "quarnel_mesh/formats/stl.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "support/mesh_test_util.h"

namespace {

// The unit cube as two boxes side by side, [0, 0.5] and [0.5, 1] in x, without the faces between
// them; the right box's corners on the plane x = 0.5 lie at 0.5 + crack instead.
std::vector<TriangleRecord> crackedCube(float crack) {
    std::vector<TriangleRecord> records;
    const std::vector<TriangleRecord> cube = unitCubeRecords();
    for (int half = 0; half < 2; ++half) {
        for (size_t r = 0; r < cube.size(); ++r) {
            // Records 0-1 are the -x face, 2-3 the +x face.
            if (r / 2 == static_cast<size_t>(1 - half)) {
                continue;
            }
            TriangleRecord record = cube[r];
            for (Vec3f& v : record.vertices) {
                v.x = half == 0 ? v.x * 0.5f : (v.x == 0.0f ? 0.5f + crack : 1.0f);
            }
            records.push_back(record);
        }
    }
    return records;
}

StitchMap stitchOf(const std::string& path) {
    RecordReader reader;
    std::string error;
    Progress quiet;
    SweepPlan plan;
    EXPECT_TRUE(openRecordFile(path, reader, error)) << error;
    EXPECT_TRUE(planSweep(reader, plan, quiet, 0, error)) << error;
    return plan.stitch;
}

std::string closedLine(const std::string& path) {
    const ProcessResult info = runMesh({"info", path, "--topology"});
    EXPECT_EQ(info.exitStatus, 0) << info.err;
    const size_t at = info.out.find("closed:");
    return info.out.substr(at, info.out.find('\n', at) - at);
}

}  // namespace

TEST(SeamStitch, ACrackWithinTheToleranceConvertsAsTheFileWithoutIt) {
    TempDir dir;
    // Same name in two folders: glb and 3MF carry the input's name.
    ASSERT_EQ(mkdir(dir.file("exact").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("cracked").c_str(), 0755), 0);
    const std::string exact = writeMeshFile(dir, "exact/cube.v3c1", crackedCube(0.0f));
    // 2^-23 is 1/8 of the tolerance for a box 1 across.
    const std::string cracked = writeMeshFile(dir, "cracked/cube.v3c1", crackedCube(0x1p-23f));
    EXPECT_EQ(stitchOf(exact).joinedVertexCount, 0);
    EXPECT_EQ(stitchOf(cracked).joinedVertexCount, 4);
    EXPECT_EQ(stitchOf(cracked).openEdgeCount, 8);
    EXPECT_EQ(closedLine(exact), "closed:           yes, 0 boundary edges, 0 non-manifold edges");
    EXPECT_EQ(closedLine(cracked), "closed:           yes, after joining 4 seam vertices within 9.5e-07");
    const ProcessResult info = runMesh({"info", cracked, "--topology"});
    EXPECT_NE(info.out.find("pieces:           1\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("euler:            2 (12 vertices - 30 edges + 20 faces)"),
              std::string::npos) << info.out;
    const std::vector<std::vector<std::string>> conversions = {
        {"out.stl"}, {"out.stl", "--size", "50"}, {"out.ply"}, {"out.obj"}, {"out.glb", "--normals"}, {"out.glb", "--compress"},
        {"out.3mf", "--body"}, {"out.ply", "--drop-islands", "2"}, {"out.ply", "--simplify", "0.5"},
    };
    for (const std::vector<std::string>& conversion : conversions) {
        std::vector<std::string> bytes;
        for (const std::string& input : {exact, cracked}) {
            std::vector<std::string> args = {"convert", input, dir.file(conversion[0])};
            args.insert(args.end(), conversion.begin() + 1, conversion.end());
            const ProcessResult run = runMesh(args);
            EXPECT_EQ(run.exitStatus, 0) << run.err;
            bytes.push_back(readFile(dir.file(conversion[0])));
        }
        EXPECT_EQ(bytes[0], bytes[1]) << conversion[0] << " " << conversion.size();
    }
}

TEST(SeamStitch, ACrackWiderThanTheToleranceStaysOpenAndInfoSaysSo) {
    TempDir dir;
    const std::string cracked = writeMeshFile(dir, "cube.v3c1", crackedCube(1e-3f));
    EXPECT_EQ(stitchOf(cracked).joinedVertexCount, 0);
    EXPECT_EQ(closedLine(cracked),
              "closed:           no, 8 boundary edges, 0 non-manifold edges (no open edges close "
              "within 9.5e-07 of each other)");
}

TEST(SeamStitch, LooseTrianglesThatOnlyComeCloseStayApart) {
    TempDir dir;
    // Both well within the tolerance (2^-18 for a box 4 across), and a float step apart at 2.
    const float near = 0x1p-24f;
    const float apart = 0x1p-21f;
    std::vector<TriangleRecord> soup = {
        // A fan of triangles meeting near one point, no side along another's.
        makeRecord({0, 0, 0}, {1, 0, 0}, {0, 1, 0}),
        makeRecord({near, 0, 0}, {0, 0, 1}, {-1, 0, 0}),
        makeRecord({0, near, near}, {0, -1, 0}, {0, 0, -1}),
        // A triangle and a copy moved by less than the tolerance, wound the same way: their
        // sides run alongside, not against each other.
        makeRecord({2, 2, 2}, {3, 2, 2}, {2, 3, 2}),
        makeRecord({2 + apart, 2, 2}, {3, 2 + apart, 2}, {2, 3, 2 + apart}),
    };
    const std::string path = writeMeshFile(dir, "soup.v3c1", soup);
    EXPECT_EQ(stitchOf(path).joinedVertexCount, 0);
    EXPECT_EQ(stitchOf(path).openEdgeCount, 15);
    const ProcessResult info = runMesh({"info", path, "--topology"});
    EXPECT_NE(info.out.find("closed:           no, 15 boundary edges"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("pieces:           5\n"), std::string::npos) << info.out;
}

TEST(SeamStitch, PairingIsTheSameInAnyCutsAndOnOneCoreOrTwo) {
    // 3000 cracked cubes apart from each other, 8 open edges each, shuffled so that most sides
    // meet their opposites in another batch: 60,000 records, four batches of a call.
    std::vector<TriangleRecord> records;
    for (int copy = 0; copy < 3000; ++copy) {
        for (TriangleRecord record : crackedCube(1e-3f)) {
            for (Vec3f& v : record.vertices) {
                v.z += static_cast<float>(2 * copy);
            }
            records.push_back(record);
        }
    }
    std::shuffle(records.begin(), records.end(), std::mt19937(28));
    const auto openEdges = [&](size_t threads, int64_t callRecords) {
        const tbb::global_control cores(tbb::global_control::max_allowed_parallelism, threads);
        OpenEdgePairing pairing;
        pairing.memoryLimitBytes = uint64_t{1} << 30;
        const int64_t recordCount = static_cast<int64_t>(records.size());
        for (int64_t first = 0; first < recordCount; first += callRecords) {
            pairRecordEdges(pairing, &records[first], std::min(callRecords, recordCount - first));
        }
        std::vector<std::string> edges;
        for (const OpenEdge& edge : pairing.table) {
            if (edge.from.x == edge.from.x) {
                edges.emplace_back(reinterpret_cast<const char*>(&edge), sizeof edge);
            }
        }
        EXPECT_EQ(pairing.openCount, static_cast<int64_t>(edges.size()));
        std::sort(edges.begin(), edges.end());
        return edges;
    };
    const std::vector<std::string> reference = openEdges(1, 60000);
    EXPECT_EQ(reference.size(), 8u * 3000u);
    for (const size_t threads : {1, 2}) {
        for (const int64_t callRecords : {7, 16385, 60000}) {
            EXPECT_EQ(openEdges(threads, callRecords), reference)
                << threads << " threads, calls of " << callRecords;
        }
    }
}

TEST(SeamStitch, StlMendsInPlaceOnlyTheFacetsAJoinMovesReadingOnlyTheirRuns) {
    // 7,000 cubes 2 apart in z, 140,000 records, 35 runs of 4,096; cracked: the first (the
    // header's page), 1023 (the last of run 4: its page reaches into run 5), 2048 (the first of
    // run 10: its page begins in run 9), and 3000 on (80,000 records, more than a chunk, up to
    // the last page).
    const auto cubes = [](bool anyCracked) {
        std::vector<TriangleRecord> records;
        for (int copy = 0; copy < 7000; ++copy) {
            const bool cracked =
                anyCracked && (copy == 0 || copy == 1023 || copy == 2048 || copy >= 3000);
            for (TriangleRecord record : crackedCube(cracked ? 0x1p-23f : 0.0f)) {
                for (Vec3f& v : record.vertices) {
                    v.z += static_cast<float>(2 * copy);
                }
                records.push_back(record);
            }
        }
        return records;
    };
    TempDir dir;
    const std::string exact = writeMeshFile(dir, "exact.v3c1", cubes(false));
    const std::string cracked = writeMeshFile(dir, "cracked.v3c1", cubes(true));
    // Facets mended and records read by pass B; none without a join.
    const auto passB = [&](const std::string& path) {
        RecordReader reader;
        AtomicOutput output;
        RunContext run;
        StlSeams seams;
        std::pair<int64_t, int64_t> mendedAndRead = {0, 0};
        EXPECT_TRUE(openRecordFile(path, reader, run.error) &&
                    openAtomicOutput(dir.file("library.stl"), output) &&
                    writeRawStlAndFindSeams(reader, Placement(), output, run, seams) &&
                    (seams.map.filter.empty() ||
                     rewriteStitchedStlFacets(reader, seams, Placement(), output, run,
                                              mendedAndRead.first, mendedAndRead.second)))
            << run.error;
        EXPECT_EQ(seams.runs.size(), 35u);
        return mendedAndRead;
    };
    EXPECT_EQ(passB(exact), std::make_pair(int64_t{0}, int64_t{0}));
    // Each cracked cube: the 8 facets of its right box's sides along x. Read: the 24 runs that
    // hold one, 83 records either side, at most a chunk at a time (runs 14-28, then 29-34).
    EXPECT_EQ(passB(cracked),
              std::make_pair(int64_t{8 * 4003}, int64_t{4179 + 2 * 4262 + 61606 + 21299}));
    std::vector<std::string> bytes;
    for (const std::string& input : {exact, cracked}) {
        for (const char* zUp : {"", "--z-up"}) {
            std::vector<std::string> args = {"convert", input, dir.file("out.stl")};
            if (*zUp != 0) {
                args.push_back(zUp);
            }
            EXPECT_EQ(runMesh(args).exitStatus, 0);
            bytes.push_back(readFile(dir.file("out.stl")));
        }
    }
    EXPECT_TRUE(bytes[0] == bytes[2] && bytes[1] == bytes[3]);
}
