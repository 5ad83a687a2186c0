#include "quarnel_mesh/model/mesh_source.h"

SweepPass sweepPassOf(const MeshSource& source, RunContext& run) {
    if (source.mesh != nullptr) {
        const IndexedMesh* mesh = source.mesh;
        return [mesh](const SweepConsumer& consumer, SweepResult& result, std::string& error) {
            return sweepMeshInMemory(*mesh, consumer, result, error);
        };
    }
    return [&source, &run](const SweepConsumer& consumer, SweepResult& result, std::string& error) {
        return sweepWeld(*source.reader, *source.plan, consumer, result, run.progress,
                         run.doneUnits, error);
    };
}

int64_t unitsPerPass(const MeshSource& source) {
    return source.reader != nullptr ? source.reader->recordCount : 0;
}
