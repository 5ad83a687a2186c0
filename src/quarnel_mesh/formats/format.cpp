#include "quarnel_mesh/formats/format.h"

#include "quarnel_mesh/util/text.h"

MeshFormat formatFromPath(const std::string& path) {
    if (hasExtension(path, ".stl")) {
        return MeshFormat::kStl;
    }
    if (hasExtension(path, ".ply")) {
        return MeshFormat::kPly;
    }
    if (hasExtension(path, ".obj")) {
        return MeshFormat::kObj;
    }
    if (hasExtension(path, ".glb")) {
        return MeshFormat::kGlb;
    }
    if (hasExtension(path, ".3mf")) {
        return MeshFormat::kThreeMf;
    }
    return MeshFormat::kUnknown;
}
