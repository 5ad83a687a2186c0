// `quarnel-mesh render`.
#pragma once

#include <string>

#include "quarnel_mesh/render/rasteriser.h"

// `quarnel-mesh render`: renders `inputPath` and writes the picture as PNG to `outputPath`.
bool renderMesh(const std::string& inputPath, const std::string& outputPath,
                const RenderOptions& options, std::string& error);
