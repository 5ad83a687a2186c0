#include "quarnel_mesh/commands/info.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "quarnel_mesh/edit/topology.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/model/summary.h"
#include "quarnel_mesh/util/memory.h"
#include "quarnel_mesh/util/text.h"

namespace {

// Two significant digits: the tolerance is a scale, not a value to read back.
std::string toleranceText(double tolerance) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", tolerance);
    return text;
}

// What --topology found: the counts, or why they are missing.
struct TopologyFindings {
    SweepPlan plan;
    Topology topology;
    bool computed = false;  // false: the tables would not fit in `available`
    uint64_t needed = 0;
    uint64_t available = 0;
};

// Two passes: the plan, which fills `summary` on the way, then the sweep that welds and counts.
bool findTopology(RecordReader& reader, MeshSummary& summary, TopologyFindings& found,
                  std::string& error) {
    Progress progress = startProgress("welding " + reader.path, 2 * reader.recordCount,
                                      reader.fileBytes);
    bool done = planSweep(reader, found.plan, progress, 0, error, &summary);
    if (done) {
        // Only the window's records are in memory at once; for a file in no z order, all of
        // them.
        found.needed = static_cast<uint64_t>(found.plan.windowRecordCount) *
                       (kLoadBytesPerTriangle + kTopologyBytesPerTriangle);
        found.available = availableMemoryBytes();
        found.computed = found.needed <= found.available;
        done = !found.computed || sweepTopology(reader, found.plan, found.topology, progress,
                                                reader.recordCount, error);
    }
    finishProgress(progress);
    return done;
}

// The topology lines, or one line saying why they are missing when the tables would not fit.
void printTopology(const TopologyFindings& found, std::FILE* out) {
    if (!found.computed) {
        std::fprintf(out, "topology:         not computed: it needs about %s of memory and %s "
                          "is available\n",
                     formatBytes(found.needed).c_str(), formatBytes(found.available).c_str());
        return;
    }
    const Topology& topology = found.topology;
    if (topology.faceCount == 0) {
        // Only non-finite or degenerate triangles: nothing to call closed or open.
        std::fprintf(out, "closed:           no surface (no triangle with three distinct finite "
                          "vertices)\n");
        return;
    }
    // A non-manifold edge where an even number of faces meet (two sheets touching, or a fin of
    // zero area) leaves nothing open: closed, with the count said.
    const bool closed = topology.oddEdgeCount == 0;
    const StitchMap& stitch = found.plan.stitch;
    if (closed && topology.nonManifoldEdgeCount == 0 && stitch.joinedVertexCount > 0) {
        std::fprintf(out, "closed:           yes, after joining %lld seam vertices within %s\n",
                     static_cast<long long>(stitch.joinedVertexCount),
                     toleranceText(stitch.tolerance).c_str());
    } else {
        std::fprintf(out, "closed:           %s, %lld boundary edges, %lld non-manifold edges",
                     closed ? "yes" : "no", static_cast<long long>(topology.boundaryEdgeCount),
                     static_cast<long long>(topology.nonManifoldEdgeCount));
        if (stitch.joinedVertexCount > 0) {
            std::fprintf(out, ", after joining %lld seam vertices within %s",
                         static_cast<long long>(stitch.joinedVertexCount),
                         toleranceText(stitch.tolerance).c_str());
        } else if (stitch.tooManyOpenEdges) {
            std::fprintf(out, " (too many open edges to look for seams to join)");
        } else if (!closed && stitch.tolerance > 0.0) {
            std::fprintf(out, " (no open edges close within %s of each other)",
                         toleranceText(stitch.tolerance).c_str());
        }
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "pieces:           %lld\n", static_cast<long long>(topology.pieceCount));
    std::fprintf(out, "euler:            %lld (%lld vertices - %lld edges + %lld faces)\n",
                 static_cast<long long>(topology.vertexCount - topology.edgeCount +
                                        topology.faceCount),
                 static_cast<long long>(topology.vertexCount),
                 static_cast<long long>(topology.edgeCount),
                 static_cast<long long>(topology.faceCount));
    std::fprintf(out, "signed volume:    %.9g\n", topology.signedVolume);
}

}  // namespace

bool printMeshInfo(const std::string& path, bool topology, std::FILE* out, std::string& error) {
    RecordReader reader;
    if (!openRecordFile(path, reader, error)) {
        return false;
    }
    MeshSummary summary;
    TopologyFindings found;
    bool read = false;
    if (topology) {
        read = findTopology(reader, summary, found, error);
    } else {
        Progress progress =
            startProgress("reading " + path, reader.recordCount, reader.fileBytes);
        read = summariseMesh(reader, summary, progress, error);
        finishProgress(progress);
    }
    if (!read) {
        return false;
    }
    const long long triangles = summary.triangleCount;
    std::fprintf(out, "file:             %s\n", path.c_str());
    std::fprintf(out, "size:             %lld bytes, a whole number of 48-byte records\n",
                 static_cast<long long>(summary.fileBytes));
    std::fprintf(out, "triangles:        %lld\n", triangles);
    if (summary.finiteVertexCount == 0) {
        std::fprintf(out, "bounding box:     none (no finite vertices)\n");
    } else {
        const Vec3f& lo = summary.boxMin;
        const Vec3f& hi = summary.boxMax;
        std::fprintf(out, "bounding box:     x %s .. %s, y %s .. %s, z %s .. %s\n",
                     formatShortestFloat(lo.x).c_str(), formatShortestFloat(hi.x).c_str(),
                     formatShortestFloat(lo.y).c_str(), formatShortestFloat(hi.y).c_str(),
                     formatShortestFloat(lo.z).c_str(), formatShortestFloat(hi.z).c_str());
    }
    std::fprintf(out, "non-finite:       %lld vertices, left out of the bounding box\n",
                 static_cast<long long>(summary.nonFiniteVertexCount));
    std::fprintf(out, "standard colour:  %lld of %lld records\n",
                 static_cast<long long>(summary.standardColorCount), triangles);
    std::fprintf(out, "repeated vertex:  %lld triangles with two equal vertices\n",
                 static_cast<long long>(summary.repeatedVertexCount));
    if (topology) {
        printTopology(found, out);
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        error = "cannot write the report: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}
