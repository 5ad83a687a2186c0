#include "quarnel_mesh/model/indexed_mesh.h"

#include <algorithm>
#include <new>

#include <unistd.h>

#include "quarnel_mesh/model/record_stream.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/memory.h"

uint64_t defaultWeldMemoryLimit() {
    // Three quarters: the rest of the process (the reader's chunk, the writer's buffers, the
    // sweep's other tables) lives beside the vertex tables.
    const uint64_t headroom = processMemoryHeadroomBytes();
    const uint64_t underProcessLimit = headroom == UINT64_MAX ? UINT64_MAX : headroom / 4 * 3;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageBytes = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageBytes <= 0) {
        return underProcessLimit;
    }
    return std::min(underProcessLimit,
                    static_cast<uint64_t>(pages) / 4 * 3 * static_cast<uint64_t>(pageBytes));
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

bool loadIndexedMesh(RecordReader& reader, IndexedMesh& mesh, Progress& progress,
                     std::string& error) {
    // The sweep's plan pass finds the seams to join, so that both welds give one mesh.
    SweepPlan plan;
    if (!planSweep(reader, plan, progress, 0, error) || !rewindRecordFile(reader, error)) {
        return false;
    }
    VertexWelder welder;
    welder.memoryLimitBytes = defaultWeldMemoryLimit();
    mesh = IndexedMesh();
    try {
        mesh.indices.reserve(static_cast<size_t>(3 * reader.recordCount));
    } catch (const std::bad_alloc&) {
        error = describeWeldFailure(kWeldOutOfMemory, reader.path, 0);
        return false;
    }
    const bool welded = forEachRecordChunk(
        reader, progress, 0, error, [&](const TriangleRecord* records, int64_t count) {
            if (mesh.indices.empty() && count > 0) {
                mesh.color = records[0].color;
            }
            for (int64_t i = 0; i < count; ++i) {
                if (!hasFiniteVertices(records[i])) {
                    ++mesh.nonFiniteTriangles;
                    continue;
                }
                for (const Vec3f& vertex : records[i].vertices) {
                    const int64_t index =
                        weldStitchedVertex(welder, plan.stitch, vertex, weldHashOf(vertex),
                                           records[i].color);
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
