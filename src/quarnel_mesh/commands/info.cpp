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

// The topology lines, or one line saying why they are missing when the tables would not fit.
bool printTopology(RecordReader& reader, std::FILE* out, std::string& error) {
    // Two passes: the plan, then the sweep that welds and counts.
    Progress progress = startProgress("welding " + reader.path, 2 * reader.recordCount,
                                      reader.fileBytes);
    SweepPlan plan;
    if (!planSweep(reader, plan, progress, 0, error)) {
        finishProgress(progress);
        return false;
    }
    // Only the window's records are in memory at once; for a file in no z order, all of them.
    const uint64_t needed = static_cast<uint64_t>(plan.windowRecordCount) *
                            (kLoadBytesPerTriangle + kTopologyBytesPerTriangle);
    const uint64_t available = availableMemoryBytes();
    if (needed > available) {
        finishProgress(progress);
        std::fprintf(out, "topology:         not computed: it needs about %s of memory and %s "
                          "is available\n",
                     formatBytes(needed).c_str(), formatBytes(available).c_str());
        return true;
    }
    Topology topology;
    const bool counted = sweepTopology(reader, plan, topology, progress, reader.recordCount, error);
    finishProgress(progress);
    if (!counted) {
        return false;
    }
    if (topology.faceCount == 0) {
        // Only non-finite or degenerate triangles: nothing to call closed or open.
        std::fprintf(out, "closed:           no surface (no triangle with three distinct finite "
                          "vertices)\n");
        return true;
    }
    // A non-manifold edge where an even number of faces meet (two sheets touching, or a fin of
    // zero area) leaves nothing open: closed, with the count said.
    const bool closed = topology.oddEdgeCount == 0;
    const StitchMap& stitch = plan.stitch;
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
    return true;
}

}  // namespace

bool printMeshInfo(const std::string& path, bool topology, std::FILE* out, std::string& error) {
    RecordReader reader;
    if (!openRecordFile(path, reader, error)) {
        return false;
    }
    Progress progress = startProgress("reading " + path, reader.recordCount, reader.fileBytes);
    MeshSummary summary;
    const bool read = summariseMesh(reader, summary, progress, error);
    finishProgress(progress);
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
    if (topology && !printTopology(reader, out, error)) {
        return false;
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        error = "cannot write the report: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}
