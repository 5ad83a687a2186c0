#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include <unistd.h>

#include "quarnel_mesh/quarnel_mesh.h"

uint64_t defaultWeldMemoryLimit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageBytes = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageBytes <= 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(pages) / 4 * 3 * static_cast<uint64_t>(pageBytes);
}

std::string describeWeldFailure(int64_t result, const std::string& inputPath,
                                size_t vertexCount) {
    if (result == kWeldTooManyVertices) {
        return inputPath + " has more than 4294967295 distinct vertices, too many for 32-bit "
                           "indices; convert to .stl instead, which does not share vertices";
    }
    return "not enough memory to share the vertices of " + inputPath + " (" +
           std::to_string(vertexCount) +
           " distinct vertices so far); convert to .stl instead, which does not share vertices";
}

namespace {

void growBox(Vec3f& boxMin, Vec3f& boxMax, const Vec3f& v) {
    boxMin.x = std::fmin(boxMin.x, v.x);
    boxMin.y = std::fmin(boxMin.y, v.y);
    boxMin.z = std::fmin(boxMin.z, v.z);
    boxMax.x = std::fmax(boxMax.x, v.x);
    boxMax.y = std::fmax(boxMax.y, v.y);
    boxMax.z = std::fmax(boxMax.z, v.z);
}

}  // namespace

bool loadIndexedMesh(RecordReader& reader, uint64_t memoryLimitBytes, IndexedMesh& mesh,
                     Progress& progress, const std::atomic<bool>* stopRequested,
                     std::string& error) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    VertexWelder welder;
    welder.memoryLimitBytes = memoryLimitBytes != 0 ? memoryLimitBytes : defaultWeldMemoryLimit();
    mesh = IndexedMesh();
    try {
        mesh.indices.reserve(static_cast<size_t>(3 * reader.recordCount));
    } catch (const std::bad_alloc&) {
        error = describeWeldFailure(kWeldOutOfMemory, reader.path, 0);
        return false;
    }
    const bool welded = forEachRecordChunk(
        reader, progress, 0, stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            if (mesh.indices.empty() && count > 0) {
                mesh.color = records[0].color;
            }
            for (int64_t i = 0; i < count; ++i) {
                if (!hasFiniteVertices(records[i])) {
                    ++mesh.nonFiniteTriangles;
                    continue;
                }
                for (const Vec3f& vertex : records[i].vertices) {
                    const int64_t index = weldVertex(welder, vertex, records[i].color);
                    if (index < 0) {
                        error = describeWeldFailure(index, reader.path, welder.vertices.size());
                        return false;
                    }
                    mesh.indices.push_back(static_cast<uint32_t>(index));
                }
            }
            return true;
        });
    if (!welded) {
        return false;
    }
    // The lookup table has done its work; the vertices move over without a copy.
    mesh.vertices.swap(welder.vertices);
    return true;
}

void compactVertices(IndexedMesh& mesh) {
    std::vector<uint32_t> newIndex(mesh.vertices.size(), kEmptySlot);
    for (const uint32_t index : mesh.indices) {
        newIndex[index] = 0;
    }
    uint32_t kept = 0;
    for (size_t v = 0; v < mesh.vertices.size(); ++v) {
        if (newIndex[v] != kEmptySlot) {
            newIndex[v] = kept;
            mesh.vertices[kept++] = mesh.vertices[v];
        }
    }
    mesh.vertices.resize(kept);
    mesh.vertices.shrink_to_fit();
    for (uint32_t& index : mesh.indices) {
        index = newIndex[index];
    }
}

Vec3f placeVertex(const Vec3f& vertex, const Placement& placement) {
    Vec3d v = toVec3d(vertex);
    if (placement.zUp) {
        v = {v.x, 0.0 - v.z, v.y};  // not -v.z: a vertex on the plane z = 0 must not become -0
    }
    return {static_cast<float>(v.x * placement.scale), static_cast<float>(v.y * placement.scale),
            static_cast<float>(v.z * placement.scale)};
}

bool scaleForSize(const Vec3f& boxMin, const Vec3f& boxMax, double sizeMillimetres,
                  double& scale) {
    const double longest =
        std::fmax(static_cast<double>(boxMax.x) - boxMin.x,
                  std::fmax(static_cast<double>(boxMax.y) - boxMin.y,
                            static_cast<double>(boxMax.z) - boxMin.z));
    if (!(longest > 0.0) || !std::isfinite(longest)) {
        return false;
    }
    scale = sizeMillimetres / longest;
    return std::isfinite(scale) && scale > 0.0;
}

bool usedVertexBox(const IndexedMesh& mesh, Vec3f& boxMin, Vec3f& boxMax,
                   double& smallestMagnitude) {
    bool found = false;
    smallestMagnitude = HUGE_VAL;
    for (const uint32_t index : mesh.indices) {
        const Vec3f& v = mesh.vertices[index].position;
        if (!isFinite(v)) {
            continue;
        }
        if (!found) {
            boxMin = v;
            boxMax = v;
            found = true;
        }
        growBox(boxMin, boxMax, v);
        for (const float c : {v.x, v.y, v.z}) {
            if (c != 0.0f) {
                smallestMagnitude = std::fmin(smallestMagnitude, std::fabs(static_cast<double>(c)));
            }
        }
    }
    return found;
}

std::string placementProblem(const Vec3f& boxMin, const Vec3f& boxMax, double smallestMagnitude,
                             double scale) {
    double largest = 0.0;
    for (const float c : {boxMin.x, boxMin.y, boxMin.z, boxMax.x, boxMax.y, boxMax.z}) {
        largest = std::fmax(largest, std::fabs(static_cast<double>(c)));
    }
    char text[200];
    if (largest * scale > static_cast<double>(std::numeric_limits<float>::max())) {
        std::snprintf(text, sizeof text,
                      "its coordinates would reach %.3g, beyond the largest 32-bit float "
                      "(3.4e+38)", largest * scale);
        return text;
    }
    if (smallestMagnitude != HUGE_VAL &&
        smallestMagnitude * scale < static_cast<double>(std::numeric_limits<float>::min())) {
        std::snprintf(text, sizeof text,
                      "its smallest coordinates would shrink to %.3g, below the smallest normal "
                      "32-bit float (1.2e-38), and distinct vertices would merge",
                      smallestMagnitude * scale);
        return text;
    }
    return "";
}
