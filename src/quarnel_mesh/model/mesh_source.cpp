#include "quarnel_mesh/model/mesh_source.h"

#include <memory>

SweepPass sweepPassOf(const MeshSource& source, RunContext& run) {
    if (source.mesh != nullptr) {
        const IndexedMesh* mesh = source.mesh;
        return [mesh](const SweepConsumer& consumer, SweepResult& result, std::string& error) {
            return sweepMeshInMemory(*mesh, consumer, result, error);
        };
    }
    // The passes share one window: only the first grows it.
    const auto window = std::make_shared<VertexWelder>();
    return [&source, &run, window](const SweepConsumer& consumer, SweepResult& result,
                                   std::string& error) {
        return sweepWeld(*source.reader, *source.plan, *window, consumer, result, run.progress,
                         run.doneUnits, error);
    };
}

int64_t unitsPerPass(const MeshSource& source) {
    return source.reader != nullptr ? source.reader->recordCount : 0;
}
