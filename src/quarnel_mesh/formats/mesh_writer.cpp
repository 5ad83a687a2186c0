#include "quarnel_mesh/formats/mesh_writer.h"

#include "quarnel_mesh/formats/glb.h"
#include "quarnel_mesh/formats/obj.h"
#include "quarnel_mesh/formats/ply.h"
#include "quarnel_mesh/formats/shared_vertices.h"
#include "quarnel_mesh/formats/stl.h"
#include "quarnel_mesh/formats/threemf.h"
#include "quarnel_mesh/util/text.h"

namespace {

// A row per format, in the order the usage names them; its columns are MeshWriter's fields in
// order: extension, name, sharesVertices, recordPassCount, maxTriangles,
// refusesNothingToWrite, alwaysZUp, defaultSizeMillimetres, defaultSizeNote, millimetresPerUnit,
// unitNote, isGltf, findsSeamsItself, openCompanion, write.
const MeshWriter kMeshWriters[] = {
    {".stl", "binary STL", false, 1, kMaxStlTriangles, false, false, 0.0, "", 1.0, "", false, true,
     nullptr, writeStl},
    {".ply", "PLY", true, kSharedVertexPassCount, 0, false, false, 0.0, "", 1.0, "", false, false,
     nullptr, writePly},
    {".obj", "OBJ", true, kSharedVertexPassCount, 0, false, false, 0.0, "", 1.0, "", false, false,
     createObjMaterial, writeObj},
    // glTF's unit is the metre: a size in millimetres is written as MM / 1000.
    {".glb", "glTF", true, kGlbStreamPassCount, 0, true, false, 0.0, "", 1000.0,
     " (millimetres as metres, glTF's unit)", true, false, nullptr, writeGlbFile},
    // A print, not the fractal's 2.4 units; slicers print what they are given, so the fractal's
    // axis (y) always becomes z.
    {".3mf", "3MF", true, kThreeMfStreamPassCount, 0, true, true, kDefaultThreeMfSizeMillimetres,
     " (to 100 mm, the default size of a 3MF; --size sets another)", 1.0, "", false, false, nullptr,
     writeThreeMfFile},
};

}  // namespace

const MeshWriter* meshWriterFor(const std::string& path) {
    for (const MeshWriter& writer : kMeshWriters) {
        if (hasExtension(path, writer.extension)) {
            return &writer;
        }
    }
    return nullptr;
}
