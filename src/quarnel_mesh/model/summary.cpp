#include "quarnel_mesh/model/summary.h"

#include <cstring>

#include "quarnel_mesh/model/record_stream.h"
#include "quarnel_mesh/model/vertex_welder.h"

namespace {

bool hasStandardColor(const TriangleRecord& record) {
    return std::memcmp(&record.color, &kTriangleColor, sizeof(Vec3f)) == 0;
}

void addToSummary(MeshSummary& summary, const TriangleRecord& record) {
    for (const Vec3f& v : record.vertices) {
        if (!isFinite(v)) {
            ++summary.nonFiniteVertexCount;
            continue;
        }
        if (summary.finiteVertexCount == 0) {
            summary.boxMin = v;
            summary.boxMax = v;
        }
        ++summary.finiteVertexCount;
        for (const float c : {v.x, v.y, v.z}) {
            if (c != 0.0f) {
                summary.smallestMagnitude =
                    std::fmin(summary.smallestMagnitude, std::fabs(static_cast<double>(c)));
            }
        }
        summary.boxMin.x = std::fmin(summary.boxMin.x, v.x);
        summary.boxMin.y = std::fmin(summary.boxMin.y, v.y);
        summary.boxMin.z = std::fmin(summary.boxMin.z, v.z);
        summary.boxMax.x = std::fmax(summary.boxMax.x, v.x);
        summary.boxMax.y = std::fmax(summary.boxMax.y, v.y);
        summary.boxMax.z = std::fmax(summary.boxMax.z, v.z);
    }
    if (hasStandardColor(record)) {
        ++summary.standardColorCount;
    }
    const Vec3f* v = record.vertices;
    if (sameVertex(v[0], v[1]) || sameVertex(v[1], v[2]) || sameVertex(v[2], v[0])) {
        ++summary.repeatedVertexCount;
    }
}

}  // namespace

void startSummary(const RecordReader& reader, MeshSummary& summary) {
    summary = MeshSummary();
    summary.fileBytes = reader.fileBytes;
    summary.triangleCount = reader.recordCount;
}

void addRecordsToSummary(MeshSummary& summary, const TriangleRecord* records, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        addToSummary(summary, records[i]);
    }
}

bool summariseMesh(RecordReader& reader, MeshSummary& summary, Progress& progress,
                   std::string& error) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    startSummary(reader, summary);
    return forEachRecordChunk(reader, progress, 0, error,
                              [&](const TriangleRecord* records, int64_t count) {
                                  addRecordsToSummary(summary, records, count);
                                  return true;
                              });
}
