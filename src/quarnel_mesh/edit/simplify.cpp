// Simplification by edge collapse under the quadric error metric (Garland and Heckbert, 1997), as
// meshoptimizer implements it: collapses that would change the topology or flip a face are
// refused, so a closed input stays closed.
#include <cmath>
#include <new>

#include <meshoptimizer.h>

#include "quarnel_mesh/edit/simplify.h"

namespace {

// Relative to the mesh's extent: 1 lets the triangle target alone decide where to stop.
constexpr float kNoErrorLimit = 1.0f;

}  // namespace

bool simplifyMesh(IndexedMesh& mesh, double ratio, SimplifyReport& report, std::string& error) {
    report = SimplifyReport();
    const size_t indexCount = mesh.indices.size();
    report.triangleCountBefore = static_cast<int64_t>(indexCount / 3);
    const size_t targetTriangles =
        static_cast<size_t>(std::llround(ratio * static_cast<double>(indexCount / 3)));
    const float* positions = &mesh.vertices[0].position.x;
    std::vector<uint32_t> simplified;
    try {
        simplified.resize(indexCount);
        float relativeError = 0.0f;
        const size_t kept = meshopt_simplify(
            simplified.data(), mesh.indices.data(), indexCount, positions, mesh.vertices.size(),
            sizeof(WeldedVertex), 3 * targetTriangles, kNoErrorLimit, 0, &relativeError);
        simplified.resize(kept);
        simplified.shrink_to_fit();
        report.relativeError = relativeError;
        report.absoluteError = static_cast<double>(relativeError) *
                               meshopt_simplifyScale(positions, mesh.vertices.size(),
                                                     sizeof(WeldedVertex));
    } catch (const std::bad_alloc&) {
        error = "not enough memory to simplify " + std::to_string(report.triangleCountBefore) +
                " triangles";
        return false;
    }
    mesh.indices.swap(simplified);
    report.triangleCountAfter = static_cast<int64_t>(mesh.indices.size() / 3);
    return true;
}
